// The file-system calls: what the silent folder operations leave behind in the cases the
// restore relies on.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/native_text.h"
#include "support/file_io.h"
#include "support/tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

class FolderOpsTest : public ::testing::Test {
protected:
    std::string P(const std::string& strRelative) const {
        return m_temp.Path() + "/" + strRelative;
    }
    void MakeTree(const std::string& strRoot) {
        WriteWholeFile(strRoot + "/a.txt", "alpha");
        WriteWholeFile(strRoot + "/sub/한글.bin", RandomBytes(3000, 5));
        fs::create_directories(PathFromUtf8(strRoot + "/empty"));
        if (kHaveLinks)
            fs::create_symlink("a.txt", PathFromUtf8(strRoot + "/link"));
    }
    CSandbox m_temp;
};

TEST_F(FolderOpsTest, FoldersAreMadeWithTheirParentsAndAFileInTheWayIsAFailure) {
    std::error_code ec;
    EXPECT_TRUE(MakeFolders(P("a/b/c"), ec)) << ec.message();
    EXPECT_TRUE(IsFolder(P("a/b/c")));
    EXPECT_TRUE(MakeFolders(P("a/b"), ec));  // already there
    WriteWholeFile(P("file"), "x");
    EXPECT_FALSE(MakeFolders(P("file/sub"), ec));
    EXPECT_TRUE(ec);
    EXPECT_EQ(PathKind(P("file")), 1);
    EXPECT_EQ(PathKind(P("a")), -1);
    EXPECT_EQ(PathKind(P("missing")), 0);

    // An extraction's folders: the ones it made, parents first.
    std::vector<std::string> vecMade;
    EXPECT_TRUE(CreateFolderPath(P("a/x/y"), &vecMade));
    EXPECT_EQ(vecMade.size(), 2u);
    EXPECT_FALSE(CreateFolderPath(P("file/z")));
}

TEST_F(FolderOpsTest, CopyKeepsContentTimesAndLinksAndLeavesTheSource) {
    MakeTree(P("src"));
    const auto tOld = fs::file_time_type::clock::now() - std::chrono::hours(240);
    fs::last_write_time(PathFromUtf8(P("src/sub/한글.bin")), tOld);
    fs::permissions(PathFromUtf8(P("src/a.txt")), fs::perms::owner_read);

    ASSERT_TRUE(CopyFolder(P("src"), P("copy")));
    EXPECT_EQ(SnapshotTree(P("copy")), SnapshotTree(P("src")));
    // The source's own time (the file system keeps it to its own precision).
    EXPECT_EQ(fs::last_write_time(PathFromUtf8(P("copy/sub/한글.bin"))),
              fs::last_write_time(PathFromUtf8(P("src/sub/한글.bin"))));
    EXPECT_EQ(fs::is_symlink(PathFromUtf8(P("copy/link"))), kHaveLinks);
    EXPECT_EQ(fs::status(PathFromUtf8(P("copy/a.txt"))).permissions() & fs::perms::owner_write,
              fs::perms::none);
    // Nothing but the copy was created beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(PathFromUtf8(m_temp.Path())),
                            fs::directory_iterator()),
              2);
}

