// The web transport against a running zav-service on loopback (HTTP and HTTPS).
#include <gtest/gtest.h>

#include <algorithm>

#include "net/endpoints.h"
#include "net/http_request.h"
#include "support/live_service.h"
#include "support/scripted_server.h"

namespace {

const std::string kLoginCode = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f";

class LiveTransport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.IsRunning());
        ASSERT_TRUE(m_service.AddMember("gamer01", "secret", "게이머"));
        m_endpoints = m_service.Endpoints();
    }

    std::optional<std::string> Login(const std::string& strPw, const std::string& strCaFile) {
        return HttpRequest(m_endpoints.LoginUrl(), kHttpPost,
                           "code=" + kLoginCode + "&id=gamer01&pw=" + strPw, strCaFile);
    }
    std::optional<std::string> Login(const std::string& strPw) {
        return Login(strPw, m_endpoints.strCaFile);
    }

    CLiveService m_service;
    SEndpoints m_endpoints;
};

TEST_F(LiveTransport, ConfigurationArrivesOverPlainHttp) {
    std::optional<std::string> reply = HttpRequest(m_endpoints.ConfigUrl(), kHttpGet);
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(reply->find("MAX_UPLOAD_LIMIT=20"), std::string::npos) << *reply;
    EXPECT_NE(reply->find("CRRT_VERSION=1.2"), std::string::npos) << *reply;
}

TEST_F(LiveTransport, AccountScriptAnswersAFormPost) {
    std::optional<std::string> reply =
        HttpRequest(m_endpoints.AuthUrl(), kHttpPost, "mode=freespace");
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
    SHttpResult reply = HttpExchange(m_endpoints.LoginUrl(), kHttpPost, nullptr);
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(Login("secret", ""), std::nullopt);
}

TEST_F(LiveTransport, AnotherCertificateThanTheServersIsRefused) {
    // A second service makes a self-signed certificate of its own; trusting that one must not
    // make this service's certificate trusted.
    CLiveService other;
    ASSERT_TRUE(other.IsRunning());
    SHttpResult reply = HttpExchange(m_endpoints.LoginUrl(), kHttpPost, nullptr, other.CaFile());
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 0);
    EXPECT_FALSE(reply.strError.empty());
    EXPECT_EQ(Login("secret", other.CaFile()), std::nullopt);
}

TEST_F(LiveTransport, MissingArchiveGivesTheErrorStatusAndItsBody) {
    ASSERT_TRUE(Login("secret").has_value());  // binds the member to this address
    SHttpResult reply =
        HttpExchange(m_endpoints.ArchiveUrl("gamer01", "__WTF.zip"), kHttpGet, nullptr);
    EXPECT_TRUE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 404);
}

// Answers one HTTPS request with "answer" under the service's certificate and records it as it
// came over TLS. The Windows test build has no TLS server: there the broker on the host does it.
#ifdef _WIN32
class CTlsRecorder {
public:
    explicit CTlsRecorder(const CLiveService& service)
        : m_service(service), m_nPort(service.StartTlsRecorder()) {}
    std::string BaseUrl() const { return "https://localhost:" + std::to_string(m_nPort); }
    std::string Request() const { return m_service.RecordedTlsRequest(); }

private:
    const CLiveService& m_service;
    int m_nPort;
};
#else
class CTlsRecorder : public CScriptedServer {
public:
    explicit CTlsRecorder(const CLiveService& service)
        : CScriptedServer(CScriptedServer::Reply(200, "answer"),
                          STls{service.CaFile(), service.DataDir() + "/tls/key.pem"}) {}
};
#endif

TEST_F(LiveTransport, HttpsPostAddsOnlyTheContentType) {
    CTlsRecorder recorder(m_service);
    EXPECT_EQ(HttpRequest(recorder.BaseUrl() + "/app/login", kHttpPost, "code=x&id=a&pw=b",
                          m_endpoints.strCaFile),
              "answer");

    std::string strRequest = recorder.Request();
    std::vector<std::string> lines = HeadLines(strRequest);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "POST /app/login HTTP/1.1");
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Content-type: application/x-www-form-urlencoded"),
        lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Referer: text/*"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Length: 16"), lines.end());
    EXPECT_EQ(CountHeader(strRequest, "Accept"), 0);
    EXPECT_EQ(CountHeader(strRequest, "User-Agent"), 0);
    EXPECT_EQ(CountHeader(strRequest, "Content-Type"), 1);
    EXPECT_EQ(BodyOf(strRequest), "code=x&id=a&pw=b");
}

}  // namespace
