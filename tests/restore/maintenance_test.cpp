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
    }

    CSandbox m_temp;
    SGame m_game;
    CSettings m_settings;
    CRecordingView m_view;
    CMainLogic m_logic{m_view, m_settings};
};

TEST_F(MaintenanceTest, InitializeDeletesTheThreeFoldersAndNothingElse) {
    const TreeMap cache = SnapshotTree(m_game.Path("Cache")),
                  ralum = SnapshotTree(m_game.Path("Ralum"));
    m_logic.OnInitialize();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskInitialize, kMsgInitialized}));
    for (const char* szFolder : {"Fonts", "Interface", "WTF"})
        EXPECT_FALSE(fs::exists(m_game.Path(szFolder))) << szFolder;
    EXPECT_EQ(SnapshotTree(m_game.Path("Cache")), cache);
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum")), ralum);
    EXPECT_TRUE(fs::exists(m_game.Path("Wow.exe")));
    EXPECT_FALSE(m_view.WaitCursorOn());

    // Again, with the folders gone: still done, without complaint.
    m_view.ClearLog();
    m_logic.OnInitialize();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskInitialize, kMsgInitialized}));
}

TEST_F(MaintenanceTest, InitializeAnsweredNoOrWhileBusyDeletesNothing) {
    const TreeMap before = SnapshotTree(m_game.strRoot);
    m_view.QueueConfirmAnswers({false});
    m_logic.OnInitialize();
    g_bTransferBusy = true;
    m_logic.OnInitialize();
    g_bTransferBusy = false;
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{kAskInitialize, "진행중입니다. 잠시만 기다려주십시오."}));
    EXPECT_EQ(SnapshotTree(m_game.strRoot), before);
}

TEST_F(MaintenanceTest, InitializeWithoutAGameFolderDeletesNothing) {
    // The folders that bare names would reach: those of the process's current folder.
    const std::string strCwd = fs::current_path().string();
    ASSERT_EQ(::chdir(m_game.strRoot.c_str()), 0);
    ASSERT_TRUE(m_settings.SetGameFolder(""));
    m_logic.OnInitialize();
    ASSERT_EQ(::chdir(strCwd.c_str()), 0);
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kMsgNoGameFolder}));
    for (const char* szFolder : {"Fonts", "Interface", "WTF"})
        EXPECT_TRUE(fs::exists(m_game.Path(szFolder))) << szFolder;
}

// Remove-all against the running service.
class LiveRemoveAllTest : public MaintenanceTest {
protected:
    void SetUp() override {
        MaintenanceTest::SetUp();
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember(kId, "secret", "닉네임"));
        m_env = std::make_unique<CScopedClientEnvironment>(m_service);
        WriteWholeFile(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip", "stored");
    }
    void Login() {
        const SLoginReply login = ParseLoginReply(
            HttpRequest(endpoints::LoginUrl(), kHttpPost, *MakeLoginBody(kId, "secret")));
        ASSERT_EQ(login.eStatus, SLoginReply::Success);
    }

    CLiveService m_service;
    std::unique_ptr<CScopedClientEnvironment> m_env;
};

TEST_F(LiveRemoveAllTest, RemovesEverythingThenRefreshesAndClearsTheRestoreBoxes) {
    Login();
    m_logic.RefreshUsage();
    ASSERT_TRUE(m_view.Checked(IDC_RESTORE_ADDON));
    m_view.ClearLog();

    m_logic.OnRemoveAll();

    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgRemoved}));
    EXPECT_FALSE(fs::exists(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip"));
    EXPECT_FALSE(m_view.Checked(IDC_RESTORE_ADDON));
    EXPECT_FALSE(m_view.WaitCursorOn());
}

TEST_F(LiveRemoveAllTest, RefusalShowsTheServersOwnText) {
    m_logic.OnRemoveAll();  // not logged in: the service refuses
    ASSERT_GE(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1], "로그인 정보가 없습니다. 프로그램에서 다시 로그인하십시오.");
    EXPECT_TRUE(fs::exists(m_service.DataDir() + "/UserData/" + kId + "/__WTF.zip"));
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
    CEnvGuard url("ZAV_SERVICE_URL", server.BaseUrl());
    m_logic.OnRemoveAll();
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
    CEnvGuard url("ZAV_SERVICE_URL", closed.BaseUrl());
    m_logic.OnRemoveAll();
    // One failure message: a refresh would have shown a second one.
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgTemporaryFailure}));
}

TEST_F(MaintenanceTest, RemoveAllNeverSendsACutId) {
    CScriptedServer server(CScriptedServer::Reply(200, "+OK"));
    CEnvGuard url("ZAV_SERVICE_URL", server.BaseUrl());
    m_settings.SetId(std::string(32, 'a'));  // one byte more than the body holds
    m_logic.OnRemoveAll();
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskRemoveAll, kMsgTemporaryFailure}));
}

}  // namespace
