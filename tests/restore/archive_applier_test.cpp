// Applying downloaded archives: the Recent and Original copies, and every fault leaving the
// game folder exactly as it was.
#include "restore/archive_applier.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/native_text.h"
#include "restore_fixture.h"
#include "support/file_size_limit.h"
#include "support/recording_view.h"

namespace fs = std::filesystem;
using namespace restore_test;

namespace {

class ApplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_game.strRoot = m_temp.Path() + "/game/";
        FillGameFolder(m_game);
    }

    // The saved state of a category: the folder as a backup took it, with different content.
    void SaveArchive(const std::string& strFolder, const std::string& strArchiveName) {
        CSandbox saved;
        SGame other{saved.Path() + "/"};
        WriteWholeFile(other.Path(strFolder + "/saved.txt"), "saved " + strFolder);
        WriteWholeFile(other.Path(strFolder + "/하늘바다/캐릭터.lua"), RandomBytes(5000, 7));
        WriteWholeFile(other.Path(strFolder + "/empty.bin"), "");
        m_saved[strFolder] = SnapshotTree(other.Path(strFolder));
        PackFolder(other.strRoot, strFolder, m_game.Path("Ralum/Temp/" + strArchiveName));
    }

    TreeMap Tree(const std::string& strRelative = "") const {
        return SnapshotTree(m_game.Path(strRelative));
    }
    // Everything a restore may not change on failure (the downloads in Ralum/Temp may).
    TreeMap Guarded() const { return SnapshotTree(m_game.strRoot, {"Ralum/Temp"}); }

    CSandbox m_temp;
    SGame m_game;
    std::map<std::string, TreeMap> m_saved;
};

TEST_F(ApplyTest, FirstRestoreOfWtfTakesAllFourOriginalsAndRestoresWtf) {
    const TreeMap wtf = Tree("WTF"), fonts = Tree("Fonts"), iface = Tree("Interface"),
                  wdb = Tree("Cache/WDB/koKR");
    SaveArchive("WTF", "__WTF.zip");

    CArchiveApplier applier(m_game.strRoot, kMaskWtf);
    ASSERT_EQ(applier.ApplyAll(), 0) << applier.LastError();

    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), wtf);
    EXPECT_EQ(Tree("Ralum/Original/WTF"), wtf);
    EXPECT_EQ(Tree("Ralum/Original/Fonts"), fonts);
    EXPECT_EQ(Tree("Ralum/Original/Interface"), iface);
    EXPECT_EQ(Tree("Ralum/Original/WDB"), wdb);
    EXPECT_EQ(Tree("Fonts"), fonts);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Recent/Fonts"))));
    // No staging or set-aside folder is left behind.
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(m_game.strRoot)))
        EXPECT_EQ(entry.path().filename().string().rfind(".zav", 0), std::string::npos)
            << entry.path();
}

TEST_F(ApplyTest, SecondRestoreKeepsOriginalsAndRenewsRecent) {
    const TreeMap first = Tree("WTF");
    SaveArchive("WTF", "__WTF.zip");
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWtf).ApplyAll(), 0);

    WriteWholeFile(m_game.Path("WTF/added-after-restore.txt"), "new");
    const TreeMap second = Tree("WTF");
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWtf).ApplyAll(), 0);

    EXPECT_EQ(Tree("Ralum/Original/WTF"), first);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), second);
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
}

TEST_F(ApplyTest, ReplacedFoldersLeftForLaterAreNamedAndANextStartRemovesThem) {
    WriteWholeFile(m_game.Path("Ralum/Recent/WTF/previous.txt"), "previous recent");
    const TreeMap wtf = Tree("WTF");
    SaveArchive("WTF", "__WTF.zip");
    CArchiveApplier applier(m_game.strRoot, kMaskWtf);
    ASSERT_EQ(applier.ApplyAll(CArchiveApplier::EReplaced::Keep), 0) << applier.LastError();
    const std::string strOld = m_game.Path("Ralum/Recent/.zav-old-WTF");
    const std::vector<std::string> vecReplaced = applier.ReplacedFolders();
    ASSERT_EQ(vecReplaced.size(), 1u);
    EXPECT_EQ(PathFromUtf8(vecReplaced[0]), PathFromUtf8(strOld));
    EXPECT_EQ(ReadWholeFile(strOld + "/previous.txt"), "previous recent");

    // The program ended before removing it: the next start does, silently.
    CRecordingView view;
    EXPECT_EQ(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Nothing);
    EXPECT_TRUE(view.Boxes().empty());
    EXPECT_FALSE(fs::exists(PathFromUtf8(strOld)));
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), wtf);
}