#ifndef _WIN32
// A copy is on the disk before it takes its name (its file system flushed at once, or file by
// file and folder by folder), and that name after: checked by watching the calls of a copy run
// under strace.
TEST_F(FolderOpsTest, CopyIsOnTheDiskBeforeItTakesItsName) {
    if (const char* szRoot = std::getenv("ZAV_COPY_UNDER_STRACE")) {
        ASSERT_TRUE(CopyFolder(std::string(szRoot) + "/src", std::string(szRoot) + "/dest"));
        return;
    }
    if (std::system("strace -V >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed";
    WriteWholeFile(P("src/a.txt"), "alpha");
    WriteWholeFile(P("src/sub/deeper/c.bin"), RandomBytes(3000, 5));
    const std::string strLog = P("strace.log");
    const std::string strName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // LeakSanitizer cannot run under ptrace.
    const std::string strCommand = "ASAN_OPTIONS=detect_leaks=0 ZAV_COPY_UNDER_STRACE='" +
                                   m_temp.Path() + "' strace -f -qq -y -o '" + strLog +
                                   "' -e trace=fsync,fdatasync,syncfs,rename,renameat,renameat2 '" +
                                   Utf8FromPath(fs::read_symlink("/proc/self/exe")) +
                                   "' --gtest_filter=FolderOpsTest." + strName + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(strCommand.c_str()), 0);
    ASSERT_TRUE(fs::exists(PathFromUtf8(P("dest/sub/deeper/c.bin"))));

    // The flushed paths before the rename of the copy's temporary name, and after it.
    std::vector<std::string> vecBefore, vecAfter;
    bool bRenamed = false;
    const std::string strText = ReadWholeFile(strLog);
    for (size_t nStart = 0; nStart < strText.size();) {
        size_t nEnd = strText.find('\n', nStart);
        const std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd == std::string::npos ? strText.size() : nEnd + 1;
        if (strLine.find("rename") != std::string::npos &&
            strLine.find(".dest.zav-copy") != std::string::npos)
            bRenamed = true;
        const size_t nOpen = strLine.find('<'), nClose = strLine.find('>');
        if ((strLine.find("fsync(") != std::string::npos ||
             strLine.find("syncfs(") != std::string::npos) &&
            nOpen < nClose && strLine.find("= 0") != std::string::npos)
            (bRenamed ? vecAfter : vecBefore)
                .push_back(strLine.substr(nOpen + 1, nClose - nOpen - 1));
    }
    ASSERT_TRUE(bRenamed) << strText;
    auto flushed = [&](const std::vector<std::string>& vec, const std::string& strSuffix) {
        return std::any_of(vec.begin(), vec.end(), [&](const std::string& s) {
            return s.size() >= strSuffix.size() &&
                   s.compare(s.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
        });
    };
    const bool bWhole = strText.find("syncfs(") != std::string::npos;
    for (const char* szPath : {"/a.txt", "/sub/deeper/c.bin", "/sub/deeper", "/sub", ""}) {
        if (bWhole && *szPath != '\0')
            continue;  // the file system at once: one call on the copy's folder
        EXPECT_TRUE(flushed(vecBefore, std::string(".dest.zav-copy0") + szPath))
            << szPath << " not flushed before the rename:\n"
            << strText;
    }
    EXPECT_TRUE(flushed(vecAfter, m_temp.Path())) << "the folder of the new name:\n" << strText;
}
#endif

TEST_F(FolderOpsTest, CopyAndMoveRefuseAnExistingDestination) {
    MakeTree(P("src"));
    WriteWholeFile(P("dest/keep.txt"), "keep");
    const TreeMap src = SnapshotTree(P("src")), dest = SnapshotTree(P("dest"));
    EXPECT_FALSE(CopyFolder(P("src"), P("dest")));
    EXPECT_FALSE(MoveFolder(P("src"), P("dest")));
    EXPECT_EQ(SnapshotTree(P("src")), src);
    EXPECT_EQ(SnapshotTree(P("dest")), dest);
}

TEST_F(FolderOpsTest, MissingSourceDoesNothingAndIsNoError) {
    EXPECT_TRUE(CopyFolder(P("none"), P("copy")));
    EXPECT_TRUE(MoveFolder(P("none"), P("moved")));
    EXPECT_TRUE(DeleteFolder(P("none")));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("copy"))));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("moved"))));
}

TEST_F(FolderOpsTest, MoveTakesTheWholeTree) {
    MakeTree(P("src"));
    const TreeMap src = SnapshotTree(P("src"));
    ASSERT_TRUE(MoveFolder(P("src"), P("moved")));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("src"))));
    EXPECT_EQ(SnapshotTree(P("moved")), src);
}

TEST_F(FolderOpsTest, MoveAcrossFileSystemsCopiesThenDeletes) {
    MakeTree(P("src"));
    const TreeMap src = SnapshotTree(P("src"));
    CTmpfsMount mount(P("other"), 1024 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    ASSERT_TRUE(MoveFolder(P("src"), P("other/moved")));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("src"))));
    EXPECT_EQ(SnapshotTree(P("other/moved")), src);
}

TEST_F(FolderOpsTest, MoveThroughALinkToAnotherFileSystemCopiesThenDeletes) {
    // The same move without mount rights: the destination links to another file system.
    std::unique_ptr<CSandbox> pOther = SandboxOnAnotherFileSystem();
    if (!pOther)
        GTEST_SKIP() << "no second file system beside the temporary folder";
    MakeTree(P("src"));
    const TreeMap src = SnapshotTree(P("src"));
    fs::create_directory_symlink(PathFromUtf8(pOther->Path()), PathFromUtf8(P("other")));
    ASSERT_TRUE(MoveFolder(P("src"), P("other/moved")));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("src"))));
    EXPECT_EQ(SnapshotTree(pOther->Path("moved")), src);
}

TEST_F(FolderOpsTest, DeleteRemovesReadOnlyFoldersButNotWhatLinksPointTo) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    MakeTree(P("victim"));
    WriteWholeFile(P("outside/precious.txt"), "precious");
    fs::create_directory_symlink(PathFromUtf8(P("outside")), PathFromUtf8(P("victim/sub/linked")));
    fs::permissions(PathFromUtf8(P("victim/sub")), fs::perms::owner_read | fs::perms::owner_exec);
    ASSERT_TRUE(DeleteFolder(P("victim")));
    EXPECT_FALSE(fs::exists(PathFromUtf8(P("victim"))));
    EXPECT_EQ(ReadWholeFile(P("outside/precious.txt")), "precious");
}

}  // namespace
