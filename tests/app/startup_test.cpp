// Start-up: the configuration decides whether the login dialog runs at all.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/server_config.h"
#include "app/settings.h"
#include "net/raw_listener.h"
#include "support/recording_view.h"

namespace {

const char* kNoConfig =
    "환경 정보를 로드 하지 못하였습니다.\n\n반복적으로 실패할 경우 담당자에게 문의하시기 "
    "바랍니다.";

struct SExited {
    int nCode;
};

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        SetVersionStopHooks(
            [this](const std::string& strUrl) {
                m_vecOpened.push_back(strUrl);
                return true;
            },
            [](int nCode) { throw SExited{nCode}; });
    }
    void TearDown() override {
        SetVersionStopHooks(nullptr, nullptr);
        unsetenv("ZAV_SERVICE_URL");
        unsetenv("ZAV_BOARD_URL");
    }
    // Runs start-up; the exit code of a version stop comes back negative through SExited.
    int Run(const std::string& strServiceUrl) {
        setenv("ZAV_SERVICE_URL", strServiceUrl.c_str(), 1);
        try {
            return RunStartup(m_view, [this] { ++m_nLoginRuns; });
        } catch (const SExited& exited) {
            return exited.nCode;
        }
    }

    CRecordingView m_view;
    std::vector<std::string> m_vecOpened;
    int m_nLoginRuns = 0;
};

TEST_F(Startup, ConfigurationReceivedRunsTheLogin) {
    CRawListener listener(
        {{CRawListener::Reply(200, "MAX_UPLOAD_LIMIT=25<br>CRRT_VERSION=1.2"), 0}});
    EXPECT_EQ(Run(listener.BaseUrl()), kStartupOk);
    EXPECT_EQ(m_nLoginRuns, 1);
    ASSERT_NE(g_pSettings, nullptr);
    EXPECT_EQ(g_pSettings->m_nMaxUploadLimit, 25000000);
    EXPECT_STREQ(g_pSettings->GetGameFolder(), "");  // looked up by the main window, not here
    EXPECT_TRUE(m_view.Boxes().empty());
}

TEST_F(Startup, NoConfigurationShowsTheMessageAndNoLogin) {
    EXPECT_EQ(Run("http://127.0.0.1:" + std::to_string(UnusedPort())), kStartupNoConfig);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kNoConfig});
    EXPECT_EQ(m_nLoginRuns, 0);

    m_view.ClearLog();
    CRawListener empty({{CRawListener::Reply(200, "<br>"), 0}});
    EXPECT_EQ(Run(empty.BaseUrl()), kStartupNoConfig);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kNoConfig});
    EXPECT_EQ(m_nLoginRuns, 0);
}

TEST_F(Startup, VersionMismatchOpensTheBoardAndEndsWithMinusOne) {
    CRawListener listener({{CRawListener::Reply(200, "CRRT_VERSION=1.3"), 0}});
    setenv("ZAV_BOARD_URL", listener.BaseUrl().c_str(), 1);
    EXPECT_EQ(Run(listener.BaseUrl()), -1);
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{
                                     "라룸보관소 VER 1.3 으로 다운로드하여 사용하시기 바랍니다."});
    EXPECT_EQ(m_vecOpened,
              std::vector<std::string>{listener.BaseUrl() + "/board/powerbbs.php?come_idx=1206"});
    EXPECT_EQ(m_nLoginRuns, 0);
}

}  // namespace
