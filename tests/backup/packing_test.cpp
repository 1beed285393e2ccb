// Packing category folders into the temporary archives, against real folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "app/categories.h"
#include "app/main_logic.h"
#include "backup/backup_command.h"
#include "backup/folder_packer.h"
#include "backup_sandbox.h"
#ifdef ZAV_TEST_LISTING_FAULT
#include "listing_fault.h"
#endif
#include "platform/native_text.h"
#include "support/recording_view.h"
#include "zip/zip_archiver.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries Sorted(Entries vec) {
    std::sort(vec.begin(), vec.end());
    return vec;
}

std::string CurrentFolder() {
    return Utf8FromPath(std::filesystem::current_path());
}

// A view that runs a test's action each time the packer lets the window repaint.
class CHookedView : public CRecordingView {
public:
    std::function<void()> m_fnOnKeepAlive;
    void KeepAlive() override {
        CRecordingView::KeepAlive();
        if (m_fnOnKeepAlive)
            m_fnOnKeepAlive();
    }
};

class PackingTest : public ::testing::Test {
protected:
    std::string Archive(ECategory eCategory) const {
        return TempArchivePath(m_box.Folder(), eCategory);
    }

    CGameSandbox m_box;
    CRecordingView m_view;
};

TEST_F(PackingTest, StoresEveryFileUnderItsPathRelativeToTheGameFolder) {
    m_box.Write("Interface/AddOns/한글애드온/설정.lua", "-- 설정\n");
    m_box.Write("Interface/AddOns/한글애드온/Libs/lib.lua", std::string(70000, 'x'));
    m_box.Write("Interface/AddOns/.hidden.txt", "hidden file");
    m_box.Write("Interface/.숨김폴더/inside.txt", "in a hidden folder");
    m_box.Write("Interface/readonly.txt", "read only");
    m_box.Write("Interface/empty.txt", "");
    m_box.MakeDir("Interface/Empty/Deeper");
    std::filesystem::permissions(PathFromUtf8(m_box.Path("Interface/readonly.txt")),
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read);
    std::string strCwd = CurrentFolder();

    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Interface), 1);

    Entries expected = {
        {"Interface/AddOns/한글애드온/설정.lua", "-- 설정\n"},
        {"Interface/AddOns/한글애드온/Libs/lib.lua", std::string(70000, 'x')},
        {"Interface/AddOns/.hidden.txt", "hidden file"},
        {"Interface/.숨김폴더/inside.txt", "in a hidden folder"},
        {"Interface/readonly.txt", "read only"},
        {"Interface/empty.txt", ""},
    };
    EXPECT_EQ(Sorted(ReadArchive(Archive(ECategory::Interface))), Sorted(expected));
    EXPECT_TRUE(m_view.Messages().empty());
    EXPECT_EQ(CurrentFolder(), strCwd) << "the process's current folder must never change";
    EXPECT_GE(m_view.KeepAliveCount(), 6) << "the window must be kept alive between files";
}

TEST_F(PackingTest, PathsLongerThanTheOldPathBufferArePackedNotDropped) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows paths end at 260 characters (MAX_PATH)";
#endif
    std::string strDeep = "Interface";
    while (strDeep.size() < 300)
        strDeep += "/긴폴더이름_long_folder_name";
    m_box.Write(strDeep + "/deep.lua", "deep");
    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Interface), 1);
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Interface)),
              std::vector<std::string>{strDeep + "/deep.lua"});
}

TEST_F(PackingTest, StoresEntriesDepthFirstWithEachFolderTogether) {
    m_box.Write("WTF/a/1.txt", "1");
    m_box.Write("WTF/a/b/2.txt", "2");
    m_box.Write("WTF/a/b/3.txt", "3");
    m_box.Write("WTF/c/4.txt", "4");
    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Wtf), 1);

    std::vector<std::string> names = ArchiveNames(Archive(ECategory::Wtf));
    ASSERT_EQ(names.size(), 4u);
    // The two files of WTF/a/b stand next to each other whatever the listing order.
    auto it2 = std::find(names.begin(), names.end(), "WTF/a/b/2.txt");
    auto it3 = std::find(names.begin(), names.end(), "WTF/a/b/3.txt");
    ASSERT_TRUE(it2 != names.end() && it3 != names.end());
    EXPECT_EQ(std::abs(it2 - it3), 1);
}

