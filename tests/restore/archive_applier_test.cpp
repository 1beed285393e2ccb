// Applying downloaded archives: the Recent and Original copies, and every fault leaving the
// game folder exactly as it was.
#include "restore/archive_applier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/native_text.h"
#include "restore/apply_journal.h"
#include "restore_fixture.h"
#include "support/file_size_limit.h"
#include "support/recording_view.h"
#include "support/running_client.h"

namespace fs = std::filesystem;
using namespace restore_test;

namespace {

// Thrown by a cut hook: the apply stops there as a crash would stop it.
struct SApplyCut {};

// No name of an apply's own is left in the folder.
::testing::AssertionResult NoApplyLeftovers(const std::string& strFolder) {
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(strFolder))) {
        if (Utf8FromPath(entry.path().filename()).find(".zav-") != std::string::npos)
            return ::testing::AssertionFailure() << Utf8FromPath(entry.path()) << " is left";
    }
    return ::testing::AssertionSuccess();
}

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
    EXPECT_TRUE(NoApplyLeftovers(m_game.strRoot));
    EXPECT_TRUE(NoApplyLeftovers(m_game.Path("Ralum/Recent")));
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
    const std::vector<std::string> vecReplaced = applier.ReplacedFolders();
    ASSERT_EQ(vecReplaced.size(), 1u);
    EXPECT_EQ(PathFromUtf8(vecReplaced[0]).parent_path(),
              PathFromUtf8(m_game.Path("Ralum/Recent")));
    EXPECT_EQ(ReadWholeFile(vecReplaced[0] + "/previous.txt"), "previous recent");

    // The program ended before removing it: the next start does, silently, by the journal.
    CRecordingView view;
    EXPECT_EQ(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Nothing);
    EXPECT_TRUE(view.Boxes().empty());
    EXPECT_FALSE(fs::exists(PathFromUtf8(vecReplaced[0])));
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(kRalumJournal))));
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), wtf);
}

