// The main window's logic without a window: the account status display, the progress band,
// the close rule and the set-up order.
#include "app/main_logic.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "app/login_logic.h"
#include "app/server_config.h"
#include "support/env_guard.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "support/scripted_transport.h"

namespace {

const std::string kFailure = "일시적인 시스템 장애입니다.\n\n잠시후에 다시 시도해 보시기 바랍니다.";

// A main window's logic whose account script answers through a scripted transport.
class AccountStatus : public ::testing::Test {
protected:
    void SetUp() override {
        m_transport.Install(m_settings);
        m_settings.SetId("gamer01");
        m_settings.m_nMaxUploadLimit = 20000000;
    }

    void Refresh(const std::string& strReply) {
        m_transport.SetReply(strReply);
        m_logic.RefreshUsage();
    }
    std::string Text(int nId) const { return m_view.Text(nId); }

    CScriptedTransport m_transport;
    CSettings m_settings;
    CRecordingView m_view;
    CMainLogic m_logic{m_view, m_settings};
};

}  // namespace

TEST_F(AccountStatus, ShowsUsageQuotaAndLastUpload) {
    Refresh(
        "+OK<br>Fonts=2600000|Interface=12000000|WDB=2000000|WTF=2000000|"
        "LASTUPLOAD=2010-07-06 15:16:00|Data=18600000");
    EXPECT_EQ(m_view.BoxCount(), 0u);
    EXPECT_EQ(Text(IDC_TOTAL_USAGE), "총사용량:18.6M/20M");
    EXPECT_EQ(Text(IDC_ADDON_USAGE), "14.0M");
    EXPECT_EQ(Text(IDC_WDB_USAGE), "2.0M");
    EXPECT_EQ(Text(IDC_FONTS_USAGE), "2.6M");
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "2010년 7월 6일 15:16");
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_ADDON));
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_CACHE));
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_FONT));
    EXPECT_EQ(m_logic.GetTotalUsage(), 18600000);
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Wdb], 2000000);

    ASSERT_EQ(m_transport.Requests().size(), 1u);
    EXPECT_EQ(m_transport.Requests()[0].nMethod, kHttpPost);
    EXPECT_EQ(m_transport.Requests()[0].strUrl, m_settings.m_endpoints.AuthUrl());
    EXPECT_EQ(m_transport.Requests()[0].body, "mode=du&id=gamer01");
}

TEST_F(AccountStatus, LastUploadTextsAndKeptValues) {
    Refresh("+OK<br>Fonts=1");
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "");  // never named yet
    Refresh("+OK<br>LASTUPLOAD=|Fonts=0");
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "업로드 하신 내용이 없습니다.");
    Refresh("+OK<br>LASTUPLOAD=2026-12-31 09:05:59");
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "2026년 12월 31일 09:05");
    Refresh("+OK<br>WDB=5");  // no LASTUPLOAD: the text stays
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "2026년 12월 31일 09:05");
    EXPECT_EQ(m_view.BoxCount(), 0u);
}

TEST_F(AccountStatus, RestoreBoxesFollowTheServerEveryTime) {
    m_view.SetChecked(IDC_RESTORE_FONT, true);
    Refresh("+OK<br>Fonts=0|Interface=0|WTF=7|WDB=0");
    EXPECT_FALSE(m_view.Checked(IDC_RESTORE_FONT));
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_ADDON));  // WTF alone stands for the add-on group
    EXPECT_FALSE(m_view.Checked(IDC_RESTORE_CACHE));
}

TEST_F(AccountStatus, QuotaIsShownInWholeMillions) {
    m_settings.m_nMaxUploadLimit = 20500000;
    Refresh("+OK<br>Fonts=0");
    EXPECT_EQ(Text(IDC_TOTAL_USAGE), "총사용량:0.0M/20M");
}

