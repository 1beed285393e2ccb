// The configuration text and the version stop.
#include "app/server_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>

#include "app/settings.h"
#include "net/http_request.h"
#include "net/raw_listener.h"
#include "support/recording_view.h"

namespace {

// Thrown by the test's exit function: the version stop never returns to its caller.
struct SExited {
    int nCode;
};

class ServerConfig : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("ZAV_BOARD_URL", "http://127.0.0.1:1", 1);
        SetVersionStopHooks(
            [this](const std::string& strUrl) {
                m_vecOpened.push_back(strUrl);
                return true;
            },
            [](int nCode) { throw SExited{nCode}; });
    }
    void TearDown() override {
        SetVersionStopHooks(nullptr, nullptr);
        unsetenv("ZAV_BOARD_URL");
    }

    // Applies the body; returns the exit code of a version stop, or nullopt.
    std::optional<int> Apply(const std::string& strBody, int* pResult = nullptr) {
        try {
            int nResult = ApplyServerConfig(m_settings, strBody, m_view);
            if (pResult != nullptr)
                *pResult = nResult;
            return std::nullopt;
        } catch (const SExited& exited) {
            return exited.nCode;
        }
    }

    CSettings m_settings;
    CRecordingView m_view;
    std::vector<std::string> m_vecOpened;
};

TEST_F(ServerConfig, TheExampleBodySetsTheQuotaAndIntervalAndPasses) {
    int nResult = 0;
    EXPECT_EQ(Apply("MAX_UPLOAD_LIMIT=20<br>DOWNLOAD_INTERVAL=10<br>CRRT_VERSION=1.2", &nResult),
              std::nullopt);
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 20000000);
    EXPECT_EQ(m_settings.m_nDownloadInterval, 600);
    EXPECT_TRUE(m_view.Boxes().empty());
    EXPECT_TRUE(m_vecOpened.empty());
}

TEST_F(ServerConfig, EveryNameIsStoredWithItsFactor) {
    int nResult = 0;
    Apply(
        "DOWNLOAD_ADDPOINT_ENABLE=Y=N<br>DOWNLOAD_DEFAULT_SIZE=3<br>SIZE_FOR_ADDPOINT=4<br>"
        "POINT_FOR_DNLOAD=5<br>POINT_FOR_EXCEED=-6<br>POINT_FOR_WDB= 7x<br>UNKNOWN=1",
        &nResult);
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(m_settings.m_strDownloadAddpointEnable, "Y");
    EXPECT_EQ(m_settings.m_nDownloadDefaultSize, 3000000);
    EXPECT_EQ(m_settings.m_nSizeForAddpoint, 4000000);
    EXPECT_EQ(m_settings.m_nPointForDnload, 5);
    EXPECT_EQ(m_settings.m_nPointForExceed, -6);
    EXPECT_EQ(m_settings.m_nPointForWdb, 7);
}

TEST_F(ServerConfig, NumbersAreReadLikeAtoi) {
    Apply("MAX_UPLOAD_LIMIT=20MB");
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 20000000);
    Apply("MAX_UPLOAD_LIMIT=");
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
    Apply("MAX_UPLOAD_LIMIT=1<br>MAX_UPLOAD_LIMIT=lots");  // the later one wins
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
    Apply("MAX_UPLOAD_LIMIT==5");  // empty parts are skipped
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 5000000);
}

TEST_F(ServerConfig, ProductsBeyondThirtyTwoBitsSaturateInsteadOfTurningNegative) {
    Apply("MAX_UPLOAD_LIMIT=5000");
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, INT32_MAX);
    Apply("DOWNLOAD_INTERVAL=-99999999999");
    EXPECT_EQ(m_settings.m_nDownloadInterval, INT32_MIN);
}

TEST_F(ServerConfig, NamesMatchExactlyWithCase) {
    int nResult = 0;
    EXPECT_EQ(Apply("crrt_version=9<br>max_upload_limit=3", &nResult), std::nullopt);
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
}

TEST_F(ServerConfig, PieceIsCutTo98Characters) {
    // The value "7" sits at characters 97, 98 and 99 of the piece.
    std::string strName = "MAX_UPLOAD_LIMIT";
    Apply(strName + std::string(80, '=') + "7");  // 97 characters
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 7000000);
    Apply(strName + std::string(81, '=') + "8");  // 98
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 8000000);
    Apply(strName + std::string(82, '=') + "9");  // 99: the digit is cut off
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
}

TEST_F(ServerConfig, ValueIsCutTo48Characters) {
    Apply("DOWNLOAD_ADDPOINT_ENABLE=" + std::string(60, 'v'));
    EXPECT_EQ(m_settings.m_strDownloadAddpointEnable, std::string(48, 'v'));
}

