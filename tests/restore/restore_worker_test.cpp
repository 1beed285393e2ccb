// The restore command end to end: the worker downloading from a running service (or from a
// scripted server for faults the service never shows), applying, and telling the member.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/app_messages.h"
#include "app/auth_reply.h"
#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "backup/backup_command.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/folder_lock.h"
#include "platform/native_text.h"
#include "restore/download_thread.h"
#include "restore/maintenance_commands.h"
#include "restore/restore_command.h"
#include "restore_fixture.h"
#include "support/env_guard.h"
#include "support/file_size_limit.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/running_client.h"
#include "support/scripted_server.h"
#include "support/wine.h"

namespace fs = std::filesystem;
using namespace restore_test;

namespace {

constexpr const char* kAskRestore = "회원님의 설정파일들을 다운로드하고 적용하시겠습니까?";
constexpr const char* kId = "gamer01";

// A game folder, the settings, the recording window and the logic under test.
class RestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_game.strRoot = m_temp.Path() + "/game/";
        FillGameFolder(m_game);
        ASSERT_TRUE(m_settings.SetGameFolder(m_game.strRoot));
        m_settings.SetId(kId);
        m_view.SetChecked(IDC_MODE_MANUAL, true);
        m_view.SetText(IDC_MANUAL_PATH, m_game.strRoot);
    }

    // An archive of a saved state of strFolder (different from the game folder's), bytes.
    std::string SavedArchive(const std::string& strFolder, uint32_t nSeed = 7) {
        CSandbox saved;
        SGame other{saved.Path() + "/"};
        WriteWholeFile(other.Path(strFolder + "/saved.txt"), "saved " + strFolder);
        WriteWholeFile(other.Path(strFolder + "/하늘바다/달빛궁수.lua"), RandomBytes(30000, nSeed));
        m_saved[strFolder] = SnapshotTree(other.Path(strFolder));
        const std::string strArchive = saved.Path() + "/archive.zip";
        PackFolder(other.strRoot, strFolder, strArchive);
        return ReadWholeFile(strArchive);
    }

    void Check(int nId) { m_view.SetChecked(nId, true); }
    // The account status says the server holds nBytes of the category's archive.
    void ServerHolds(const std::string& strWord, int64_t nBytes) {
        m_logic.ApplyAccountStatus(
            ParseAuthReply("+OK<br>" + strWord + "=" + std::to_string(nBytes)));
    }
    void RunRestore() {
        m_restore.OnRestore();
        m_logic.WaitForWorker();
    }
    TreeMap Tree(const std::string& strRelative) const {
        return SnapshotTree(m_game.Path(strRelative));
    }
    // The lock file is the program's own; everything else a failed restore must leave alone.
    TreeMap Guarded() const {
        return SnapshotTree(m_game.strRoot, {"Ralum/Temp", "Ralum/zav.lock"});
    }

    CSandbox m_temp;
    SGame m_game;
    CSettings m_settings;
    CRecordingView m_view;
    CMainLogic m_logic{m_view, m_settings};
    CRestoreCommand m_restore{m_logic};
    CBackupCommand m_backup{m_logic};
    std::map<std::string, TreeMap> m_saved;
};

// The same against a running zav-service holding the member's archives.
class LiveRestoreTest : public RestoreTest {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember(kId, "secret", "닉네임"));
        m_settings.m_endpoints = m_service.Endpoints();
        // The service serves a member's archives only to the address the member logged in from.
        ASSERT_TRUE(LogInFromHere(m_settings.m_endpoints, kId, "secret"));
    }
    void Store(const std::string& strArchiveName, const std::string& strBytes) {
        WriteWholeFile(m_service.DataDir() + "/UserData/" + kId + "/" + strArchiveName, strBytes);
    }

    CLiveService m_service;
};

