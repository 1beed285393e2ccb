// The web transport against a running zav-service on loopback (HTTP and HTTPS).
#include <gtest/gtest.h>

#include "net/endpoints.h"
#include "net/http_request.h"
#include "net/http_transfer.h"
#include "support/live_service.h"

namespace {

const std::string kLoginCode = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f";

class LiveTransport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember("gamer01", "secret", "게이머"));
        m_pEnv = std::make_unique<CScopedClientEnvironment>(m_service);
    }
    void TearDown() override { m_pEnv.reset(); }

    std::optional<std::string> Login(const std::string& strPw) {
        return HttpRequest(endpoints::LoginUrl(), kHttpPost,
                           "code=" + kLoginCode + "&id=gamer01&pw=" + strPw);
    }

    CLiveService m_service;
    std::unique_ptr<CScopedClientEnvironment> m_pEnv;
};

TEST_F(LiveTransport, ConfigurationArrivesOverPlainHttp) {
    std::optional<std::string> reply = HttpRequest(endpoints::ConfigUrl(), kHttpGet);
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(reply->find("MAX_UPLOAD_LIMIT=20"), std::string::npos) << *reply;
    EXPECT_NE(reply->find("CRRT_VERSION=1.2"), std::string::npos) << *reply;
}

TEST_F(LiveTransport, AccountScriptAnswersAFormPost) {
    std::optional<std::string> reply =
        HttpRequest(endpoints::AuthUrl(), kHttpPost, "mode=freespace");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rfind("+OK<br>", 0), 0u) << *reply;
    EXPECT_EQ(reply->back(), '%') << *reply;
}

TEST_F(LiveTransport, LoginOverHttpsTrustsTheServiceCertificate) {
    std::optional<std::string> ok = Login("secret");
    ASSERT_TRUE(ok.has_value());
    ASSERT_GT(ok->size(), 89u);
    EXPECT_EQ(ok->substr(67, 2), "OK");
    EXPECT_EQ(ok->substr(87, ok->size() - 87 - 18), "게이머");

    std::optional<std::string> refused = Login("wrong");
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->substr(67, 3), "ERR");
}

TEST_F(LiveTransport, HttpsWithoutTheExtraCertificateIsRefused) {
    unsetenv("ZAV_CA_FILE");
    SHttpReply reply = HttpExchange(endpoints::LoginUrl(), kHttpPost, nullptr);
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(Login("secret"), std::nullopt);
}

TEST_F(LiveTransport, MissingArchiveGivesTheErrorStatusAndItsBody) {
    ASSERT_TRUE(Login("secret").has_value());  // binds the member to this address
    SHttpReply reply =
        HttpExchange(endpoints::ArchiveUrl("gamer01", "__WTF.zip"), kHttpGet, nullptr);
    EXPECT_TRUE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 404);
}

TEST_F(LiveTransport, StreamedUploadIsServedBackByteForByte) {
    ASSERT_TRUE(Login("secret").has_value());
    std::string strArchive(700000, '\0');
    for (size_t i = 0; i < strArchive.size(); ++i)
        strArchive[i] = static_cast<char>(i * 31 + 7);
    std::string strBody =
        "--AaB03x\r\ncontent-disposition: form-data; name=\"UserFile004\"; "
        "filename=\"__Fonts.zip\"\r\nContent-Type: multipart/mixed\r\n"
        "Content-Transfer-Encoding: binary\r\n\r\n" +
        strArchive + "\r\n--AaB03x\r\n\r\n";
    size_t nOffset = 0;
    CHttpTransfer transfer;
    SHttpResult posted = transfer.Post(endpoints::UploadUrl("gamer01"),
                                       {"Content-Type: multipart/form-data, boundary=AaB03x"},
                                       strBody.size(), [&](char* pBuffer, size_t nSize) {
                                           size_t n = std::min(nSize, strBody.size() - nOffset);
                                           std::copy_n(strBody.data() + nOffset, n, pBuffer);
                                           nOffset += n;
                                           return n;
                                       });
    ASSERT_TRUE(posted.bTransportOk) << posted.strError;
    EXPECT_EQ(posted.nStatus / 100, 2);

    std::string strReceived;
    SHttpResult got = transfer.Get(endpoints::ArchiveUrl("gamer01", "__Fonts.zip"), {}, true,
                                   "Tavrin", [&](const char* p, size_t n) {
                                       strReceived.append(p, n);
                                       return true;
                                   });
    ASSERT_TRUE(got.bTransportOk) << got.strError;
    EXPECT_EQ(got.nStatus, 200);
    EXPECT_TRUE(strReceived == strArchive);

    std::optional<std::string> du =
        HttpRequest(endpoints::AuthUrl(), kHttpPost, "mode=du&id=gamer01");
    ASSERT_TRUE(du.has_value());
    EXPECT_NE(du->find("Fonts=700000"), std::string::npos) << *du;
}

TEST(LiveTransportDown, StoppedServiceGivesNoReply) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    CScopedClientEnvironment env(service);
    service.Stop();
    EXPECT_EQ(HttpRequest(endpoints::ConfigUrl(), kHttpGet), std::nullopt);
}

}  // namespace
