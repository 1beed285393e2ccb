// The configuration text and the version stop.
#include "app/server_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>

#include "app/settings.h"
#include "net/http_request.h"
#include "support/env_guard.h"
#include "support/recording_view.h"
#include "support/scripted_server.h"

namespace {

class ServerConfig : public ::testing::Test {
protected:
    EConfigLoad Apply(const std::string& strBody) {
        return ApplyServerConfig(m_settings, strBody, m_view);
    }

    CSettings m_settings;
    CRecordingView m_view;
};

TEST_F(ServerConfig, TheExampleBodySetsTheQuotaAndIntervalAndPasses) {
    EXPECT_EQ(Apply("MAX_UPLOAD_LIMIT=20<br>DOWNLOAD_INTERVAL=10<br>CRRT_VERSION=1.2"),
              EConfigLoad::Loaded);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 20000000);
    EXPECT_EQ(m_settings.m_nDownloadInterval, 600);
    EXPECT_TRUE(m_view.Boxes().empty());
}

TEST_F(ServerConfig, EveryNameIsStoredWithItsFactor) {
    EXPECT_EQ(
        Apply("DOWNLOAD_ADDPOINT_ENABLE=Y=N<br>DOWNLOAD_DEFAULT_SIZE=3<br>SIZE_FOR_ADDPOINT=4<br>"
              "POINT_FOR_DNLOAD=5<br>POINT_FOR_EXCEED=-6<br>POINT_FOR_WDB= 7x<br>UNKNOWN=1"),
        EConfigLoad::Loaded);
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
    EXPECT_EQ(Apply("crrt_version=9<br>max_upload_limit=3"), EConfigLoad::Loaded);
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
    EXPECT_EQ(Apply("<br><br>"), EConfigLoad::NotLoaded);
    EXPECT_EQ(Apply(""), EConfigLoad::NotLoaded);

    std::string strHuge = "MAX_UPLOAD_LIMIT=20<br>CRRT_VERSION=9.9<br>" + std::string(1048577, 'x');
    EXPECT_EQ(Apply(strHuge), EConfigLoad::Loaded);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 0);
}

TEST_F(ServerConfig, OnlyTheExactVersionTextPasses) {
    for (const char* szPiece : {"CRRT_VERSION=1.2", "MAX_UPLOAD_LIMIT=1"}) {
        EXPECT_EQ(Apply(szPiece), EConfigLoad::Loaded) << szPiece;
    }
    EXPECT_TRUE(m_view.Boxes().empty());

    struct SCase {
        const char* szPiece;
        const char* szShown;
    };
    for (SCase c : {SCase{"CRRT_VERSION=1.20", "1.20"}, SCase{"CRRT_VERSION=1.2 ", "1.2 "},
                    SCase{"CRRT_VERSION=1.3", "1.3"}, SCase{"CRRT_VERSION=1.1", "1.1"},
                    SCase{"CRRT_VERSION=", ""}, SCase{"CRRT_VERSION", ""}}) {
        m_view.ClearLog();
        EXPECT_EQ(Apply(c.szPiece), EConfigLoad::VersionStop) << c.szPiece;
        EXPECT_EQ(m_view.Messages(),
                  std::vector<std::string>{std::string("라룸보관소 VER ") + c.szShown +
                                           " 으로 다운로드하여 사용하시기 바랍니다."})
            << c.szPiece;
    }
}

TEST_F(ServerConfig, VersionStopAppliesOnlyThePiecesBeforeIt) {
    EXPECT_EQ(Apply("MAX_UPLOAD_LIMIT=1<br>CRRT_VERSION=2.0<br>DOWNLOAD_INTERVAL=5"),
              EConfigLoad::VersionStop);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 1000000);
    EXPECT_EQ(m_settings.m_nDownloadInterval, 0);
}

TEST_F(ServerConfig, LoadFetchesTheConfigurationPath) {
    CScriptedServer listener(
        CScriptedServer::Reply(200, "MAX_UPLOAD_LIMIT=30<br>CRRT_VERSION=1.2"));
    m_settings.m_endpoints = SEndpoints::FromBases(listener.BaseUrl(), "https://127.0.0.1:1");
    EXPECT_EQ(m_settings.LoadServerConfig(m_view), EConfigLoad::Loaded);
    EXPECT_EQ(m_settings.m_nMaxUploadLimit, 30000000);
    EXPECT_EQ(HeadLines(listener.Request())[0], "GET /Kelpo/html/new_config.php HTTP/1.1");

    CClosedPort closed;
    m_settings.m_endpoints = SEndpoints::FromBases(closed.BaseUrl(), "https://127.0.0.1:1");
    EXPECT_EQ(m_settings.LoadServerConfig(m_view), EConfigLoad::NotLoaded);
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