TEST_F(AccountStatus, FailedQueriesKeepThePreviousValues) {
    Refresh("+OK<br>Fonts=2600000|LASTUPLOAD=2010-07-06 15:16:00");
    const std::string strBefore = Text(IDC_FONTS_USAGE);

    Refresh("+ok<br>Fonts=9999999");  // the status word is case-sensitive
    EXPECT_EQ(m_view.LastText(), kFailure);
    Refresh("-ERR 403 <br>\r\n\xB7\xCE\xB1\xD7\xC0\xCE");  // "로그인" in CP949, from byte 15
    EXPECT_EQ(m_view.LastText(), "로그인");
    Refresh("-ERR 403");  // too short to hold a message
    EXPECT_EQ(m_view.LastText(), kFailure);
    Refresh("");  // no reply text
    EXPECT_EQ(m_view.LastText(), kFailure);
    EXPECT_EQ(m_view.BoxCount(), 4u);
    Refresh("+OK<br>");  // no items: nothing to say, nothing changes
    EXPECT_EQ(m_view.BoxCount(), 4u);

    EXPECT_EQ(Text(IDC_FONTS_USAGE), strBefore);
    EXPECT_EQ(Text(IDC_LAST_UPLOAD), "2010년 7월 6일 15:16");
    EXPECT_TRUE(m_view.Checked(IDC_RESTORE_FONT));
}

TEST_F(AccountStatus, ItemsAreReadAsTheProtocolBuffersReadThem) {
    // Not a number -> 0; digits up to the first other character; "A==5" has the value 5;
    // empty items do not count; names are case-sensitive; over-long items are cut at 49.
    Refresh("+OK<br>Fonts=abc|WDB=3000000xyz||Interface==1000000|wtf=5|WTF=" +
            std::string(60, '1'));
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Fonts], 0);
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Wdb], 3000000);
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Interface], 1000000);
    EXPECT_EQ(m_logic.ServerSizes()[ECategory::Wtf],
              INT32_MAX);  // saturates instead of overflowing
    EXPECT_EQ(m_view.BoxCount(), 0u);
}

TEST_F(AccountStatus, IdTooLongForTheQueryIsNotSent) {
    m_settings.SetId(std::string(39, 'x'));
    Refresh("+OK<br>Fonts=1");
    EXPECT_TRUE(m_transport.Requests().empty());
    EXPECT_EQ(m_view.LastText(), kFailure);
}

TEST(AccountStatusLive, FreshMemberBeforeAndAfterLogin) {
    CLiveService service({"--max-upload-mb", "30"});
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "zavdemo", "전사"));
    CSettings settings;
    settings.m_endpoints = service.Endpoints();
    CRecordingView view;
    ASSERT_EQ(settings.LoadServerConfig(view), EConfigLoad::Loaded);
    CMainLogic logic(view, settings);

    // Not logged in from this address yet: the service refuses with its own text.
    settings.SetId("gamer01");
    logic.RefreshUsage();
    EXPECT_EQ(view.Messages(), std::vector<std::string>{
                                   "로그인 정보가 없습니다. 프로그램에서 다시 로그인하십시오."});

    view.ClearLog();
    CLoginLogic login(view, settings);
    ASSERT_TRUE(login.OnLogin("gamer01", "zavdemo").bLoggedIn);
    logic.RefreshUsage();
    EXPECT_EQ(view.BoxCount(), 0u);
    EXPECT_EQ(view.Text(IDC_TOTAL_USAGE), "총사용량:0.0M/30M");
    EXPECT_EQ(view.Text(IDC_ADDON_USAGE), "0.0M");
    EXPECT_EQ(view.Text(IDC_LAST_UPLOAD), "업로드 하신 내용이 없습니다.");
    EXPECT_FALSE(view.Checked(IDC_RESTORE_ADDON));
}

TEST(Progress, WidthOfTheBand) {
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    struct SCase {
        uint32_t nDone;
        int32_t nTotal;
        EProgressMode eMode;
        int nWidth;
    };
    constexpr EProgressMode kPlain = EProgressMode::Plain, kFull = EProgressMode::Full,
                            kFiveLess = EProgressMode::FiveLess;
    const SCase cases[] = {
        {50, 100, kPlain, 130},
        {50, 100, kFiveLess, 117},
        {3, 100, kFiveLess, 0},
        {0, 0, kFull, 260},
        {0, 0, kPlain, 0},
        {0, 0, kFiveLess, 0},
        {100, 100, kPlain, 260},
        {1, 3, kPlain, 85},
        {250, 100, kPlain, 260},
        {5, -1, kPlain, 0},
        {4000000000u, 2000000000, kPlain, 260},
    };
    for (const SCase& c : cases) {
        logic.SetProgress(c.nDone, c.nTotal, c.eMode);
        EXPECT_EQ(logic.ProgressWidth(), c.nWidth)
            << c.nDone << "/" << c.nTotal << " mode " << static_cast<int>(c.eMode);
        EXPECT_EQ(view.LastProgressWidth(), c.nWidth);
    }
}