TEST_F(ApplyTest, MissingFolderBecomesTheArchiveContentAndKeepsItsRecentCopy) {
    SaveArchive("Interface", "__Interface.zip");
    fs::remove_all(PathFromUtf8(m_game.Path("Interface")));
    WriteWholeFile(m_game.Path("Ralum/Recent/Interface/old.txt"), "older recent");

    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskInterface).ApplyAll(), 0);

    EXPECT_EQ(Tree("Interface"), m_saved["Interface"]);
    // Nothing replaced it: the member's only Recent copy stays.
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Recent/Interface/old.txt")), "older recent");
    // No Original copy for a folder that did not exist; a later restore takes it.
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Original/Interface"))));
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskInterface).ApplyAll(), 0);
    EXPECT_EQ(Tree("Ralum/Original/Interface"), m_saved["Interface"]);
}

TEST_F(ApplyTest, CacheRestoreMovesKoKRToRecentWdbAndRecreatesIt) {
    const TreeMap kokr = Tree("Cache/WDB/koKR");
    SaveArchive("Cache/WDB/koKR", "__WDB.zip");

    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWdb).ApplyAll(), 0);

    EXPECT_EQ(Tree("Cache/WDB/koKR"), m_saved["Cache/WDB/koKR"]);
    EXPECT_EQ(Tree("Ralum/Recent/WDB"), kokr);
    EXPECT_EQ(Tree("Ralum/Original/WDB"), kokr);
    EXPECT_EQ(ReadWholeFile(m_game.Path("Cache/Other/keep.bin")), "cache outside koKR\n");
    // Nothing but koKR is left in Cache/WDB: no staging folder.
    EXPECT_EQ(SnapshotTree(m_game.Path("Cache/WDB")).size(), m_saved["Cache/WDB/koKR"].size() + 1);
}

TEST_F(ApplyTest, CacheRestoreIntoAGameWithoutCacheFolder) {
    SaveArchive("Cache/WDB/koKR", "__WDB.zip");
    fs::remove_all(PathFromUtf8(m_game.Path("Cache")));
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWdb).ApplyAll(), 0);
    EXPECT_EQ(Tree("Cache/WDB/koKR"), m_saved["Cache/WDB/koKR"]);
}

TEST_F(ApplyTest, OriginalCopyThatFailsOnlyBlocksTheCategoriesBeingRestored) {
    SKIP_WITHOUT_FILE_SIZE_LIMIT();
    // Interface is too large for what the disk still takes; WTF's files are small.
    WriteWholeFile(m_game.Path("Interface/AddOns/Big/textures.blp"), RandomBytes(300 * 1024, 5));
    SaveArchive("WTF", "__WTF.zip");
    {
        CFileSizeLimit limit(200 * 1024);
        ASSERT_TRUE(limit.IsSet());
        CArchiveApplier applier(m_game.strRoot, kMaskWtf);
        EXPECT_EQ(applier.ApplyAll(), 0) << applier.LastError();
    }
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Original/Interface"))));  // taken later
    EXPECT_TRUE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Original/WTF"))));
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(m_game.Path("Ralum/Original"))))
        EXPECT_EQ(entry.path().filename().string().find(".zav-copy"), std::string::npos);

    // Restoring Interface itself needs its copy: refused, and nothing changes.
    SaveArchive("Interface", "__Interface.zip");
    const TreeMap before = Guarded();
    CFileSizeLimit limit(200 * 1024);
    EXPECT_EQ(CArchiveApplier(m_game.strRoot, kMaskInterface).ApplyAll(), -1);
    EXPECT_EQ(Guarded(), before);
}

