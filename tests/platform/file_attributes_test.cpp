// DOS attribute words read from and written to the file system, Korean names included.
#include "platform/file_attributes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/native_text.h"

namespace {

namespace fs = std::filesystem;

class FileAttributes : public ::testing::Test {
protected:
    void SetUp() override {
        m_root =
            fs::temp_directory_path() /
            PathFromUtf8("zav-attr-" +
                         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / PathFromUtf8("폴더"));
        std::ofstream(m_root / PathFromUtf8("설정.txt")) << "data";
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(m_root, ec))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_root, ec);
    }
    std::string Path(const char* szName) const {
        return Utf8FromPath(m_root / PathFromUtf8(szName));
    }

    fs::path m_root;
};

TEST_F(FileAttributes, FolderFileAndReadOnlyFileThroughUtf8Names) {
    uint32_t uWord = 0;
    ASSERT_TRUE(GetFileAttributeWord(Path("폴더"), uWord));
    EXPECT_EQ(uWord & (kDosFolder | kDosReadOnly), kDosFolder);
    ASSERT_TRUE(GetFileAttributeWord(Path("설정.txt"), uWord));
    EXPECT_EQ(uWord & (kDosFolder | kDosReadOnly), 0u);

    fs::permissions(PathFromUtf8(Path("설정.txt")),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_TRUE(GetFileAttributeWord(Path("설정.txt"), uWord));
    EXPECT_EQ(uWord & kDosReadOnly, kDosReadOnly);

    MakeFileReplaceable(Path("설정.txt"));
    ASSERT_TRUE(GetFileAttributeWord(Path("설정.txt"), uWord));
    EXPECT_EQ(uWord & kDosReadOnly, 0u);
    std::ofstream(PathFromUtf8(Path("설정.txt")), std::ios::trunc) << "replaced";
    std::ifstream in(PathFromUtf8(Path("설정.txt")));
    std::string strText;
    in >> strText;
    EXPECT_EQ(strText, "replaced");

    EXPECT_FALSE(GetFileAttributeWord(Path("없음.txt"), uWord));
}

TEST_F(FileAttributes, HiddenAndSystemBitsAreSetAndClearedOnWindows) {
#ifdef _WIN32
    const std::string strFile = Path("설정.txt");
    ASSERT_TRUE(SetFileAttributeWord(strFile, kDosHidden | kDosSystem | kDosReadOnly));
    uint32_t uWord = 0;
    ASSERT_TRUE(GetFileAttributeWord(strFile, uWord));
    EXPECT_EQ(uWord & (kDosHidden | kDosSystem | kDosReadOnly),
              kDosHidden | kDosSystem | kDosReadOnly);
    MakeFileReplaceable(strFile);
    ASSERT_TRUE(GetFileAttributeWord(strFile, uWord));
    EXPECT_EQ(uWord & (kDosHidden | kDosSystem | kDosReadOnly), 0u);
    // The folder bit is the file system's own: asking for it changes nothing.
    ASSERT_TRUE(SetFileAttributeWord(strFile, kDosFolder | kDosArchive));
    ASSERT_TRUE(GetFileAttributeWord(strFile, uWord));
    EXPECT_EQ(uWord & kDosFolder, 0u);
    EXPECT_FALSE(SetFileAttributeWord(Path("없음.txt"), kDosArchive));
#else
    GTEST_SKIP() << "POSIX file systems keep no hidden or system bit";
#endif
}

}  // namespace