TEST_F(ApplyTest, ReplacedFolderThatCannotBeRemovedIsNamedOnceAndBlocksNoLaterRestore) {
    // An immutable file cannot be deleted, even by root.
    const std::string strStuck = m_game.Path("Ralum/Recent/WTF/stuck.txt");
    WriteWholeFile(strStuck, "previous recent");
    if (std::system(("chattr +i '" + strStuck + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available on " << m_temp.Path();
    SaveArchive("WTF", "__WTF.zip");
    CArchiveApplier first(m_game.strRoot, kMaskWtf);
    const int nFirst = first.ApplyAll();
    const std::vector<std::string> vecLeft = first.LeftFolders();
    CArchiveApplier second(m_game.strRoot, kMaskWtf);
    const int nSecond = second.ApplyAll();
    std::system(
        ("chattr -i '" + (vecLeft.empty() ? strStuck : vecLeft[0] + "/stuck.txt") + "'").c_str());

    EXPECT_EQ(nFirst, 0) << first.LastError();
    ASSERT_EQ(vecLeft.size(), 1u);
    EXPECT_EQ(ReadWholeFile(vecLeft[0] + "/stuck.txt"), "previous recent");
    EXPECT_NE(KeptAndLeftNote(first).find(vecLeft[0]), std::string::npos);
    // The next restore goes on, and does not name it again.
    EXPECT_EQ(nSecond, 0) << second.LastError();
    EXPECT_TRUE(second.LeftFolders().empty());
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
}

TEST_F(ApplyTest, OriginalCopyOfALinkedFolderHoldsWhatTheLinkPointsTo) {
#ifdef _WIN32
    GTEST_SKIP() << "folder links are not made here";
#endif
    CSandbox elsewhere;
    fs::rename(PathFromUtf8(m_game.Path("WTF")), PathFromUtf8(elsewhere.Path("WTF")));
    fs::create_directory_symlink(PathFromUtf8(elsewhere.Path("WTF")),
                                 PathFromUtf8(m_game.Path("WTF")));
    const TreeMap wtf = SnapshotTree(elsewhere.Path("WTF"));
    SaveArchive("WTF", "__WTF.zip");
    ASSERT_EQ(CArchiveApplier(m_game.strRoot, kMaskWtf).ApplyAll(), 0);
    EXPECT_FALSE(fs::is_symlink(PathFromUtf8(m_game.Path("Ralum/Original/WTF"))));
    EXPECT_EQ(Tree("Ralum/Original/WTF"), wtf);
    EXPECT_EQ(SnapshotTree(elsewhere.Path("WTF")), wtf);  // the folder it pointed to stays
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
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

// An apply cut off by a crash at every point where the disk can be left in another state,
// then perhaps the game started (it makes a new WTF when there is none), then the program
// started again: the member loses nothing, neither the old folders, nor the restored archive,
// nor what the game made meanwhile.
struct SCutRun {
    const char* szName;
    bool bGameStarts;                    // the game runs between the crash and the next start
    void (*prepare)(const SGame& game);  // a fault of the game folder, or nullptr
    friend void PrintTo(const SCutRun& run, std::ostream* pOut) { *pOut << run.szName; }
};

class CutApplyTest : public ApplyTest, public ::testing::WithParamInterface<SCutRun> {};

TEST_P(CutApplyTest, LosesNothingWhereverTheCrashComes) {
    const SCutRun& run = GetParam();
    {
        CSandbox saved;
        SGame other{saved.Path() + "/"};
        WriteWholeFile(other.Path("Fonts/new.ttf"), "restored font");
        WriteWholeFile(other.Path("WTF/Config.wtf"), "SET restored 1\n");
        WriteWholeFile(other.Path("WTF/Account/GAMER/macros.txt"), "restored macros");
        PackFolder(other.strRoot, "Fonts", m_temp.Path() + "/fonts.zip");
        PackFolder(other.strRoot, "WTF", m_temp.Path() + "/wtf.zip");
        m_saved["Fonts"] = SnapshotTree(other.Path("Fonts"));
        m_saved["WTF"] = SnapshotTree(other.Path("WTF"));
    }
    bool bCompleted = false;
    for (int nCut = 0; !bCompleted && nCut < 200; ++nCut) {
        SCOPED_TRACE("cut at point " + std::to_string(nCut));
        CSandbox box;
        SGame game{box.Path() + "/"};
        FillGameFolder(game);
        WriteWholeFile(game.Path("Ralum/Recent/WTF/previous.txt"), "previous recent");
        for (const auto& [szFrom, szTo] : {std::pair{"/fonts.zip", "Ralum/Temp/__Fonts.zip"},
                                           std::pair{"/wtf.zip", "Ralum/Temp/__WTF.zip"}})
            fs::copy_file(PathFromUtf8(m_temp.Path() + szFrom), PathFromUtf8(game.Path(szTo)));
        if (run.prepare)
            run.prepare(game);
        const TreeMap oldFonts = SnapshotTree(game.Path("Fonts"));
        const TreeMap oldWtf = SnapshotTree(game.Path("WTF"));
        const TreeMap oldRecent = SnapshotTree(game.Path("Ralum/Recent"));
        // Original copies taken on the way stay: they are true copies of the folders found.
        const std::vector<std::string> vecUnguarded{"Ralum/Temp", "Ralum/Original",
                                                    "Ralum/zav.lock"};
        const TreeMap before = SnapshotTree(game.strRoot, vecUnguarded);

        int nResult = -2;
        {
            // Gone before the next start, as a crashed program is, with every file it held.
            CArchiveApplier applier(game.strRoot, kMaskFonts | kMaskWtf);
            applier.SetCutHook([nCut](int nPoint) {
                if (nPoint == nCut)
                    throw SApplyCut{};
            });
            try {
                nResult = applier.ApplyAll();
                bCompleted = true;
            } catch (const SApplyCut&) {
            }
        }
        const bool bFreshWtf = run.bGameStarts && !fs::exists(PathFromUtf8(game.Path("WTF")));
        if (bFreshWtf)
            WriteWholeFile(game.Path("WTF/Config.wtf"), "SET fresh 1\n");

        CRecordingView view;
        const ERecovery eRecovered = RecoverInterruptedApply(view, game.strRoot);
        ASSERT_NE(eRecovered, ERecovery::Failed) << view.Texts().size();
        EXPECT_FALSE(fs::exists(PathFromUtf8(game.Path(kRalumJournal))));

        const bool bApplied = SnapshotTree(game.Path("WTF")) == m_saved["WTF"];
        if (bCompleted && nResult < 0) {
            EXPECT_EQ(SnapshotTree(game.strRoot, vecUnguarded), before);
        } else if (bApplied) {
            EXPECT_EQ(SnapshotTree(game.Path("Fonts")), m_saved["Fonts"]);
            EXPECT_EQ(SnapshotTree(game.Path("Ralum/Recent/Fonts")), oldFonts);
            EXPECT_EQ(SnapshotTree(game.Path("Ralum/Recent/WTF")), oldWtf);
        } else {
            // Put back, or discarded before anything was swapped.
            EXPECT_EQ(SnapshotTree(game.Path("Fonts")), oldFonts);
            EXPECT_EQ(SnapshotTree(game.Path("WTF")), oldWtf);
            EXPECT_EQ(SnapshotTree(game.Path("Ralum/Recent")), oldRecent);
        }
        if (bFreshWtf) {
            // The game's new folder is kept and named, never deleted.
            bool bFound = false;
            for (const auto& entry :
                 fs::recursive_directory_iterator(PathFromUtf8(game.Path(kRalumKept))))
                bFound = bFound || (entry.path().filename() == "Config.wtf" &&
                                    ReadWholeFile(Utf8FromPath(entry.path())) == "SET fresh 1\n");
            EXPECT_TRUE(bFound);
            ASSERT_FALSE(view.Messages().empty());
            EXPECT_NE(view.Messages().back().find(kMsgFoldersKept), std::string::npos);
        }
        // Nothing of the apply is left, and the next restore runs as if nothing had happened.
        for (const char* szFolder : {"", "Ralum/Recent", "Cache/WDB"}) {
            if (fs::is_directory(PathFromUtf8(game.Path(szFolder)))) {
                EXPECT_TRUE(NoApplyLeftovers(game.Path(szFolder)));
            }
        }
        if (run.prepare == nullptr) {
            CArchiveApplier again(game.strRoot, kMaskWtf);
            EXPECT_EQ(again.ApplyAll(), 0) << again.LastError();
            EXPECT_EQ(SnapshotTree(game.Path("WTF")), m_saved["WTF"]);
        }
    }
    EXPECT_TRUE(bCompleted);
}

// Ralum/Recent is a file: the old WTF cannot be moved there after the new Fonts is in place,
// so the apply puts everything back, and may be cut off doing so.
void RecentIsAFile(const SGame& game) {
    fs::remove_all(PathFromUtf8(game.Path("Ralum/Recent")));
    WriteWholeFile(game.Path("Ralum/Recent"), "a file where the Recent folder should be");
    fs::remove_all(PathFromUtf8(game.Path("Fonts")));
}

INSTANTIATE_TEST_SUITE_P(Crashes, CutApplyTest,
                         ::testing::Values(SCutRun{"ProgramStartedAgain", false, nullptr},
                                           SCutRun{"GameStartedBeforeTheProgram", true, nullptr},
                                           SCutRun{"WhilePuttingBack", true, RecentIsAFile}),
                         [](const auto& row) { return std::string(row.param.szName); });

TEST_F(ApplyTest, StartWaitsWhileTheGameRunsAndFinishesOnceItIsClosed) {
    SaveArchive("WTF", "__WTF.zip");
    const TreeMap wtf = Tree("WTF");
    {
        CArchiveApplier applier(m_game.strRoot, kMaskWtf);
        int nCuts = 0;
        applier.SetCutHook([&nCuts](int) {
            if (++nCuts == 12)
                throw SApplyCut{};
        });
        EXPECT_THROW(applier.ApplyAll(), SApplyCut);
    }
    ASSERT_TRUE(fs::exists(PathFromUtf8(m_game.Path(kRalumJournal))));
    {
        CSandbox bin;
        CRunningClient client(bin.Path(), "Wow.exe", m_game.strRoot);
        ASSERT_GT(client.Pid(), 0);
        const TreeMap cut = SnapshotTree(m_game.strRoot, {"Ralum/zav.lock"});
        CRecordingView view;
        EXPECT_EQ(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Deferred);
        EXPECT_EQ(view.Messages(), std::vector<std::string>{kMsgRecoveryWaitsForGame});
        EXPECT_EQ(SnapshotTree(m_game.strRoot, {"Ralum/zav.lock"}), cut);
    }
    CRecordingView view;
    EXPECT_NE(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Failed);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(kRalumJournal))));
    EXPECT_TRUE(Tree("WTF") == wtf || Tree("WTF") == m_saved["WTF"]);
}

TEST_F(ApplyTest, DamagedJournalIsNeverGuessedAtAndStaysForTheNextStart) {
    WriteWholeFile(m_game.Path(kRalumJournal), "00000000 apply\t7\tnot-ours\n");
    const TreeMap before = SnapshotTree(m_game.strRoot);
    CRecordingView view;
    EXPECT_EQ(RecoverInterruptedApply(view, m_game.strRoot), ERecovery::Failed);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{kMsgApplyNotRecovered});
    EXPECT_EQ(SnapshotTree(m_game.strRoot, {"Ralum/zav.lock"}), before);
    SaveArchive("WTF", "__WTF.zip");
    EXPECT_EQ(CArchiveApplier(m_game.strRoot, kMaskWtf).ApplyAll(), -1);
}