// An apply cut off (crash, power loss) after some of its renames: the next restore or start
// finds it by the names and finishes it, and the member loses nothing.
struct SCut {
    const char* szName;
    std::vector<std::pair<const char*, const char*>> vecDone;  // renames done before the cut
    friend void PrintTo(const SCut& cut, std::ostream* pOut) { *pOut << cut.szName; }
};

class InterruptedApplyTest : public ApplyTest, public ::testing::WithParamInterface<SCut> {};

TEST_P(InterruptedApplyTest, IsFinishedByTheNextStart) {
    WriteWholeFile(m_game.Path("Ralum/Recent/WTF/previous.txt"), "previous recent");
    const TreeMap fonts = Tree("Fonts"), wtf = Tree("WTF");
    SaveArchive("Fonts", "__Fonts.zip");
    SaveArchive("WTF", "__WTF.zip");
    // Both archives extracted and checked, as the apply leaves them before its first swap.
    CArchiveApplier staging(m_game.strRoot, kMaskFonts | kMaskWtf);
    ASSERT_TRUE(staging.ExtractArchive(ECategory::Fonts));
    ASSERT_TRUE(staging.ExtractArchive(ECategory::Wtf));
    fs::rename(PathFromUtf8(m_game.Path(".zav-stage-Fonts")),
               PathFromUtf8(m_game.Path(".zav-ready-Fonts")));
    fs::rename(PathFromUtf8(m_game.Path(".zav-stage-WTF")),
               PathFromUtf8(m_game.Path(".zav-ready-WTF")));
    for (const auto& [szFrom, szTo] : GetParam().vecDone) {
        if (std::string(szTo) == "copy")
            fs::copy(PathFromUtf8(m_game.Path(szFrom)),
                     PathFromUtf8(m_game.Path("Ralum/Recent/WTF")), fs::copy_options::recursive);
        else
            fs::rename(PathFromUtf8(m_game.Path(szFrom)), PathFromUtf8(m_game.Path(szTo)));
    }

    CRecordingView view;
    const ERecovery eResult = RecoverInterruptedApply(view, m_game.strRoot);
    EXPECT_NE(eResult, ERecovery::Failed);
    EXPECT_EQ(Tree("Fonts"), m_saved["Fonts"]);
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_EQ(Tree("Ralum/Recent/Fonts"), fonts);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), wtf);
    EXPECT_EQ(view.Messages(), eResult == ERecovery::Finished
                                   ? std::vector<std::string>{kMsgApplyResumed}
                                   : std::vector<std::string>{});
    for (const std::string& strFolder : {std::string(), std::string("Ralum/Recent")}) {
        for (const auto& entry : fs::directory_iterator(PathFromUtf8(m_game.Path(strFolder))))
            EXPECT_EQ(entry.path().filename().string().rfind(".zav", 0), std::string::npos)
                << entry.path();
    }
}

const std::pair<const char*, const char*> kFontsToRecent{"Fonts", "Ralum/Recent/Fonts"};
const std::pair<const char*, const char*> kNewFonts{".zav-ready-Fonts/Fonts", "Fonts"};
const std::pair<const char*, const char*> kRecentAside{"Ralum/Recent/WTF",
                                                       "Ralum/Recent/.zav-old-WTF"};
const std::pair<const char*, const char*> kWtfToRecent{"WTF", "Ralum/Recent/WTF"};
const std::pair<const char*, const char*> kNewWtf{".zav-ready-WTF/WTF", "WTF"};
// Recent on another file system: the old folder is copied there, then set aside.
const std::pair<const char*, const char*> kWtfCopied{"WTF", "copy"};
const std::pair<const char*, const char*> kWtfAside{"WTF", ".zav-old-WTF"};