TEST_F(ServerConfig, BodyWithoutPiecesGivesZeroAndAnOversizedBodyParsesNothing) {
    int nResult = -5;
    Apply("<br><br>", &nResult);
    EXPECT_EQ(nResult, 0);
    nResult = -5;
    Apply("", &nResult);
    EXPECT_EQ(nResult, 0);

    std::string strHuge = "MAX_UPLOAD_LIMIT=20<br>CRRT_VERSION=9.9<br>" + std::string(1048577, 'x');
    EXPECT_EQ(Apply(strHuge, &nResult), std::nullopt);
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
}

TEST_F(ServerConfig, OnlyTheExactVersionTextPasses) {
    for (const char* szPiece : {"CRRT_VERSION=1.2", "MAX_UPLOAD_LIMIT=1"}) {
        EXPECT_EQ(Apply(szPiece), std::nullopt) << szPiece;
    }
    EXPECT_TRUE(m_vecOpened.empty());
    EXPECT_TRUE(m_view.Boxes().empty());

    struct SCase {
        const char* szPiece;
        const char* szShown;
    };
    for (SCase c : {SCase{"CRRT_VERSION=1.20", "1.20"}, SCase{"CRRT_VERSION=1.2 ", "1.2 "},
                    SCase{"CRRT_VERSION=1.3", "1.3"}, SCase{"CRRT_VERSION=1.1", "1.1"},
                    SCase{"CRRT_VERSION=", ""}, SCase{"CRRT_VERSION", ""}}) {
        m_view.ClearLog();
        m_vecOpened.clear();
        EXPECT_EQ(Apply(c.szPiece), -1) << c.szPiece;
        EXPECT_EQ(m_view.Messages(),
                  std::vector<std::string>{std::string("라룸보관소 VER ") + c.szShown +
                                           " 으로 다운로드하여 사용하시기 바랍니다."})
            << c.szPiece;
        EXPECT_EQ(m_vecOpened,
                  std::vector<std::string>{"http://127.0.0.1:1/board/powerbbs.php?come_idx=1206"});
    }
}

TEST_F(ServerConfig, VersionStopAppliesOnlyThePiecesBeforeIt) {
    EXPECT_EQ(Apply("MAX_UPLOAD_LIMIT=1<br>CRRT_VERSION=2.0<br>DOWNLOAD_INTERVAL=5"), -1);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 1000000);
    EXPECT_EQ(m_settings.m_nDownloadInterval, 0);
}

TEST_F(ServerConfig, ExitFunctionThatReturnsStopsParsing) {
    SetVersionStopHooks([](const std::string&) { return true; }, [](int) {});
    int nResult = 7;
    EXPECT_EQ(Apply("CRRT_VERSION=2.0<br>DOWNLOAD_INTERVAL=5", &nResult), std::nullopt);
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(m_settings.m_nDownloadInterval, 0);
}

TEST_F(ServerConfig, LoadFetchesTheConfigurationPath) {
    CRawListener listener(
        {{CRawListener::Reply(200, "MAX_UPLOAD_LIMIT=30<br>CRRT_VERSION=1.2"), 0}});
    setenv("ZAV_SERVICE_URL", listener.BaseUrl().c_str(), 1);
    EXPECT_EQ(m_settings.LoadServerConfig(m_view), 1);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 30000000);
    EXPECT_EQ(HeadLines(listener.Request())[0], "GET /Kelpo/html/new_config.php HTTP/1.1");

    setenv("ZAV_SERVICE_URL", ("http://127.0.0.1:" + std::to_string(UnusedPort())).c_str(), 1);
    EXPECT_EQ(m_settings.LoadServerConfig(m_view), 0);
    unsetenv("ZAV_SERVICE_URL");
}

TEST(Settings, StartsEmptyAndRefusesAFolderThatDoesNotFit) {
    CSettings settings;
    EXPECT_STREQ(settings.GetGameFolder(), "");
    EXPECT_EQ(settings.GetId(), "");
    EXPECT_EQ(settings.GetNickname(), "");
    EXPECT_EQ(settings.m_nMaxUploadLimit, 0);

    EXPECT_TRUE(settings.SetGameFolder("/games/wow/"));
    EXPECT_FALSE(settings.SetGameFolder("/" + std::string(259, 'a')));
    EXPECT_STREQ(settings.GetGameFolder(), "/games/wow/");
    EXPECT_TRUE(settings.SetGameFolder("/" + std::string(257, 'a') + "/"));
    EXPECT_EQ(std::string(settings.GetGameFolder()).size(), 259u);
    // The separator the folder gets counts: 259 bytes without it do not fit.
    EXPECT_FALSE(settings.SetGameFolder("/" + std::string(258, 'a')));
    EXPECT_TRUE(settings.SetGameFolder("/x/"));
    // The whole buffer is cleared: nothing of the longer path stays behind the NUL.
    EXPECT_EQ(settings.m_szGameFolder[4], '\0');
    EXPECT_EQ(settings.m_szGameFolder[258], '\0');
}

}  // namespace
