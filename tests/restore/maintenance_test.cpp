// The initialize and remove-all commands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/app_messages.h"
#include "app/login_logic.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/folder_lock.h"
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

std::string LeafOf(const std::string& strPath) {
    return Utf8FromPath(PathFromUtf8(strPath).filename());
}

// The dated folders under Ralum/Reset, oldest first.
std::vector<std::string> ResetCopies(const SGame& game) {
    std::vector<std::string> vecCopies;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(game.Path("Ralum/Reset")), ec))
        vecCopies.push_back(Utf8FromPath(entry.path()));
    std::sort(vecCopies.begin(), vecCopies.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;  // "-2" after its second
    });
    return vecCopies;
}

TEST_F(MaintenanceTest, InitializeMovesTheThreeFoldersToADatedResetCopyAndNothingElse) {
    const TreeMap cache = SnapshotTree(m_game.Path("Cache")),
                  ralum = SnapshotTree(m_game.Path("Ralum"));
    std::map<std::string, TreeMap> before;
    for (const char* szFolder : {"Fonts", "Interface", "WTF"})
        before[szFolder] = SnapshotTree(m_game.Path(szFolder));
    m_commands.OnInitialize();
    const std::vector<std::string> vecCopies = ResetCopies(m_game);
    ASSERT_EQ(vecCopies.size(), 1u);
    // Ralum/Reset/yyyymmdd-hhmmss
    EXPECT_EQ(Utf8FromPath(PathFromUtf8(vecCopies[0]).filename()).size(), 15u);
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{
                  kAskInitialize, std::string(kMsgInitialized) +
                                      "\n\n초기화 전의 Fonts, Interface, WTF 폴더는 다음 위치에 "
                                      "보관되어 있습니다.\n" +
                                      m_game.strRoot +
                                      NativeSeparators("Ralum/Reset/" + LeafOf(vecCopies[0]))}));
    for (const char* szFolder : {"Fonts", "Interface", "WTF"}) {
        EXPECT_FALSE(fs::exists(PathFromUtf8(m_game.Path(szFolder)))) << szFolder;
        EXPECT_EQ(SnapshotTree(vecCopies[0] + "/" + szFolder), before[szFolder]) << szFolder;
    }
    EXPECT_EQ(SnapshotTree(m_game.Path("Cache")), cache);
    EXPECT_EQ(SnapshotTree(m_game.Path("Ralum"), {"Reset", "zav.lock"}), ralum);
    EXPECT_TRUE(fs::exists(PathFromUtf8(m_game.Path("Wow.exe"))));
    EXPECT_EQ(m_view.WaitCursorCalls(), (std::vector<bool>{true, false}));

    // Again, with the folders gone: done, and no copy is made or touched.
    m_view.ClearLog();
    m_commands.OnInitialize();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskInitialize, kMsgInitialized}));
    EXPECT_EQ(ResetCopies(m_game), vecCopies);

    // The game made a default WTF: a second initialize keeps it in a copy of its own, and the
    // copy of the member's real settings stays as it was.
    WriteWholeFile(m_game.Path("WTF/Config.wtf"), "defaults");
    m_commands.OnInitialize();
    const std::vector<std::string> vecAfter = ResetCopies(m_game);
    ASSERT_EQ(vecAfter.size(), 2u);
    EXPECT_EQ(vecAfter[0], vecCopies[0]);
    EXPECT_EQ(SnapshotTree(vecCopies[0] + "/WTF"), before["WTF"]);
    EXPECT_EQ(SnapshotTree(vecCopies[0] + "/Fonts"), before["Fonts"]);
    EXPECT_EQ(SnapshotTree(vecAfter[1]), (TreeMap{{"WTF", "D"}, {"WTF/Config.wtf", "F:defaults"}}));
}