INSTANTIATE_TEST_SUITE_P(
    Cuts, InterruptedApplyTest,
    ::testing::Values(SCut{"BeforeTheFirstSwap", {}}, SCut{"OldFontsInRecent", {kFontsToRecent}},
                      SCut{"FontsDone", {kFontsToRecent, kNewFonts}},
                      SCut{"PreviousRecentAside", {kFontsToRecent, kNewFonts, kRecentAside}},
                      SCut{"OldWtfInRecent",
                           {kFontsToRecent, kNewFonts, kRecentAside, kWtfToRecent}},
                      SCut{"AllSwappedNotCleaned",
                           {kFontsToRecent, kNewFonts, kRecentAside, kWtfToRecent, kNewWtf}},
                      SCut{"CopiedToRecent", {kFontsToRecent, kNewFonts, kRecentAside, kWtfCopied}},
                      SCut{"CopiedAndSetAside",
                           {kFontsToRecent, kNewFonts, kRecentAside, kWtfCopied, kWtfAside}}),
    [](const auto& row) { return std::string(row.param.szName); });

TEST_F(ApplyTest, ApplyCutOffWhileExtractingChangesNothingAndIsCleanedUp) {
    SaveArchive("WTF", "__WTF.zip");
    const TreeMap before = Guarded();
    WriteWholeFile(m_game.Path(".zav-stage-WTF/WTF/half.lua"), "half of an extracted file");
    WriteWholeFile(m_game.Path(".zav-ready-Fonts/Fonts/new.ttf"), "checked, but WTF was not");
    WriteWholeFile(m_game.Path("Ralum/Original/.Interface.zav-copy0/x"), "half a copy");

    CRecordingView view;
    EXPECT_EQ(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Nothing);
    EXPECT_TRUE(view.Boxes().empty());
    EXPECT_EQ(Guarded(), before);

    // The next restore runs as if nothing had happened.
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWtf).ApplyAll(), 0);
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
}

TEST(EntryInFolder, NamesOutsideTheCategoryFolderAreRefused) {
    EXPECT_TRUE(IsEntryInFolder("WTF/Config.wtf", false, "WTF"));
    EXPECT_TRUE(IsEntryInFolder("Cache/WDB/koKR/a.wdb", false, "Cache/WDB/koKR"));
    EXPECT_TRUE(IsEntryInFolder("Cache/WDB/", true, "Cache/WDB/koKR"));
    EXPECT_FALSE(IsEntryInFolder("Cache/WDB/a.wdb", false, "Cache/WDB/koKR"));
    EXPECT_FALSE(IsEntryInFolder("WTF", false, "WTF"));
    EXPECT_FALSE(IsEntryInFolder("Interface/x.lua", false, "WTF"));
    EXPECT_FALSE(IsEntryInFolder("WTF/../Interface/x.lua", false, "WTF"));
    EXPECT_FALSE(IsEntryInFolder("WTFX/a", false, "WTF"));
}

// Each bad archive in a restore of two categories: the good one is not applied either.
struct SBadArchive {
    const char* szName;
    void (*make)(const std::string& strArchive);
    friend void PrintTo(const SBadArchive& bad, std::ostream* pOut) { *pOut << bad.szName; }
};

class BadArchiveTest : public ApplyTest, public ::testing::WithParamInterface<SBadArchive> {};