TEST_F(PackingTest, CachePacksOnlyTheKoreanClientCacheUnderItsFullPath) {
    m_box.Write("Cache/WDB/koKR/creaturecache.wdb", "creatures");
    m_box.Write("Cache/WDB/koKR/sub/itemcache.wdb", "items");
    m_box.Write("Cache/WDB/enUS/other.wdb", "not ours");
    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Wdb), 1);
    Entries expected = {{"Cache/WDB/koKR/creaturecache.wdb", "creatures"},
                        {"Cache/WDB/koKR/sub/itemcache.wdb", "items"}};
    EXPECT_EQ(Sorted(ReadArchive(Archive(ECategory::Wdb))), Sorted(expected));
}

TEST_F(PackingTest, MissingOrFileLessFoldersAreEmptyNotErrors) {
    EXPECT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Fonts), 0);
    m_box.MakeDir("WTF/Account/Empty");
    EXPECT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Wtf), 0);
    EXPECT_TRUE(m_view.Messages().empty());
}

// Only a category folder that does not exist is empty: one that cannot be opened, or any
// folder inside it that cannot, fails the category, named, instead of leaving its files out of
// the archive that replaces the member's copy on the server.
TEST(PackingFaults, FolderThatCannotBeOpenedFailsTheCategoryAndIsNamed) {
    struct SCase {
        ECategory eCategory;
        const char* szFolder;  // the category's folder
        const char* szLocked;  // the folder that cannot be opened
        const char* szNamed;   // the folder the message names
        bool bPosixOnly;       // a lock on Windows holds only the folder itself
    };
    const SCase cases[] = {
        {ECategory::Wtf, "WTF", "WTF/Account/ACC", "WTF/Account/ACC", false},
        {ECategory::Interface, "Interface", "Interface", "Interface", false},
        {ECategory::Wdb, "Cache/WDB/koKR", "Cache", "Cache/WDB/koKR", true},
    };
    for (const SCase& fault : cases) {
        SCOPED_TRACE(fault.szLocked);
#ifdef _WIN32
        if (fault.bPosixOnly)
            continue;
#endif
        CGameSandbox box;
        CRecordingView view;
        box.Write(std::string(fault.szFolder) + "/Account/other.txt", "other");
        box.Write(std::string(fault.szLocked) + "/SavedVariables/WeakAuras.lua", "X = {}");
        CLockedFolder lock(box, fault.szLocked);
        if (!lock.IsLocked())
            GTEST_SKIP() << lock.Reason();
        EXPECT_EQ(PackFolder(view, box.Folder(), fault.eCategory), kPackAddFailed);
        EXPECT_EQ(view.Messages(),
                  std::vector<std::string>{std::string(kMsgAddFileFailed) + "\n\n" +
                                           NativeSeparators(fault.szNamed)});
        // Closed: the archive on disk is complete and readable.
        CZipArchiver zip;
        EXPECT_NO_THROW(
            zip.Open(TempArchivePath(box.Folder(), fault.eCategory), ZipOpenMode::ReadOnly));
    }
}

#ifdef ZAV_TEST_LISTING_FAULT
// A listing that breaks off in the middle fails the category as a folder that cannot be opened
// does, naming the folder, wherever in the folder it breaks.
TEST_F(PackingTest, ListingThatBreaksOffFailsTheCategoryAndNamesTheFolder) {
    for (int i = 0; i < 3; ++i)
        m_box.Write("WTF/Account/ACC/file" + std::to_string(i) + ".txt", "x");
    const std::string strAcc =
        Utf8FromPath(std::filesystem::canonical(PathFromUtf8(m_box.Folder() + "WTF/Account/ACC")));
    // ".", ".." and three files: the listing breaks off before, among and after them.
    for (int nBefore : {0, 2, 3, 4, 5}) {
        SCOPED_TRACE(nBefore);
        CRecordingView view;
        BreakListingOf(strAcc, nBefore);
        EXPECT_EQ(PackFolder(view, m_box.Folder(), ECategory::Wtf), kPackAddFailed);
        EXPECT_EQ(view.Messages(), std::vector<std::string>{std::string(kMsgAddFileFailed) +
                                                            "\n\n" + "WTF/Account/ACC"});
        BreakListingOf("", 0);
    }
    CRecordingView view;  // and whole again, all three files packed
    EXPECT_EQ(PackFolder(view, m_box.Folder(), ECategory::Wtf), 1);
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Wtf)).size(), 3u);
}
#endif