TEST_F(LiveRestoreTest, FirstRestoreOfWtfTakesTheOriginalsAndRestoresWtfByteForByte) {
    Store("__WTF.zip", SavedArchive("WTF"));
    const TreeMap wtf = Tree("WTF"), fonts = Tree("Fonts");
    m_logic.QueryAccountStatus();
    Check(IDC_RESTORE_ADDON);  // Interface is not on the server: skipped without a word

    RunRestore();

    // What changed, counted by file names: the saved WTF has two files, the old one three.
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{
                  kAskRestore, std::string(kMsgRestoreDone) +
                                   "\n\nWTF 폴더: 파일 2개 추가, 0개 교체, 3개 삭제\n\n교체되기 "
                                   "전의 폴더는 다음 위치에 보관되어 있습니다.\n" +
                                   m_game.strRoot + NativeSeparators("Ralum/Recent")}));
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), wtf);
    EXPECT_EQ(Tree("Ralum/Original/WTF"), wtf);
    EXPECT_EQ(Tree("Ralum/Original/Fonts"), fonts);
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(m_game.Path("Ralum/Original/Interface"))));
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(m_game.Path("Ralum/Original/WDB"))));
    EXPECT_EQ(m_view.LastProgressWidth(), 260);
    EXPECT_FALSE(g_bTransferBusy);
    EXPECT_FALSE(m_view.WaitCursorOn());

    // A second restore keeps the Originals and renews Recent; the new Recent copy stands when
    // the member is told, and the one it replaced is gone once the worker has ended.
    WriteWholeFile(m_game.Path("WTF/changed.txt"), "changed");
    const TreeMap changed = Tree("WTF");
    TreeMap recentWhenTold;
    m_view.SetOnBox([&](const CRecordingView::SBox& box) {
        if (box.strText.starts_with(kMsgRestoreDone))
            recentWhenTold = Tree("Ralum/Recent/WTF");
    });
    RunRestore();
    EXPECT_EQ(recentWhenTold, changed);
    EXPECT_EQ(Tree("Ralum/Original/WTF"), wtf);
    EXPECT_EQ(Tree("Ralum/Recent/WTF"), changed);
    EXPECT_EQ(Tree("WTF"), m_saved["WTF"]);
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(m_game.Path("Ralum/Recent"))))
        EXPECT_EQ(Utf8FromPath(entry.path().filename()).find(".zav-"), std::string::npos);
}

TEST_F(LiveRestoreTest, BackupThenRestoreBringsEveryFileBack) {
    m_settings.m_nMaxUploadLimit = 50 * 1000 * 1000;
    for (int nId : {IDC_BACKUP_ADDON, IDC_BACKUP_CACHE, IDC_BACKUP_FONT})
        Check(nId);
    const TreeMap saved = SnapshotTree(m_game.strRoot, {"Ralum"});
    m_backup.OnBackup();
    m_logic.WaitForWorker();
    ASSERT_EQ(m_view.LastText(), "업로드가 완료되었습니다.");

    // The member loses and changes things; the refresh after the upload checked the boxes.
    fs::remove_all(PathFromUtf8(m_game.Path("WTF")));
    fs::remove_all(PathFromUtf8(m_game.Path("Cache/WDB/koKR")));
    WriteWholeFile(m_game.Path("Interface/AddOns/Bag/Bag.lua"), "broken");
    WriteWholeFile(m_game.Path("Fonts/extra.ttf"), "extra");
    m_view.ClearLog();
    RunRestore();

    ASSERT_EQ(m_view.Texts().size(), 2u);
    EXPECT_THAT(m_view.Texts()[1], ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(SnapshotTree(m_game.strRoot, {"Ralum"}), saved);
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Recent/Fonts/extra.ttf")), "extra");
}

// A Korean member id goes out as its CP949 bytes, raw, in the login and account forms, the
// upload's query and the download path; the service finds the member's folder with each.
TEST_F(RestoreTest, KoreanMemberIdBacksUpAndRestoresThroughTheService) {
    if (const auto reason = WineCannotSendCp949Paths())
        GTEST_SKIP() << *reason;
    const std::string strId = "달빛궁수";
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember(strId, "secret", "닉네임"));
    m_settings.m_endpoints = service.Endpoints();
    m_settings.SetId(strId);
    m_settings.m_nMaxUploadLimit = 50 * 1000 * 1000;
    ASSERT_TRUE(LogInFromHere(m_settings.m_endpoints, strId, "secret"));
    Check(IDC_BACKUP_ADDON);
    const TreeMap wtf = Tree("WTF");
    m_backup.OnBackup();
    m_logic.WaitForWorker();
    ASSERT_EQ(m_view.LastText(), "업로드가 완료되었습니다.");
    EXPECT_TRUE(
        fs::is_regular_file(PathFromUtf8(service.DataDir() + "/UserData/" + strId + "/__WTF.zip")));

    fs::remove_all(PathFromUtf8(m_game.Path("WTF")));
    m_view.ClearLog();
    RunRestore();
    ASSERT_EQ(m_view.Texts().size(), 2u);
    EXPECT_THAT(m_view.Texts()[1], ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(Tree("WTF"), wtf);
}

TEST_F(LiveRestoreTest, CacheRestoreMovesKoKRToRecentWdb) {
    Store("__WDB.zip", SavedArchive("Cache/WDB/koKR"));
    const TreeMap kokr = Tree("Cache/WDB/koKR");
    m_logic.QueryAccountStatus();
    Check(IDC_RESTORE_CACHE);
    RunRestore();
    EXPECT_THAT(m_view.LastText(), ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(Tree("Cache/WDB/koKR"), m_saved["Cache/WDB/koKR"]);
    EXPECT_EQ(Tree("Ralum/Recent/WDB"), kokr);
}

TEST_F(LiveRestoreTest, NothingOnTheServerSaysSoAndNothingMore) {
    Check(IDC_RESTORE_FONT);
    Check(IDC_RESTORE_CACHE);
    const TreeMap before = Guarded();
    RunRestore();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRestore, kMsgNothingToDownload}));
    EXPECT_EQ(Guarded(), before);
    EXPECT_FALSE(g_bTransferBusy);
}

