// The initialize and remove-all commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/native_text.h"
#include "restore/maintenance_commands.h"
#include "restore_fixture.h"
#include "support/env_guard.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/scripted_server.h"

namespace fs = std::filesystem;
using namespace restore_test;

namespace {

constexpr const char* kAskInitialize = "현재 시스템의 설정파일들을 초기화 하시겠습니까?";
constexpr const char* kMsgInitialized = "초기화가 완료되었습니다.";
constexpr const char* kMsgNoGameFolder = "World of Warcraft 설치 경로가 지정되지 않았습니다.";
constexpr const char* kAskRemoveAll =
    "서버에 존재하는 모든 업로드 파일을 삭제합니다.\n\n삭제후 복구되지 않습니다. 정말 "
    "삭제하시겠습니까?";
constexpr const char* kMsgRemoved =
    "서버에 업로드 되어 있는 모든 파일이 정상적으로 삭제되었습니다.";
constexpr const char* kMsgTemporaryFailure =
    "일시적인 시스템 장애입니다.\n\n잠시후에 다시 시도해 보시기 바랍니다.";
constexpr const char* kId = "gamer01";

class MaintenanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bTransferBusy = false;
        m_game.strRoot = m_temp.Path() + "/game/";
        FillGameFolder(m_game);
        WriteWholeFile(m_game.Path("Ralum/Original/WTF/keep.txt"), "original");
        WriteWholeFile(m_game.Path("Ralum/Recent/Fonts/keep.txt"), "recent");
        ASSERT_TRUE(m_settings.SetGameFolder(m_game.strRoot));
        m_settings.SetId(kId);
        m_view.SetChecked(IDC_MODE_MANUAL, true);
        m_view.SetText(IDC_MANUAL_PATH, m_game.strRoot);
    }

    CSandbox m_temp;
    SGame m_game;
    CSettings m_settings;
    CRecordingView m_view;
    CMainLogic m_logic{m_view, m_settings};
    CMaintenanceCommands m_commands{m_logic};
};

TEST_F(MaintenanceTest, InitializeMovesTheThreeFoldersToResetAndNothingElse) {
    const TreeMap cache = SnapshotTree(m_game.Path("Cache")),
                  ralum = SnapshotTree(m_game.Path("Ralum"));
    std::map<std::string, TreeMap> before;
    for (const char* szFolder : {"Fonts", "Interface", "WTF"})
        before[szFolder] = SnapshotTree(m_game.Path(szFolder));
    m_commands.OnInitialize();
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{
                  kAskInitialize, std::string(kMsgInitialized) +
                                      "\n\n초기화 전의 Fonts, Interface, WTF 폴더는 다음 위치에 "
                                      "보관되어 있습니다.\n" +
                                      m_game.strRoot + NativeSeparators("Ralum/Reset")}));
    for (const char* szFolder : {"Fonts", "Interface", "WTF"}) {
        EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(szFolder)))) << szFolder;
        EXPECT_EQ(SnapshotTree(m_game.Path(std::string("Ralum/Reset/") + szFolder)),
                  before[szFolder])
            << szFolder;
    }
    EXPECT_EQ(SnapshotTree(m_game.Path("Cache")), cache);
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum"), {"Reset"}), ralum);
    EXPECT_TRUE(fs::exists(PathFromUtf8(m_game.Path("Wow.exe"))));
    EXPECT_FALSE(m_view.WaitCursorOn());

    // Again, with the folders gone: done, and the copies stay as they are.
    m_view.ClearLog();
    m_commands.OnInitialize();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskInitialize, kMsgInitialized}));
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum/Reset/WTF")), before["WTF"]);

    // A new WTF replaces the earlier copy of WTF only.
    WriteWholeFile(m_game.Path("WTF/Config.wtf"), "new settings");
    m_commands.OnInitialize();
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Reset/WTF/Config.wtf")), "new settings");
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum/Reset/WTF")).size(), 1u);
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum/Reset/Fonts")), before["Fonts"]);
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum/Reset"), {"Fonts", "Interface", "WTF"}).size(), 0u);
}

TEST_F(MaintenanceTest, InitializeAnsweredNoOrWhileBusyDeletesNothing) {
    const TreeMap before = SnapshotTree(m_game.strRoot);
    m_view.QueueConfirmAnswers({false});
    m_commands.OnInitialize();
    g_bTransferBusy = true;
    m_commands.OnInitialize();
    g_bTransferBusy = false;
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{kAskInitialize, "진행중입니다. 잠시만 기다려주십시오."}));
    EXPECT_EQ(SnapshotTree(m_game.strRoot), before);
}

TEST_F(MaintenanceTest, InitializeWithoutAGameFolderDeletesNothing) {
    // The folders that bare names would reach: those of the process's current folder.
    const std::string strCwd = fs::current_path().string();
    ASSERT_EQ(::chdir(m_game.strRoot.c_str()), 0);
    m_view.SetText(IDC_MANUAL_PATH, "");
    m_commands.OnInitialize();
    ASSERT_EQ(::chdir(strCwd.c_str()), 0);
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kMsgNoGameFolder}));
    for (const char* szFolder : {"Fonts", "Interface", "WTF"})
        EXPECT_TRUE(fs::exists(PathFromUtf8(m_game.Path(szFolder)))) << szFolder;
}