TEST_F(PackingTest, LinksToFoldersAreNotFollowedAndLinksToFilesArePacked) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    m_box.Write("Interface/real.txt", "real");
    m_box.Write("outside.txt", "linked");
    std::filesystem::create_symlink("..", PathFromUtf8(m_box.Path("Interface/loop")));
    std::filesystem::create_symlink("../outside.txt",
                                    PathFromUtf8(m_box.Path("Interface/link.txt")));
    std::filesystem::create_symlink("missing", PathFromUtf8(m_box.Path("Interface/dangling")));
    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Interface), 1);
    Entries expected = {{"Interface/link.txt", "linked"}, {"Interface/real.txt", "real"}};
    EXPECT_EQ(Sorted(ReadArchive(Archive(ECategory::Interface))), expected);
}

TEST_F(PackingTest, FileThatVanishesDuringTheWalkIsSkippedSilently) {
    CHookedView view;
    m_box.Write("WTF/keep.txt", "kept");
    m_box.Write("WTF/gone.txt", "vanishes");
    // Removed at the first pause, after the folder was listed.
    view.m_fnOnKeepAlive = [&] {
        std::filesystem::remove(PathFromUtf8(m_box.Path("WTF/gone.txt")));
    };
    ASSERT_EQ(PackFolder(view, m_box.Folder(), ECategory::Wtf), 1);
    EXPECT_EQ(ReadArchive(Archive(ECategory::Wtf)), (Entries{{"WTF/keep.txt", "kept"}}));
    EXPECT_TRUE(view.Messages().empty());
}

TEST_F(PackingTest, FileThatCannotBeReadStopsWithTheAddMessageAndClosesTheArchive) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    m_box.Write("Interface/a.txt", "a");
    // Reading this file fails with an I/O error (nothing is mapped at its offset 0).
    std::filesystem::create_symlink("/proc/self/mem",
                                    PathFromUtf8(m_box.Path("Interface/unreadable.bin")));
    EXPECT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Interface), kPackAddFailed);
    ASSERT_FALSE(m_view.Messages().empty());
    EXPECT_EQ(m_view.Messages().front(),
              std::string(kMsgAddFileFailed) + "\n\nInterface/unreadable.bin");
    // Closed: the archive on disk is complete and readable.
    CZipArchiver zip;
    EXPECT_NO_THROW(zip.Open(Archive(ECategory::Interface), ZipOpenMode::ReadOnly));
}

TEST_F(PackingTest, OnlyAnArchiveThatReadsBackWithEveryEntryIsWhole) {
    m_box.Write("WTF/a.txt", "a");
    m_box.Write("WTF/b.txt", "b");
    ASSERT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Wtf), 1);
    const std::string strArchive = Archive(ECategory::Wtf);
    EXPECT_TRUE(IsWholeArchive(strArchive, 2));
    EXPECT_FALSE(IsWholeArchive(strArchive, 3));
    // Cut off inside its directory: no end record, not whole.
    std::filesystem::resize_file(PathFromUtf8(strArchive),
                                 std::filesystem::file_size(PathFromUtf8(strArchive)) - 30);
    EXPECT_FALSE(IsWholeArchive(strArchive, 2));
    EXPECT_FALSE(IsWholeArchive(m_box.Path("no-such.zip"), 0));
}

TEST_F(PackingTest, ArchiveThatCannotBeCreatedGivesMinusThreeWithItsMessage) {
    m_box.Write("Fonts/font.ttf", "font");
    m_box.MakeDir("Ralum/Temp/__Fonts.zip");  // a folder stands where the archive goes
    EXPECT_EQ(PackFolder(m_view, m_box.Folder(), ECategory::Fonts), kPackCreateFailed);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kMsgCreateArchiveFailed});
    EXPECT_NE(std::string(kMsgCreateArchiveFailed).find("/n/n"), std::string::npos);
}