TEST_P(BadArchiveTest, LeavesTheGameFolderAsItWas) {
    SaveArchive("Fonts", "__Fonts.zip");
    SaveArchive("WTF", "__WTF.zip");
    GetParam().make(m_game.Path("Ralum/Temp/__WTF.zip"));
    const TreeMap before = Guarded();

    CArchiveApplier applier(m_game.strRoot, kMaskFonts | kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_FALSE(applier.LastError().empty());
    EXPECT_EQ(Guarded(), before);
}

void Corrupt(const std::string& strArchive) {
    std::string strData = ReadWholeFile(strArchive);
    for (size_t i = 200; i < 1200 && i < strData.size(); ++i)
        strData[i] = static_cast<char>(strData[i] ^ 0x5A);
    WriteWholeFile(strArchive, strData);
}
void Truncate(const std::string& strArchive) {
    std::string strData = ReadWholeFile(strArchive);
    WriteWholeFile(strArchive, strData.substr(0, strData.size() / 2));
}
void ErrorPage(const std::string& strArchive) {
    WriteWholeFile(strArchive, "<html><body>404 Not Found</body></html>");
}
void Encrypted(const std::string& strArchive) {
    MarkEncrypted(strArchive);
}
void ClimbingEntry(const std::string& strArchive) {
    PackEntries(strArchive, {{"WTF/ok.txt", "ok"}, {"WTF/../../escaped.txt", "evil"}});
}
void OtherCategory(const std::string& strArchive) {
    PackEntries(strArchive, {{"WTF/ok.txt", "ok"}, {"Interface/AddOns/x.lua", "other"}});
}
void Missing(const std::string& strArchive) {
    fs::remove(PathFromUtf8(strArchive));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadArchiveTest,
    ::testing::Values(SBadArchive{"Corrupt", Corrupt}, SBadArchive{"Truncated", Truncate},
                      SBadArchive{"ErrorPage", ErrorPage}, SBadArchive{"Encrypted", Encrypted},
                      SBadArchive{"ClimbingEntry", ClimbingEntry},
                      SBadArchive{"OtherCategory", OtherCategory}, SBadArchive{"Missing", Missing}),
    [](const auto& row) { return std::string(row.param.szName); });

TEST_F(ApplyTest, DiskFillingDuringExtractionLeavesTheGameFolderAsItWas) {
    // The game folder on a small file system: the archive fits, its content does not.
    CSandbox mountPoint;
    CTmpfsMount mount(mountPoint.Path(), 1536 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    SGame game{mountPoint.Path() + "/"};
    FillGameFolder(game);
    PackEntries(game.Path("Ralum/Temp/__WTF.zip"), {{"WTF/a.bin", RandomBytes(400 * 1024, 11)},
                                                    {"WTF/b.bin", RandomBytes(400 * 1024, 12)},
                                                    {"WTF/c.bin", RandomBytes(400 * 1024, 13)}});
    const TreeMap before = SnapshotTree(game.strRoot, {"Ralum/Temp"});

    CArchiveApplier applier(game.strRoot, kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_NE(applier.LastError().find("No space"), std::string::npos) << applier.LastError();
    EXPECT_EQ(SnapshotTree(game.strRoot, {"Ralum/Temp"}), before);
}

TEST_F(ApplyTest, EntryThatCannotBeWrittenMidwayLeavesTheGameFolderAsItWas) {
    // The same fault without a small file system: the last entry needs a folder where the one
    // before it put a file.
    PackEntries(m_game.Path("Ralum/Temp/__WTF.zip"), {{"WTF/a.bin", RandomBytes(400 * 1024, 11)},
                                                      {"WTF/b.bin", RandomBytes(400 * 1024, 12)},
                                                      {"WTF/b.bin/c.bin", "blocked"}});
    const TreeMap before = SnapshotTree(m_game.strRoot, {"Ralum/Temp"});

    CArchiveApplier applier(m_game.strRoot, kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_NE(applier.LastError().find("__WTF.zip"), std::string::npos) << applier.LastError();
    EXPECT_EQ(SnapshotTree(m_game.strRoot, {"Ralum/Temp"}), before);
}

TEST_F(ApplyTest, FailedSwapPutsEveryFolderBack) {
    // Ralum/Recent on its own small file system: the old folders must be copied there, and
    // the second one does not fit, after the first category was already swapped in.
    SaveArchive("Fonts", "__Fonts.zip");
    PackEntries(m_game.Path("Ralum/Temp/__WTF.zip"), {{"WTF/new.txt", "new"}});
    WriteWholeFile(m_game.Path("WTF/big.bin"), RandomBytes(600 * 1024, 21));
    fs::create_directories(PathFromUtf8(m_game.Path("Ralum/Original")));
    for (const char* szCategory : {"Fonts", "Interface", "WDB", "WTF"})
        fs::create_directories(
            PathFromUtf8(m_game.Path(std::string("Ralum/Original/") + szCategory)));
    CTmpfsMount mount(m_game.Path("Ralum/Recent"), 256 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    WriteWholeFile(m_game.Path("Ralum/Recent/WTF/previous.txt"), "previous recent");
    const TreeMap before = Guarded();

    CArchiveApplier applier(m_game.strRoot, kMaskFonts | kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_EQ(Guarded(), before) << applier.LastError();
}

TEST_F(ApplyTest, FailedSwapWithAFileInTheWayPutsEveryFolderBack) {
    // The same rollback without a small file system: Ralum/Recent is a file, so the game's WTF
    // cannot be moved there, after the new Fonts (the game had none) was already moved in.
    SaveArchive("Fonts", "__Fonts.zip");
    PackEntries(m_game.Path("Ralum/Temp/__WTF.zip"), {{"WTF/new.txt", "new"}});
    fs::remove_all(PathFromUtf8(m_game.Path("Fonts")));
    fs::remove_all(PathFromUtf8(m_game.Path("Ralum/Recent")));
    WriteWholeFile(m_game.Path("Ralum/Recent"), "a file where the Recent folder should be");
    for (const char* szCategory : {"Fonts", "Interface", "WDB", "WTF"})
        fs::create_directories(
            PathFromUtf8(m_game.Path(std::string("Ralum/Original/") + szCategory)));
    const TreeMap before = Guarded();

    CArchiveApplier applier(m_game.strRoot, kMaskFonts | kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_NE(applier.LastError().find("cannot move"), std::string::npos) << applier.LastError();
    EXPECT_EQ(Guarded(), before) << applier.LastError();
}

TEST_F(ApplyTest, RecentOnAnotherFileSystemIsCopied) {
    SaveArchive("Fonts", "__Fonts.zip");
    const TreeMap fonts = Tree("Fonts");
    CTmpfsMount mount(m_game.Path("Ralum/Recent"), 4 * 1024 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskFonts).ApplyAll(), 0);
    EXPECT_EQ(Tree("Fonts"), m_saved["Fonts"]);
    EXPECT_EQ(Tree("Ralum/Recent/Fonts"), fonts);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(".zav-old-Fonts"))));
}

TEST_F(ApplyTest, RecentLinkedToAnotherFileSystemIsCopied) {
    // The same copy without mount rights: Ralum/Recent links to a folder on another file system.
    std::unique_ptr<CSandbox> pOther = SandboxOnAnotherFileSystem();
    if (!pOther)
        GTEST_SKIP() << "no second file system beside the temporary folder";
    SaveArchive("Fonts", "__Fonts.zip");
    const TreeMap fonts = Tree("Fonts");
    fs::remove(PathFromUtf8(m_game.Path("Ralum/Recent")));
    fs::create_directory_symlink(PathFromUtf8(pOther->Path()),
                                 PathFromUtf8(m_game.Path("Ralum/Recent")));
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskFonts).ApplyAll(), 0);
    EXPECT_EQ(Tree("Fonts"), m_saved["Fonts"]);
    EXPECT_EQ(SnapshotTree(pOther->Path("Fonts")), fonts);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(".zav-old-Fonts"))));
}

