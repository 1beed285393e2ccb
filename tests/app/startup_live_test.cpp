// Start-up against a running zav-service.
#include <gtest/gtest.h>

#include "app/server_config.h"
#include "app/settings.h"
#include "app/startup.h"
#include "platform/diag_log.h"
#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/sandbox.h"

namespace {

class LiveStartup : public ::testing::Test {
protected:
    void TearDown() override { OpenDiagLog(""); }

    int Run() {
        return RunStartup(
            m_view, [this] { ++m_nLoginRuns; },
            [this](const std::string& strUrl) {
                m_vecOpened.push_back(strUrl);
                return true;
            });
    }

    CSandbox m_state{"zav-state"};
    // The start-up opens the diagnostic log: here, not in the user's home.
    CEnvGuard m_env{"XDG_STATE_HOME", m_state.Path()};
    CRecordingView m_view;
    std::vector<std::string> m_vecOpened;
    int m_nLoginRuns = 0;
};

TEST_F(LiveStartup, ConfigurationFromTheServiceStartsTheLogin) {
    CLiveService service({"--max-upload-mb", "7"});
    ASSERT_TRUE(service.IsRunning());
    CScopedClientEnvironment env(service);
    EXPECT_EQ(Run(), kStartupOk);
    EXPECT_EQ(m_nLoginRuns, 1);
    EXPECT_EQ(g_pSettings->m_nMaxUploadLimit, 7000000);
    EXPECT_EQ(g_pSettings->m_endpoints.strServiceBase, service.HttpBase());
    EXPECT_TRUE(m_view.Boxes().empty());
    EXPECT_NE(ReadWholeFile(m_state.Path("zav/zav.log")).find("start: version 1.2"),
              std::string::npos);
}

TEST_F(LiveStartup, StoppedServiceShowsTheConfigurationMessage) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    CScopedClientEnvironment env(service);
    service.Stop();
    EXPECT_EQ(Run(), kStartupNoConfig);
    EXPECT_EQ(m_view.Messages(),
              std::vector<std::string>{"환경 정보를 로드 하지 못하였습니다.\n\n반복적으로 실패할 "
                                       "경우 담당자에게 문의하시기 바랍니다."});
    EXPECT_EQ(m_nLoginRuns, 0);
}

TEST_F(LiveStartup, NewerClientVersionOnTheServiceStopsTheProgram) {
    CLiveService service({"--client-version", "1.3"});
    ASSERT_TRUE(service.IsRunning());
    CScopedClientEnvironment env(service);
    EXPECT_EQ(Run(), kStartupVersionStop);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{
                                     "라룸보관소 VER 1.3 으로 다운로드하여 사용하시기 바랍니다."});
    EXPECT_EQ(m_vecOpened, std::vector<std::string>{service.BoardUrl()});
    EXPECT_EQ(m_nLoginRuns, 0);
}

}  // namespace
