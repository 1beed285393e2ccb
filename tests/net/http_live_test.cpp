// The web transport against a running zav-service on loopback (HTTP and HTTPS).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <thread>

#include "net/endpoints.h"
#include "net/http_request.h"
#include "raw_listener.h"
#include "support/live_service.h"
#include "support/scoped_env.h"

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
    UnsetEnv("ZAV_CA_FILE");
    SHttpReply reply = HttpExchange(endpoints::LoginUrl(), kHttpPost, nullptr);
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(Login("secret"), std::nullopt);
}

TEST_F(LiveTransport, AnotherCertificateThanTheServersIsRefused) {
    // A second service makes a self-signed certificate of its own; trusting that one must not
    // make this service's certificate trusted.
    CLiveService other;
    ASSERT_TRUE(other.IsRunning());
    SetEnv("ZAV_CA_FILE", other.CaFile());
    SHttpReply reply = HttpExchange(endpoints::LoginUrl(), kHttpPost, nullptr);
    EXPECT_FALSE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 0);
    EXPECT_FALSE(reply.strError.empty());
    EXPECT_EQ(Login("secret"), std::nullopt);
}

TEST_F(LiveTransport, MissingArchiveGivesTheErrorStatusAndItsBody) {
    ASSERT_TRUE(Login("secret").has_value());  // binds the member to this address
    SHttpReply reply =
        HttpExchange(endpoints::ArchiveUrl("gamer01", "__WTF.zip"), kHttpGet, nullptr);
    EXPECT_TRUE(reply.bTransportOk);
    EXPECT_EQ(reply.nStatus, 404);
}

// Answers one HTTPS request with the service's certificate and records it, so the lines the
// client adds over TLS can be checked byte for byte. On Windows the broker on the host does it.
#ifdef _WIN32
class CTlsRecorder {
public:
    explicit CTlsRecorder(const CLiveService& service)
        : m_service(service), m_nPort(service.StartTlsRecorder()) {}
    int Port() const { return m_nPort; }
    std::string Request() { return m_service.RecordedTlsRequest(); }

private:
    const CLiveService& m_service;
    int m_nPort;
};
#else
class CTlsRecorder {
public:
    explicit CTlsRecorder(const CLiveService& service) {
        const std::string strCert = service.DataDir() + "/tls/cert.pem";
        const std::string strKey = service.DataDir() + "/tls/key.pem";
        m_pCtx.reset(SSL_CTX_new(TLS_server_method()));
        if (!m_pCtx || SSL_CTX_use_certificate_chain_file(m_pCtx.get(), strCert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_pCtx.get(), strKey.c_str(), SSL_FILETYPE_PEM) != 1)
            return;
        m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof(addr);
        if (bind(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_nFd, 1) != 0 ||
            getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
            return;
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CTlsRecorder() {
        if (m_nFd >= 0)
            shutdown(m_nFd, SHUT_RDWR);  // wakes accept() if no client came
        if (m_thread.joinable())
            m_thread.join();
        if (m_nFd >= 0)
            close(m_nFd);
    }
    int Port() const { return m_nPort; }
    // Valid after the client's request returned.
    std::string Request() {
        if (m_thread.joinable())
            m_thread.join();
        return m_strRequest;
    }

private:
    struct SslCtxFree {
        void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    };
    struct SslFree {
        void operator()(SSL* p) const { SSL_free(p); }
    };

    void Serve() {
        int nClient = accept4(m_nFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nClient < 0)
            return;
        std::unique_ptr<SSL, SslFree> pSsl(SSL_new(m_pCtx.get()));
        SSL_set_fd(pSsl.get(), nClient);
        if (SSL_accept(pSsl.get()) == 1) {
            char buffer[4096];
            while (true) {
                size_t nHead = m_strRequest.find("\r\n\r\n");
                if (nHead != std::string::npos) {
                    std::string strLength;
                    for (const std::string& strLine : HeadLines(m_strRequest)) {
                        if (strLine.rfind("Content-Length: ", 0) == 0)
                            strLength = strLine.substr(16);
                    }
                    size_t nBody = strLength.empty() ? 0 : std::stoul(strLength);
                    if (m_strRequest.size() >= nHead + 4 + nBody)
                        break;
                }
                int n = SSL_read(pSsl.get(), buffer, sizeof(buffer));
                if (n <= 0)
                    break;
                m_strRequest.append(buffer, static_cast<size_t>(n));
            }
            std::string strReply = CRawListener::Reply(200, "answer");
            SSL_write(pSsl.get(), strReply.data(), static_cast<int>(strReply.size()));
            SSL_shutdown(pSsl.get());
        }
        pSsl.reset();
        close(nClient);
    }

    std::unique_ptr<SSL_CTX, SslCtxFree> m_pCtx;
    int m_nFd = -1;
    int m_nPort = 0;
    std::thread m_thread;
    std::string m_strRequest;
};

#endif  // _WIN32

TEST_F(LiveTransport, HttpsPostAddsOnlyTheContentType) {
    CTlsRecorder recorder(m_service);
    ASSERT_NE(recorder.Port(), 0);
    // The host the certificate is checked against: the service's own HTTPS host.
    std::string strBase = m_service.HttpsBase();
    std::string strUrl =
        strBase.substr(0, strBase.rfind(':') + 1) + std::to_string(recorder.Port()) + "/app/login";
    EXPECT_EQ(HttpRequest(strUrl, kHttpPost, "code=x&id=a&pw=b"), "answer");

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