TEST_F(LiveRestoreTest, MissingArchiveIsAnErrorStatusAndNothingIsApplied) {
    Store("__Fonts.zip", SavedArchive("Fonts"));
    m_logic.QueryAccountStatus();
    ServerHolds("WTF", 5000);  // the account said so, but the archive is gone
    Check(IDC_RESTORE_FONT);
    Check(IDC_RESTORE_ADDON);
    const TreeMap before = Guarded();
    RunRestore();
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-11]");
    EXPECT_EQ(Guarded(), before);
    // The archive fetched before the failure stays; the error page is not kept as an archive.
    EXPECT_TRUE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Temp/__Fonts.zip"))));
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Temp/__WTF.zip"))));
}

TEST_F(LiveRestoreTest, ServiceDownIsCodeMinusFiveAndNothingIsApplied) {
    Store("__WTF.zip", SavedArchive("WTF"));
    m_logic.QueryAccountStatus();
    Check(IDC_RESTORE_ADDON);
    ASSERT_EQ(m_service.Stop(), 0);
    const TreeMap before = Guarded();
    RunRestore();
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-5]");
    EXPECT_EQ(Guarded(), before);
    EXPECT_FALSE(g_bTransferBusy);
}

TEST_F(LiveRestoreTest, CorruptStoredArchiveIsNotApplied) {
    std::string strBytes = SavedArchive("WTF");
    for (size_t i = 100; i < 600; ++i)
        strBytes[i] = static_cast<char>(strBytes[i] ^ 0x33);
    Store("__WTF.zip", strBytes);
    m_logic.QueryAccountStatus();
    Check(IDC_RESTORE_ADDON);
    const TreeMap before = Guarded();
    RunRestore();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRestore, kMsgApplyFailed}));
    EXPECT_NE(m_view.LastProgressWidth(), 260);
    EXPECT_EQ(Guarded(), before);
}

TEST_F(LiveRestoreTest, BusyFlagHoldsUntilTheFinalMessageIsClosed) {
    Store("__Fonts.zip", SavedArchive("Fonts"));
    m_logic.QueryAccountStatus();
    Check(IDC_RESTORE_FONT);
    bool bBusyDuringBox = false;
    m_view.SetOnBox([&](const CRecordingView::SBox& box) {
        if (box.strText.rfind(kMsgRestoreDone, 0) != 0)
            return;
        bBusyDuringBox = g_bTransferBusy;
        CMaintenanceCommands maintenance(m_logic);
        maintenance.OnInitialize();
        maintenance.OnRemoveAll();
        m_restore.OnRestore();
    });
    RunRestore();
    EXPECT_TRUE(bBusyDuringBox);
    ASSERT_EQ(m_view.Texts().size(), 5u);
    EXPECT_EQ(m_view.Texts()[2], kMsgBusy);
    EXPECT_EQ(m_view.Texts()[3], kMsgBusy);
    EXPECT_EQ(m_view.Texts()[4], kMsgBusy);
    EXPECT_FALSE(g_bTransferBusy);
    EXPECT_TRUE(
        fs::exists(PathFromUtf8(m_game.Path("WTF"))));  // the refused initialize deleted nothing
}