TEST(MainWindow, CloseIsRefusedWhileATransferRuns) {
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    EXPECT_TRUE(logic.CanClose());
    EXPECT_EQ(view.BoxCount(), 0u);
    CTransferClaim running = logic.TryClaim();
    EXPECT_FALSE(logic.CanClose());
    running.Release();
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"진행중입니다. 잠시만 기다려주십시오."});
}

// The one transfer slot: a second claim holds nothing while the first is held, a moved claim
// gives it back once, and the worker gives back the folder's lock before the slot.
TEST(TransferSlot, OneClaimAtATimeEachGivenBackOnce) {
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    CTransferClaim first = logic.TryClaim();
    ASSERT_TRUE(first);
    EXPECT_FALSE(logic.TryClaim());
    CTransferClaim moved = std::move(first);
    EXPECT_FALSE(first);
    first.Release();  // the moved-from claim holds nothing to give back
    EXPECT_FALSE(logic.TryClaim());
    moved = logic.TryClaim();  // assigning gives back what it held
    EXPECT_FALSE(moved);
    EXPECT_TRUE(logic.TryClaim());
}

TEST(TransferSlot, TheWorkerGivesBackTheLockAndThenTheSlotHoweverItEnds) {
    CSandbox box;
    const std::string strFolder = box.Path() + "/";
    const std::string strLock = strFolder + NativeSeparators("Ralum/zav.lock");
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    for (const bool bThrow : {false, true}) {
        CTransferClaim claim = logic.TryClaim();
        ASSERT_TRUE(claim.LockGameFolder(view, strFolder, "test"));
        CFolderLock other;
        EXPECT_EQ(other.TryLock(strLock), CFolderLock::EResult::Held);
        bool bHeldDuring = false;
        ASSERT_TRUE(logic.RunWorker(std::move(claim), [&] {
            CFolderLock probe;
            bHeldDuring = g_bTransferBusy && probe.TryLock(strLock) == CFolderLock::EResult::Held;
            if (bThrow)
                throw std::runtime_error("stray");
        }));
        logic.WaitForWorker();
        EXPECT_TRUE(bHeldDuring);
        EXPECT_FALSE(g_bTransferBusy);
        EXPECT_EQ(other.TryLock(strLock), CFolderLock::EResult::Taken);
    }
    EXPECT_EQ(view.Messages(), std::vector<std::string>{kFailure});
}

TEST(MainWindow, SetUpWithoutGameFolderOpensThePickerBeforeTheUsage) {
    CSandbox sandbox("zav-window");
    std::filesystem::create_directories(sandbox.Path("config"));
    CScriptedTransport transport("+OK<br>Fonts=1000000");
    CEnvGuard env;
    env.Set("XDG_CONFIG_HOME", sandbox.Path("config")).Set("WINEPREFIX", sandbox.Path("no-wine"));

    CSettings settings;
    transport.Install(settings);
    settings.SetId("gamer01");
    settings.SetNickname("전사");
    CRecordingView view;
    CMainLogic logic(view, settings);
    logic.OnInitDialog();

    EXPECT_TRUE(view.Checked(IDC_BACKUP_ADDON));
    EXPECT_TRUE(view.Checked(IDC_BACKUP_CACHE));
    EXPECT_FALSE(view.Checked(IDC_BACKUP_FONT));
    EXPECT_EQ(view.Text(IDC_NICKNAME), "전사");
    EXPECT_EQ(view.Text(IDC_FONTS_USAGE), "1.0M");
    int nPick = view.FindCall("PickFolder");
    ASSERT_GE(nPick, 0);
    int nNotFound = view.FindCall("Message World of Warcraft");
    ASSERT_GE(nNotFound, 0) << "the member is not told that no game folder was found";
    EXPECT_LT(nNotFound, nPick);
    EXPECT_LT(nPick, view.FindCall("SetText 1018"));
}