TEST_F(MaintenanceTest, InitializeAcrossFileSystemsKeepsWhatItCopiedAndSaysWhatStayed) {
    // Ralum/Reset on another file system: each folder is copied there, then deleted; one
    // that cannot be deleted completely stays in part, its copy whole.
    std::unique_ptr<CSandbox> pOther = SandboxOnAnotherFileSystem();
    if (!pOther)
        GTEST_SKIP() << "no second file system beside the temporary folder";
    fs::create_directory_symlink(PathFromUtf8(pOther->Path()),
                                 PathFromUtf8(m_game.Path("Ralum/Reset")));
    const TreeMap wtf = SnapshotTree(m_game.Path("WTF"));
    const std::string strStuck = m_game.Path("WTF/Config.wtf");
    if (std::system(("chattr +i '" + strStuck + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available on " << m_temp.Path();
    m_commands.OnInitialize();
    std::system(("chattr -i '" + strStuck + "'").c_str());
    const std::vector<std::string> vecCopies = ResetCopies(m_game);
    ASSERT_EQ(vecCopies.size(), 1u);
    EXPECT_EQ(SnapshotTree(vecCopies[0] + "/WTF"), wtf);
    EXPECT_TRUE(fs::exists(PathFromUtf8(strStuck)));
    ASSERT_EQ(m_view.Texts().size(), 2u);
    EXPECT_EQ(m_view.Texts()[1],
              "다음 폴더는 보관 위치에 모두 복사하였으나 일부 파일을 게임 폴더에서 지우지 "
              "못하였습니다.\n\nWTF\n\n게임이나 다른 프로그램이 사용 중인지 확인하신 후 다시 "
              "시도하시기 바랍니다.\n\n초기화 전의 Fonts, Interface, WTF 폴더는 다음 위치에 "
              "보관되어 있습니다.\n" +
                  m_game.strRoot + NativeSeparators("Ralum/Reset/" + LeafOf(vecCopies[0])));
    // A retried initialize keeps what stayed in a new copy; the first is not touched.
    m_commands.OnInitialize();
    const std::vector<std::string> vecAfter = ResetCopies(m_game);
    ASSERT_EQ(vecAfter.size(), 2u);
    EXPECT_EQ(SnapshotTree(vecCopies[0] + "/WTF"), wtf);
    EXPECT_EQ(ReadWholeFile(vecAfter[1] + "/WTF/Config.wtf"), "SET locale \"koKR\"\n");
}

TEST_F(MaintenanceTest, InitializeWhileAnotherWindowHoldsTheFolderChangesNothing) {
    CFolderLock other;
    ASSERT_EQ(other.TryLock(m_game.Path("Ralum/zav.lock")), CFolderLock::EResult::Taken);
    const TreeMap before = SnapshotTree(m_game.strRoot);
    m_commands.OnInitialize();
    EXPECT_EQ(m_view.Texts(), (std::vector<std::string>{kAskInitialize, kMsgFolderInUse}));
    EXPECT_EQ(SnapshotTree(m_game.strRoot), before);
}

TEST_F(MaintenanceTest, InitializeAnsweredNoOrWhileBusyDeletesNothing) {
    const TreeMap before = SnapshotTree(m_game.strRoot);
    m_view.QueueConfirmAnswers({false});
    m_commands.OnInitialize();
    // Asked before the wait cursor: refused, it never shows.
    EXPECT_TRUE(m_view.WaitCursorCalls().empty());
    CTransferClaim running = m_logic.TryClaim();
    m_commands.OnInitialize();
    running.Release();
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
    WriteWholeFile(m_game.Path("Ralum/Reset/20200101-000000/Fonts/earlier.ttf"), "an earlier copy");
    if (std::system(("chattr +i '" + strLocked + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available on " << m_temp.Path();
    m_commands.OnInitialize();
    std::system(("chattr -i '" + strLocked + "'").c_str());
    const std::vector<std::string> vecCopies = ResetCopies(m_game);
    ASSERT_EQ(vecCopies.size(), 2u);  // the earlier one and this initialize's
    EXPECT_EQ(m_view.Texts(),
              (std::vector<std::string>{
                  kAskInitialize,
                  "다음 폴더를 초기화하지 못하였습니다.\n\nFonts\n\n게임이나 다른 프로그램이 "
                  "사용 중인지 확인하신 후 다시 시도하시기 바랍니다.\n\n초기화 전의 Interface, "
                  "WTF 폴더는 다음 위치에 보관되어 있습니다.\n" +
                      m_game.strRoot + NativeSeparators("Ralum/Reset/" + LeafOf(vecCopies[1]))}));
    EXPECT_EQ(SnapshotTree(strLocked), fonts);
    EXPECT_EQ(ReadWholeFile(m_game.Path("Ralum/Reset/20200101-000000/Fonts/earlier.ttf")),
              "an earlier copy");
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