// Archives served by a scripted server: order, pieces, progress and broken connections.
class ScriptedRestoreTest : public RestoreTest {
protected:
    std::string Serve(const CScriptedServer::SRequest& request) {
        const std::string strPath = request.Path();
        if (strPath == "/Kelpo/html/auth.php")
            return CScriptedServer::Reply(200, m_strDuReply);
        const std::string strPrefix = std::string("/Kelpo/UserData/") + kId + "/";
        const auto it = m_mapReplies.find(strPath.substr(strPrefix.size()));
        if (strPath.rfind(strPrefix, 0) != 0 || it == m_mapReplies.end())
            return CScriptedServer::Reply(404, "<html>Not Found</html>");
        return it->second;
    }
    void Offer(const std::string& strName, const std::string& strBytes) {
        m_mapReplies[strName] = CScriptedServer::Reply(200, strBytes);
    }

    std::map<std::string, std::string> m_mapReplies;
    std::string m_strDuReply = "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|";
    CScriptedServer m_server{
        [this](const CScriptedServer::SRequest& request) { return Serve(request); }};

    void SetUp() override {
        RestoreTest::SetUp();
        m_settings.m_endpoints = EndpointsAt(m_server.BaseUrl());
    }
};

TEST_F(ScriptedRestoreTest, FetchesInCategoryOrderAsHttp10WithTheAgentName) {
    const std::string strFonts = SavedArchive("Fonts"), strIface = SavedArchive("Interface"),
                      strWdb = SavedArchive("Cache/WDB/koKR"), strWtf = SavedArchive("WTF");
    Offer("__Fonts.zip", strFonts);
    Offer("__Interface.zip", strIface);
    Offer("__WDB.zip", strWdb);
    Offer("__WTF.zip", strWtf);
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    ServerHolds("Interface", static_cast<int32_t>(strIface.size()));
    ServerHolds("WDB", static_cast<int32_t>(strWdb.size()));
    ServerHolds("WTF", static_cast<int32_t>(strWtf.size()));
    Check(IDC_RESTORE_FONT);
    Check(IDC_RESTORE_CACHE);
    Check(IDC_RESTORE_ADDON);
    RunRestore();

    EXPECT_THAT(m_view.LastText(), ::testing::StartsWith(kMsgRestoreDone));
    const std::vector<CScriptedServer::SRequest> requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 5u);  // four archives, then the account refresh
    const char* names[] = {"__Fonts.zip", "__Interface.zip", "__WDB.zip", "__WTF.zip"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].RequestLine(),
                  std::string("GET /Kelpo/UserData/gamer01/") + names[i] + " HTTP/1.0");
        EXPECT_NE(requests[i].strHead.find("User-Agent: Tavrin\r\n"), std::string::npos);
    }
    EXPECT_EQ(requests[4].Path(), "/Kelpo/html/auth.php");
    for (const char* szFolder : {"Fonts", "Interface", "Cache/WDB/koKR", "WTF"})
        EXPECT_EQ(Tree(szFolder), m_saved[szFolder]) << szFolder;
    // The account refresh found nothing on the server: the restore boxes are cleared.
    EXPECT_FALSE(m_view.Checked(IDC_RESTORE_ADDON));
}

TEST_F(ScriptedRestoreTest, ProgressStandsAt45PercentHalfwayAndFullAtTheEnd) {
    const std::string strIface = SavedArchive("Interface", 3), strWtf = SavedArchive("WTF", 3);
    // Nearly equal halves: the first archive ends at 50 % of the total (shown as 45 %).
    ASSERT_LT(strIface.size() - strWtf.size(), strIface.size() / 100);
    Offer("__Interface.zip", strIface);
    Offer("__WTF.zip", strWtf);
    ServerHolds("Interface", static_cast<int32_t>(strIface.size()));
    ServerHolds("WTF", static_cast<int32_t>(strWtf.size()));
    Check(IDC_RESTORE_ADDON);
    RunRestore();
    // The Addon box alone brings Interface, then WTF.
    EXPECT_EQ(m_server.Paths(), (std::vector<std::string>{"/Kelpo/UserData/gamer01/__Interface.zip",
                                                          "/Kelpo/UserData/gamer01/__WTF.zip",
                                                          "/Kelpo/html/auth.php"}));
    const std::vector<int> widths = m_view.ProgressWidths();
    EXPECT_NE(std::find(widths.begin(), widths.end(), 45 * 260 / 100), widths.end());
    EXPECT_EQ(widths.back(), 260);
    EXPECT_EQ(*std::max_element(widths.begin(), widths.end() - 1), 95 * 260 / 100);
}