TEST_F(ApplyTest, UnwritableCacheFolderFailsTheWholeRestore) {
    SaveArchive("WTF", "__WTF.zip");
    SaveArchive("Cache/WDB/koKR", "__WDB.zip");
    CTmpfsMount mount(m_game.Path("Cache/WDB"), 1024 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    WriteWholeFile(m_game.Path("Cache/WDB/koKR/itemcache.wdb"), "cache");
    ASSERT_TRUE(mount.MakeReadOnly());
    const TreeMap before = Guarded();

    CArchiveApplier applier(m_game.strRoot, kMaskWdb | kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_EQ(Guarded(), before) << applier.LastError();
}

TEST_F(ApplyTest, CacheFolderTakenByAFileFailsTheWholeRestore) {
    // The same failure without mount rights: a file stands where the cache folder goes.
    SaveArchive("WTF", "__WTF.zip");
    SaveArchive("Cache/WDB/koKR", "__WDB.zip");
    fs::remove_all(PathFromUtf8(m_game.Path("Cache/WDB")));
    WriteWholeFile(m_game.Path("Cache/WDB"), "a file where the cache folder should be");
    const TreeMap before = Guarded();

    CArchiveApplier applier(m_game.strRoot, kMaskWdb | kMaskWtf);
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_EQ(Guarded(), before) << applier.LastError();
}

}  // namespace