TEST(ApplyJournal, TornAndDamagedLinesAreLeftOut) {
    const JournalRecord record{"step", "1", "move", "WTF", "Ralum/Recent/WTF", "a\tb%c\nd", ""};
    const std::string strLine = EncodeJournalLine(record);
    EXPECT_EQ(DecodeJournalLine(strLine), record);
    EXPECT_EQ(strLine.find('\n'), std::string::npos);
    EXPECT_FALSE(DecodeJournalLine(strLine.substr(0, strLine.size() - 3)));
    EXPECT_FALSE(DecodeJournalLine(std::string(strLine.size(), '\0')));
    std::string strFlipped = strLine;
    strFlipped[12] ^= 1;
    EXPECT_FALSE(DecodeJournalLine(strFlipped));

    CSandbox box;
    {
        CApplyJournal journal(box.Path() + "/j");
        ASSERT_TRUE(journal.Create({"apply", "1", "x"}));
        ASSERT_TRUE(journal.Append({"begin", "0"}));
    }
    {
        std::string strText = ReadWholeFile(box.Path() + "/j");
        WriteWholeFile(box.Path() + "/j", strText + strLine.substr(0, 20));  // a torn append
    }
    CApplyJournal resumed(box.Path() + "/j");
    ASSERT_TRUE(resumed.Append({"done", "0"}));
    const auto records = CApplyJournal::Read(box.Path() + "/j");
    ASSERT_TRUE(records);
    EXPECT_EQ(*records,
              (std::vector<JournalRecord>{{"apply", "1", "x"}, {"begin", "0"}, {"done", "0"}}));
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
// Entries whose data cover the next ones' headers: a small file that expands without end.
void Overlapping(const std::string& strArchive) {
    fs::copy_file(
        PathFromUtf8(std::string(ZAV_SOURCE_DIR) + "/tests/zip/data/overlapping-data.zip"),
        PathFromUtf8(strArchive), fs::copy_options::overwrite_existing);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadArchiveTest,
    ::testing::Values(SBadArchive{"Corrupt", Corrupt}, SBadArchive{"Truncated", Truncate},
                      SBadArchive{"ErrorPage", ErrorPage}, SBadArchive{"Encrypted", Encrypted},
                      SBadArchive{"ClimbingEntry", ClimbingEntry},
                      SBadArchive{"OtherCategory", OtherCategory}, SBadArchive{"Missing", Missing},
                      SBadArchive{"Overlapping", Overlapping}),
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

    // Refused before anything is written, by the sizes the archive declares.
    CArchiveApplier applier(game.strRoot, kMaskWtf);
    applier.SetCutHook([](int) { FAIL() << "the apply began"; });
    EXPECT_EQ(applier.ApplyAll(), -1);
    EXPECT_TRUE(applier.LackedRoom()) << applier.LastError();
    EXPECT_NE(applier.LastError().find("1228800 bytes"), std::string::npos) << applier.LastError();
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
    EXPECT_TRUE(NoApplyLeftovers(m_game.strRoot));
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
    EXPECT_TRUE(NoApplyLeftovers(m_game.strRoot));
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
