#include "net/endpoints.h"

#include <gtest/gtest.h>

#include "support/env_guard.h"

namespace {

TEST(Endpoints, ServicePathsFollowTheEnvironmentBase) {
    CEnvGuard env("ZAV_SERVICE_URL", "http://127.0.0.1:9/");  // trailing '/' is dropped
    EXPECT_EQ(endpoints::ServiceBase(), "http://127.0.0.1:9");
    EXPECT_EQ(endpoints::ConfigUrl(), "http://127.0.0.1:9/Kelpo/html/new_config.php");
    EXPECT_EQ(endpoints::LogoUrl(), "http://127.0.0.1:9/Kelpo/html/logo.html");
    EXPECT_EQ(endpoints::AuthUrl(), "http://127.0.0.1:9/Kelpo/html/auth.php");
    // The id's CP949 bytes go in as they are, not percent-encoded.
    EXPECT_EQ(endpoints::UploadUrl("\xB0\xA1"),
              "http://127.0.0.1:9/Kelpo/html/post.php?userid=\xB0\xA1");
    EXPECT_EQ(endpoints::ArchiveUrl("gamer01", "__WDB.zip"),
              "http://127.0.0.1:9/Kelpo/UserData/gamer01/__WDB.zip");
}

TEST(Endpoints, EmptyVariableFallsBackToTheBuiltInBase) {
    CEnvGuard env("ZAV_SERVICE_URL", "");
    EXPECT_EQ(endpoints::ServiceBase(), ZAV_TEST_SERVICE_DEFAULT);
    CEnvGuard portal;
    portal.Unset("ZAV_PORTAL_URL");
    EXPECT_EQ(endpoints::LoginUrl(), std::string(ZAV_TEST_PORTAL_DEFAULT) + "/app/login");
}

TEST(Endpoints, PortalLoginAndCertificateFile) {
    CEnvGuard portal("ZAV_PORTAL_URL", "https://localhost:8443");
    CEnvGuard ca("ZAV_CA_FILE", "/tmp/cert.pem");
    EXPECT_EQ(endpoints::LoginUrl(), "https://localhost:8443/app/login");
    EXPECT_EQ(endpoints::CaFile(), "/tmp/cert.pem");
}

TEST(Endpoints, BoardAcceptsABaseOrAFullPage) {
    {
        CEnvGuard board("ZAV_BOARD_URL", "http://127.0.0.1:7");
        EXPECT_EQ(endpoints::BoardUrl(), "http://127.0.0.1:7/board/powerbbs.php?come_idx=1206");
    }
    {
        CEnvGuard board("ZAV_BOARD_URL", "http://127.0.0.1:7/");
        EXPECT_EQ(endpoints::BoardUrl(), "http://127.0.0.1:7/board/powerbbs.php?come_idx=1206");
    }
    {
        CEnvGuard board("ZAV_BOARD_URL", "http://example.test/news?id=3");
        EXPECT_EQ(endpoints::BoardUrl(), "http://example.test/news?id=3");
    }
}

}  // namespace