TEST_F(ScriptedRestoreTest, ConnectionCutMidArchiveIsCodeMinusSevenAfterTheFirstArchive) {
    const std::string strFonts = SavedArchive("Fonts"), strIface = SavedArchive("Interface");
    Offer("__Fonts.zip", strFonts);
    m_mapReplies["__Interface.zip"] = CScriptedServer::CutReply(strIface, strIface.size() / 2);
    Offer("__WTF.zip", SavedArchive("WTF"));
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    ServerHolds("Interface", static_cast<int32_t>(strIface.size()));
    ServerHolds("WTF", 1000);
    Check(IDC_RESTORE_FONT);
    Check(IDC_RESTORE_ADDON);
    const TreeMap before = Guarded();
    RunRestore();
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-7]");
    EXPECT_EQ(Guarded(), before);
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Temp/__Fonts.zip")), strFonts);
    EXPECT_EQ(m_server.Paths(), (std::vector<std::string>{"/Kelpo/UserData/gamer01/__Fonts.zip",
                                                          "/Kelpo/UserData/gamer01/__Interface.zip",
                                                          "/Kelpo/html/auth.php"}));
}

TEST_F(ScriptedRestoreTest, FailedDownloadKeepsTheArchiveAnEarlierOneLeft) {
    // An unreachable server, then an error page: the earlier download stays as it was.
    const std::string strEarlier = SavedArchive("Fonts");
    WriteWholeFile(m_game.Path("Ralum/Temp/__Fonts.zip"), strEarlier);
    ServerHolds("Fonts", 5000);
    Check(IDC_RESTORE_FONT);
    {
        CClosedPort closed;
        m_settings.m_endpoints = EndpointsAt(closed.BaseUrl());
        RunRestore();
        m_settings.m_endpoints = EndpointsAt(m_server.BaseUrl());
    }
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-5]");
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Temp/__Fonts.zip")), strEarlier);

    m_view.ClearLog();
    ServerHolds("Fonts", 5000);
    Check(IDC_RESTORE_FONT);
    RunRestore();  // the scripted server has no such archive: 404
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-11]");
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Temp/__Fonts.zip")), strEarlier);
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Ralum/Temp/__Fonts.zip.part"))));
}

TEST_F(ScriptedRestoreTest, RestoreWorksOnTheFolderTheWindowShows) {
    // The folder was typed into the manual field; the radio was not clicked again.
    CSandbox shownTemp;
    SGame shown{shownTemp.Path() + "/World of Warcraft"};
    FillGameFolder(SGame{shown.strRoot + "/"});
    const std::string strFonts = SavedArchive("Fonts");
    Offer("__Fonts.zip", strFonts);
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    m_view.SetText(IDC_MANUAL_PATH, shown.strRoot);  // no final separator either
    Check(IDC_RESTORE_FONT);
    const TreeMap before = Guarded();
    RunRestore();
    EXPECT_THAT(m_view.LastText(), ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(SnapshotTree(shown.strRoot + "/Fonts"), m_saved["Fonts"]);
    EXPECT_EQ(Guarded(), before);  // the folder chosen earlier is untouched
    EXPECT_EQ(m_settings.GetGameFolder(), shown.strRoot + NativeSeparators("/"));
    EXPECT_FALSE(fs::exists(PathFromUtf8(shown.strRoot + "Ralum")));
}

TEST_F(ScriptedRestoreTest, RestoreAndInitializeWaitUntilTheGameIsClosed) {
    const std::string strFonts = SavedArchive("Fonts");
    Offer("__Fonts.zip", strFonts);
    {
        CRunningClient client(m_temp.Path("bin"), "Wow.exe", m_game.strRoot);
        ASSERT_GT(client.Pid(), 0);
        const TreeMap before = SnapshotTree(m_game.strRoot);
        ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
        Check(IDC_RESTORE_FONT);
        RunRestore();
        CMaintenanceCommands(m_logic).OnInitialize();
        EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kMsgGameRunning, kMsgGameRunning}));
        EXPECT_TRUE(m_server.Requests().empty());  // nothing downloaded
        EXPECT_EQ(SnapshotTree(m_game.strRoot), before);
    }
    // The game has ended: the restore goes ahead.
    m_view.ClearLog();
    RunRestore();
    EXPECT_THAT(m_view.LastText(), ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(Tree("Fonts"), m_saved["Fonts"]);
}

