// The all-or-nothing commit of an upload's archives, by the folder exchange and by the two
// renames, and the recovery of a commit a crash cut short.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "service/archive_store.h"

namespace {

namespace fs = std::filesystem;
using zavsvc::CArchiveStore;
using zavsvc::CUploadStage;

const zavsvc::SCategory& Category(const char* pszName) {
    for (const auto& category : zavsvc::Categories()) {
        if (std::string(category.pszName) == pszName) {
            return category;
        }
    }
    throw std::invalid_argument(pszName);
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& path, const std::string& strText) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << strText;
}

class ArchiveCommit : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::string strTemplate = (fs::temp_directory_path() / "zav-commit-XXXXXX").string();
        ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
        m_dir = strTemplate;
        Write(m_dir / "UserData/gamer01/__WTF.zip", "old wtf");
        Write(m_dir / "UserData/gamer01/__Fonts.zip", "old fonts");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Stages new WTF and Interface archives and commits them one way or the other.
    bool StageAndCommit(CArchiveStore& store) {
        CUploadStage stage(store);
        for (const char* pszName : {"WTF", "Interface"}) {
            auto* pFile = stage.Add(Category(pszName));
            const std::string strText = std::string("new ") + pszName;
            EXPECT_TRUE(pFile != nullptr && pFile->Write(strText.data(), strText.size()));
        }
        EXPECT_TRUE(stage.Finish());
        std::string strError;
        return GetParam() ? store.Commit("gamer01", stage, &strError)
                          : store.CommitByTwoRenames("gamer01", stage, &strError);
    }
    std::vector<std::string> UserDataEntries() {
        std::vector<std::string> vec;
        for (const auto& entry : fs::directory_iterator(m_dir / "UserData")) {
            vec.push_back(entry.path().filename().string());
        }
        return vec;
    }

    fs::path m_dir;
};

TEST_P(ArchiveCommit, ReplacesTheStagedArchivesKeepsTheOthersAndLeavesNothingBehind) {
    CArchiveStore store(m_dir.string());
    struct stat before {};
    ASSERT_EQ(::stat((m_dir / "UserData/gamer01/__Fonts.zip").c_str(), &before), 0);
    ASSERT_TRUE(StageAndCommit(store));
    const fs::path member = m_dir / "UserData/gamer01";
    EXPECT_EQ(Read(member / "__WTF.zip"), "new WTF");
    EXPECT_EQ(Read(member / "__Interface.zip"), "new Interface");
    EXPECT_EQ(Read(member / "__Fonts.zip"), "old fonts");
    struct stat after {};
    ASSERT_EQ(::stat((member / "__Fonts.zip").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the kept archive is linked, not copied";
    EXPECT_EQ(UserDataEntries(), std::vector<std::string>{"gamer01"});
}

TEST_P(ArchiveCommit, ACommitThatCannotKeepAnArchiveChangesNothing) {
    // A folder where an archive the upload keeps should be: it cannot be linked.
    fs::remove(m_dir / "UserData/gamer01/__Fonts.zip");
    fs::create_directories(m_dir / "UserData/gamer01/__Fonts.zip/x");
    CArchiveStore store(m_dir.string());
    EXPECT_FALSE(StageAndCommit(store));
    EXPECT_EQ(Read(m_dir / "UserData/gamer01/__WTF.zip"), "old wtf");
    EXPECT_FALSE(fs::exists(m_dir / "UserData/gamer01/__Interface.zip"));
    EXPECT_EQ(UserDataEntries(), std::vector<std::string>{"gamer01"});
}

TEST_P(ArchiveCommit, AFirstUploadMakesTheMemberFolder) {
    fs::remove_all(m_dir / "UserData/gamer01");
    CArchiveStore store(m_dir.string());
    ASSERT_TRUE(StageAndCommit(store));
    EXPECT_EQ(Read(m_dir / "UserData/gamer01/__WTF.zip"), "new WTF");
    EXPECT_FALSE(fs::exists(m_dir / "UserData/gamer01/__Fonts.zip"));
}

INSTANTIATE_TEST_SUITE_P(ExchangeAndTwoRenames, ArchiveCommit, ::testing::Bool());

// A crash between the two renames leaves the member folder aside; a crash after them leaves
// the old folder aside as well as the new one in place. Staging folders are always dropped.
TEST(ArchiveRecovery, PutsBackAFolderSetAsideOnlyWhenTheCommitDidNotHappen) {
    std::string strTemplate = (fs::temp_directory_path() / "zav-recover-XXXXXX").string();
    ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
    const fs::path dir = strTemplate;
    const fs::path userData = dir / "UserData";
    Write(userData / ".aside.gamer01/__WTF.zip", "old 1");
    Write(userData / ".stage-abc123/__WTF.zip", "new 1");
    Write(userData / ".aside.gamer02/__WTF.zip", "old 2");
    Write(userData / "gamer02/__WTF.zip", "new 2");
    Write(userData / "gamer03/.upload-XYZ", "temporary of an older version");
    Write(userData / "gamer03/__WTF.zip", "3");

    CArchiveStore store(dir.string());
    store.RecoverInterruptedCommits();
    EXPECT_EQ(Read(userData / "gamer01/__WTF.zip"), "old 1");
    EXPECT_EQ(Read(userData / "gamer02/__WTF.zip"), "new 2");
    EXPECT_EQ(Read(userData / "gamer03/__WTF.zip"), "3");
    std::vector<std::string> vecLeft;
    for (const auto& entry : fs::recursive_directory_iterator(userData)) {
        vecLeft.push_back(fs::relative(entry.path(), userData).string());
    }
    std::sort(vecLeft.begin(), vecLeft.end());
    EXPECT_EQ(vecLeft,
              (std::vector<std::string>{"gamer01", "gamer01/__WTF.zip", "gamer02",
                                        "gamer02/__WTF.zip", "gamer03", "gamer03/__WTF.zip"}));
    EXPECT_EQ(store.TotalStored(), 11);
    fs::remove_all(dir);
}

}  // namespace