TEST_F(MaintenanceTest, InitializeThatCannotMoveAFolderSaysWhichAndNeverThatItIsDone) {
    // An immutable folder cannot be moved, even by root.
    const std::string strLocked = m_game.Path("Fonts");
    const TreeMap fonts = SnapshotTree(strLocked);
    WriteWholeFile(m_game.Path("Ralum/Reset/Fonts/earlier.ttf"), "an earlier copy");
    if (std::system(("chattr +i '" + strLocked + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available on " << m_temp.Path();
    m_commands.OnInitialize();
    std::system(("chattr -i '" + strLocked + "'").c_str());
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{
                  kAskInitialize,
                  "다음 폴더를 초기화하지 못하였습니다.\n\nFonts\n\n게임이나 다른 프로그램이 "
                  "사용 중인지 확인하신 후 다시 시도하시기 바랍니다.\n\n초기화 전의 Interface, "
                  "WTF 폴더는 다음 위치에 보관되어 있습니다.\n" +
                      m_game.strRoot + NativeSeparators("Ralum/Reset")}));
    EXPECT_EQ(SnapshotTree(strLocked), fonts);
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Reset/Fonts/earlier.ttf")), "an earlier copy");
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("Interface"))));
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path("WTF"))));
}

// Remove-all against the running service.
class LiveRemoveAllTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember(kId, "secret", "닉네임"));
        m_settings.m_endpoints = m_service.Endpoints();
        WriteWholeFile(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip", "stored");
    }
    void Login() { ASSERT_TRUE(LogInFromHere(m_settings.m_endpoints, kId, "secret")); }

    CLiveService m_service;
};

TEST_F(LiveRemoveAllTest, RemovesEverythingThenRefreshesAndClearsTheRestoreBoxes) {
    Login();
    m_logic.RefreshUsage();
    ASSERT_TRUE(m_view.Checked(IDC_RESTORE_ADDON));
    m_view.ClearLog();

    m_commands.OnRemoveAll();

    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgRemoved}));
    EXPECT_FALSE(fs::exists(PathFromUtf8(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip")));
    EXPECT_FALSE(m_view.Checked(IDC_RESTORE_ADDON));
    EXPECT_FALSE(m_view.WaitCursorOn());
}

TEST_F(LiveRemoveAllTest, RefusalShowsTheServersOwnText) {
    m_commands.OnRemoveAll();  // not logged in: the service refuses
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "로그인 정보가 없습니다. 프로그램에서 다시 로그인하십시오.");
    EXPECT_TRUE(fs::exists(PathFromUtf8(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip")));
}

// Remove-all replies the service never gives.
struct SRemoveAllCase {
    const char* szName;
    const char* szReply;
    const char* szShown;
};

class ScriptedRemoveAllTest : public MaintenanceTest,
                              public ::testing::WithParamInterface<SRemoveAllCase> {};

TEST_P(ScriptedRemoveAllTest, ShowsTheRightTextAndRefreshes) {
    CScriptedServer server([](const CScriptedServer::SRequest& request) {
        if (request.strBody.rfind("mode=removeall&id=gamer01", 0) == 0)
            return CScriptedServer::Reply(200, GetParam().szReply);
        return CScriptedServer::Reply(200, "+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|");
    });
    m_settings.m_endpoints = EndpointsAt(server.BaseUrl());
    m_commands.OnRemoveAll();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, GetParam().szShown}));
    const std::vector<CScriptedServer::SRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].strBody, "mode=removeall&id=gamer01");
    EXPECT_EQ(requests[1].strBody, "mode=du&id=gamer01");  // the refresh
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ScriptedRemoveAllTest,
    ::testing::Values(SRemoveAllCase{"OkWithMore", "+OK and more", kMsgRemoved},
                      SRemoveAllCase{"ErrFromByte15", "-ERR 0123456789ABCDEF", "ABCDEF"},
                      SRemoveAllCase{"ErrShort", "-ERR short", kMsgTemporaryFailure},
                      SRemoveAllCase{"ErrNoText", "-ERR 0123456789", kMsgTemporaryFailure},
                      SRemoveAllCase{"Other", "<html>oops</html>", kMsgTemporaryFailure}),
    [](const auto& row) { return std::string(row.param.szName); });

TEST_F(MaintenanceTest, RemoveAllWithoutAReplyDoesNotRefresh) {
    CClosedPort closed;  // nothing listens there
    m_settings.m_endpoints = EndpointsAt(closed.BaseUrl());
    m_commands.OnRemoveAll();
    // One failure message: a refresh would have shown a second one.
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgTemporaryFailure}));
}

TEST_F(MaintenanceTest, RemoveAllNeverSendsACutId) {
    CScriptedServer server(CScriptedServer::Reply(200, "+OK"));
    m_settings.m_endpoints = EndpointsAt(server.BaseUrl());
    m_settings.SetId(std::string(32, 'a'));  // one byte more than the body holds
    m_commands.OnRemoveAll();
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgTemporaryFailure}));
}

}  // namespace