TEST_F(ScriptedRestoreTest, SecondWindowOnTheFolderChangesNothingWhileTheFirstWorks) {
    // The first window is extracting: it holds the folder's lock, its journal and its staging
    // folder stand.
    CFolderLock first;
    ASSERT_EQ(first.TryLock(m_game.Path("Ralum/zav.lock")), CFolderLock::EResult::Taken);
    WriteWholeFile(m_game.Path(kRalumJournal), "");
    WriteWholeFile(m_game.Path(".zav-stage-WTF-0badf00d/WTF/half.lua"), "being extracted");
    const std::string strArchive = SavedArchive("Fonts");
    Offer("__Fonts.zip", strArchive);
    ServerHolds("Fonts", static_cast<int32_t>(strArchive.size()));
    const TreeMap before = SnapshotTree(m_game.strRoot);

    // The second window opens, then its member tries a restore and an initialize.
    m_restore.OnWindowOpened();
    Check(IDC_RESTORE_FONT);
    RunRestore();
    CMaintenanceCommands(m_logic).OnInitialize();
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{kMsgFolderInUse, kAskRestore, kMsgFolderInUse,
                                        "현재 시스템의 설정파일들을 초기화 하시겠습니까?",
                                        kMsgFolderInUse}));
    EXPECT_TRUE(m_server.Requests().empty());
    EXPECT_EQ(SnapshotTree(m_game.strRoot), before);

    // Once the first window is done, the second goes ahead.
    first.Unlock();
    fs::remove(PathFromUtf8(m_game.Path(kRalumJournal)));
    fs::remove_all(PathFromUtf8(m_game.Path(".zav-stage-WTF-0badf00d")));
    m_view.ClearLog();
    RunRestore();
    EXPECT_THAT(m_view.LastText(), ::testing::StartsWith(kMsgRestoreDone));
    EXPECT_EQ(Tree("Fonts"), m_saved["Fonts"]);
}

TEST_F(ScriptedRestoreTest, ReadingStopsWhenAPieceEndsExactlyAtTheExpectedSize) {
    // The account says 2 pieces; the server sends more. The download keeps exactly 2 pieces.
    const std::string strBody = RandomBytes(3 * kDownloadPiece, 5);
    Offer("__Fonts.zip", strBody);
    ServerHolds("Fonts", static_cast<int32_t>(2 * kDownloadPiece));
    Check(IDC_RESTORE_FONT);
    RunRestore();
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Temp/__Fonts.zip")),
              strBody.substr(0, 2 * kDownloadPiece));
    EXPECT_EQ(m_view.Texts()[1], kMsgApplyFailed);  // random bytes are no archive
}

TEST_F(ScriptedRestoreTest, LocalFileFaultsHaveTheirOwnCodes) {
    const std::string strFonts = RandomBytes(200 * 1024, 9);
    Offer("__Fonts.zip", strFonts);
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    Check(IDC_RESTORE_FONT);
    const TreeMap before = Guarded();

    // The archive's name is taken by a folder: it cannot be created.
    fs::create_directories(PathFromUtf8(m_game.Path("Ralum/Temp/__Fonts.zip/x")));
    RunRestore();
    ASSERT_GE(m_view.Texts().size(), 2u) << m_view.LastText();
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-8]");
    fs::remove_all(PathFromUtf8(m_game.Path("Ralum/Temp/__Fonts.zip")));

    // The disk takes no more than 64 KiB of a file: writing the archive fails.
    SKIP_WITHOUT_FILE_SIZE_LIMIT();
    m_view.ClearLog();
    // The account refresh cleared the box and the size.
    Check(IDC_RESTORE_FONT);
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    {
        CFileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.IsSet());
        RunRestore();
    }
    ASSERT_GE(m_view.Texts().size(), 2u) << m_view.LastText();
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-10]");
    EXPECT_EQ(Guarded(), before);
}

TEST_F(ScriptedRestoreTest, TempFillingUpWhileTheArchiveArrivesGivesMinusTen) {
    const std::string strFonts = RandomBytes(200 * 1024, 9);
    Offer("__Fonts.zip", strFonts);
    ServerHolds("Fonts", static_cast<int32_t>(strFonts.size()));
    Check(IDC_RESTORE_FONT);
    const TreeMap before = Guarded();

    // Ralum/Temp fills up while the archive arrives.
    CTmpfsMount mount(m_game.Path("Ralum/Temp"), 64 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (" << mount.Error() << ")";
    RunRestore();
    ASSERT_GE(m_view.Texts().size(), 2u) << m_view.LastText();
    EXPECT_EQ(m_view.Texts()[1], "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[-10]");
    EXPECT_EQ(Guarded(), before);
}

}  // namespace