TEST_F(PackingTest, DeleteTempArchivesRemovesTheNamedOrAllAndIgnoresMissingOnes) {
    for (const char* szWord : {"Interface", "WTF", "Fonts"})
        m_box.Write(std::string("Ralum/Temp/__") + szWord + ".zip", "x");

    EXPECT_EQ(DeleteTempArchives(m_box.Folder(), kMaskWdb), 1);  // missing: passed over
    EXPECT_TRUE(m_box.Exists("Ralum/Temp/__Interface.zip"));
    EXPECT_EQ(DeleteTempArchives(m_box.Folder(), kMaskInterface | kMaskFonts), 1);
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Interface.zip"));
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Fonts.zip"));
    EXPECT_TRUE(m_box.Exists("Ralum/Temp/__WTF.zip"));
    EXPECT_EQ(DeleteTempArchives(m_box.Folder(), kMaskAll), 1);
    for (const char* szName : {"__Interface.zip", "__WTF.zip", "__WDB.zip", "__Fonts.zip"})
        EXPECT_FALSE(m_box.Exists(std::string("Ralum/Temp/") + szName)) << szName;
}

class PackSelectedTest : public PackingTest {
protected:
    int Pack() { return m_backup.PackSelectedFolders(m_box.Folder(), m_nMask); }

    CSettings m_settings;
    CMainLogic m_logic{m_view, m_settings};
    CBackupCommand m_backup{m_logic};
    uint8_t m_nMask = kMaskInterface | kMaskWtf | kMaskWdb | kMaskFonts;
};

TEST_F(PackSelectedTest, DropsEmptyCategoriesAndDeletesTheirArchives) {
    m_box.MakeDir("Interface/OnlyEmpty/Folders");
    m_box.Write("WTF/Config.wtf", "SET locale \"koKR\"");
    m_box.Write("Ralum/Temp/__WDB.zip", "stale archive of an earlier run");
    m_nMask = kMaskInterface | kMaskWtf | kMaskWdb;

    EXPECT_EQ(Pack(), 1);
    EXPECT_EQ(m_nMask, kMaskWtf);  // the empty categories are dropped from the upload
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Interface.zip"));
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__WDB.zip"));
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Fonts.zip"));
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Wtf)), std::vector<std::string>{"WTF/Config.wtf"});
}

TEST_F(PackSelectedTest, CountsEveryCategoryThatGotFiles) {
    for (const char* szFile :
         {"Interface/i.lua", "WTF/w.wtf", "Cache/WDB/koKR/c.wdb", "Fonts/f.ttf"})
        m_box.Write(szFile, szFile);
    EXPECT_EQ(Pack(), 4);
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Wdb)),
              std::vector<std::string>{"Cache/WDB/koKR/c.wdb"});
}

TEST_F(PackSelectedTest, ThirdCategoryFailingToBeCreatedStopsBeforeTheFourth) {
    for (const char* szFile :
         {"Interface/i.lua", "WTF/w.wtf", "Cache/WDB/koKR/c.wdb", "Fonts/f.ttf"})
        m_box.Write(szFile, szFile);
    m_box.MakeDir("Ralum/Temp/__WDB.zip");
    EXPECT_EQ(Pack(), kPackCreateFailed);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kMsgCreateArchiveFailed});
    // The first two stay until the command deletes them; the fourth was never attempted.
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Interface)),
              std::vector<std::string>{"Interface/i.lua"});
    EXPECT_EQ(ArchiveNames(Archive(ECategory::Wtf)), std::vector<std::string>{"WTF/w.wtf"});
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__Fonts.zip"));
}

TEST_F(PackSelectedTest, AddFailureEndsPackingAtOnce) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    m_box.Write("Interface/i.lua", "i");
    std::filesystem::create_symlink("/proc/self/mem",
                                    PathFromUtf8(m_box.Path("Interface/bad.bin")));
    m_box.Write("WTF/w.wtf", "w");
    EXPECT_EQ(Pack(), kPackAddFailed);
    EXPECT_FALSE(m_box.Exists("Ralum/Temp/__WTF.zip"));
}

}  // namespace
