#include "net/endpoints.h"

#include <gtest/gtest.h>

#include "support/env_guard.h"

namespace {

TEST(Endpoints, ServicePathsFollowTheServiceBase) {
    const SEndpoints endpoints =
        SEndpoints::FromBases("http://127.0.0.1:9/", "https://x");  // trailing '/' is dropped
    EXPECT_EQ(endpoints.strServiceBase, "http://127.0.0.1:9");
    EXPECT_EQ(endpoints.ConfigUrl(), "http://127.0.0.1:9/Kelpo/html/new_config.php");
    EXPECT_EQ(endpoints.LogoUrl(), "http://127.0.0.1:9/Kelpo/html/logo.html");
    EXPECT_EQ(endpoints.AuthUrl(), "http://127.0.0.1:9/Kelpo/html/auth.php");
    // The id's CP949 bytes go in as they are, not percent-encoded.
    EXPECT_EQ(endpoints.UploadUrl("\xB0\xA1"),
              "http://127.0.0.1:9/Kelpo/html/post.php?userid=\xB0\xA1");
    EXPECT_EQ(endpoints.ArchiveUrl("gamer01", "__WDB.zip"),
              "http://127.0.0.1:9/Kelpo/UserData/gamer01/__WDB.zip");
    // The request target the download measures against its buffer is that address's path.
    EXPECT_EQ(SEndpoints::ArchivePath("gamer01", "__WDB.zip"), "/Kelpo/UserData/gamer01/__WDB.zip");
    // Without a board of its own, the board page lies on the service's server.
    EXPECT_EQ(endpoints.strBoardUrl, "http://127.0.0.1:9/board/powerbbs.php?come_idx=1206");
}

TEST(Endpoints, StartUpReadsTheEnvironmentAndEmptyVariablesFallBackToTheBuiltInBases) {
    CEnvGuard env;
    env.Set("ZAV_SERVICE_URL", "").Unset("ZAV_PORTAL_URL").Unset("ZAV_CA_FILE");
    SEndpoints endpoints = SEndpoints::FromEnvironment();
    EXPECT_EQ(endpoints.strServiceBase, ZAV_TEST_SERVICE_DEFAULT);
    EXPECT_EQ(endpoints.LoginUrl(), std::string(ZAV_TEST_PORTAL_DEFAULT) + "/app/login");
    EXPECT_EQ(endpoints.strCaFile, "");
    EXPECT_EQ(SEndpoints().strServiceBase, ZAV_TEST_SERVICE_DEFAULT);

    env.Set("ZAV_PORTAL_URL", "https://localhost:8443").Set("ZAV_CA_FILE", "/tmp/cert.pem");
    endpoints = SEndpoints::FromEnvironment();
    EXPECT_EQ(endpoints.LoginUrl(), "https://localhost:8443/app/login");
    EXPECT_EQ(endpoints.strCaFile, "/tmp/cert.pem");
    // Read once: a later change of the environment does not move the value.
    env.Set("ZAV_PORTAL_URL", "https://elsewhere:1");
    EXPECT_EQ(endpoints.LoginUrl(), "https://localhost:8443/app/login");
}

TEST(Endpoints, BoardAcceptsABaseOrAFullPage) {
    for (const auto& [strGiven, strPage] : std::vector<std::pair<std::string, std::string>>{
             {"http://127.0.0.1:7", "http://127.0.0.1:7/board/powerbbs.php?come_idx=1206"},
             {"http://127.0.0.1:7/", "http://127.0.0.1:7/board/powerbbs.php?come_idx=1206"},
             {"http://example.test/news?id=3", "http://example.test/news?id=3"}}) {
        EXPECT_EQ(SEndpoints::FromBases("http://s", "https://p", strGiven).strBoardUrl, strPage);
        CEnvGuard board("ZAV_BOARD_URL", strGiven);
        EXPECT_EQ(SEndpoints::FromEnvironment().strBoardUrl, strPage);
    }
}

}  // namespace
