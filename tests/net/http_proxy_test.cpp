// The proxy libcurl is given, and what a request asks a proxy for (POSIX: on Windows WinINet
// takes the system's proxy settings).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "net/curl_util.h"
#include "net/http_request.h"
#include "net/http_transfer.h"
#include "support/env_guard.h"
#include "support/sandbox.h"
#include "support/scripted_server.h"
#include "support/test_socket.h"

namespace {

// The environment of one case: every proxy variable unset but the ones given.
class CProxyEnvironment {
public:
    explicit CProxyEnvironment(const std::vector<std::pair<std::string, std::string>>& vars) {
        for (const char* szName : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                   "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            m_env.Unset(szName);
        for (const auto& [strName, strValue] : vars)
            m_env.Set(strName, strValue);
    }

private:
    CEnvGuard m_env;
};

TEST(ProxyChoice, FollowsTheEnvironmentAsLibcurlReadsIt) {
    struct SCase {
        std::vector<std::pair<std::string, std::string>> vars;
        std::string strUrl;
        std::string strProxy;  // expected, "" for none
    };
    const std::string strP = "http://proxy.lan:3128";
    const std::string strWeb = "http://zav.example.com:8080/Kelpo/html/auth.php";
    const std::vector<SCase> cases = {
        {{}, strWeb, ""},
        {{{"http_proxy", strP}}, strWeb, strP},
        {{{"HTTP_PROXY", strP}}, strWeb, ""},  // upper case is not read for plain HTTP
        {{{"http_proxy", strP}}, "https://zav.example.com/app/login", ""},
        {{{"HTTPS_PROXY", strP}}, "https://zav.example.com/app/login", strP},
        {{{"https_proxy", strP}, {"HTTPS_PROXY", "http://other:1"}}, "https://a.b/x", strP},
        {{{"ALL_PROXY", strP}}, strWeb, strP},
        {{{"all_proxy", strP}, {"http_proxy", "http://first:1"}}, strWeb, "http://first:1"},
        // Loopback, whatever the environment says.
        {{{"http_proxy", strP}}, "http://127.0.0.1:8080/x", ""},
        {{{"http_proxy", strP}}, "http://localhost:8080/x", ""},
        {{{"http_proxy", strP}}, "http://[::1]:8080/x", ""},
        // The no-proxy list.
        {{{"http_proxy", strP}, {"no_proxy", "example.com"}}, strWeb, ""},
        {{{"http_proxy", strP}, {"no_proxy", ".EXAMPLE.com"}}, strWeb, ""},
        {{{"http_proxy", strP}, {"no_proxy", "ample.com"}}, strWeb, strP},
        {{{"http_proxy", strP}, {"no_proxy", "zav.example.com.other"}}, strWeb, strP},
        {{{"http_proxy", strP}, {"NO_PROXY", "a.b, zav.example.com"}}, strWeb, ""},
        {{{"http_proxy", strP}, {"no_proxy", "*"}}, strWeb, ""},
        {{{"http_proxy", strP}, {"no_proxy", "10.1.0.0/16"}}, "http://10.1.2.3/x", ""},
        {{{"http_proxy", strP}, {"no_proxy", "10.1.0.0/16"}}, "http://10.2.2.3/x", strP},
        {{{"http_proxy", strP}, {"no_proxy", "10.1.2.3"}}, "http://10.1.2.3/x", ""},
        {{{"http_proxy", strP}, {"no_proxy", "fd00::/8"}}, "http://[fd12::1]/x", ""},
        {{{"http_proxy", strP}, {"no_proxy", "10.1.0.0/99"}}, "http://10.1.2.3/x", strP},
    };
    for (const SCase& proxyCase : cases) {
        CProxyEnvironment env(proxyCase.vars);
        std::string strVars;
        for (const auto& [strName, strValue] : proxyCase.vars)
            strVars += strName + "=" + strValue + " ";
        EXPECT_EQ(curl_util::ProxyFor(proxyCase.strUrl), proxyCase.strProxy)
            << strVars << proxyCase.strUrl;
    }
}

// Through a proxy a plain HTTP request names the whole address, with the id's CP949 bytes as
// they are; the proxy passes it on.
TEST(ProxyChoice, ProxyIsAskedForTheWholeAddressWithTheBytesAsGiven) {
    CScriptedServer proxy(CScriptedServer::Reply(200, "PK"));
    CProxyEnvironment env({{"http_proxy", proxy.BaseUrl()}});
    const std::string strUrl =
        "http://zav.example.com:8080/Kelpo/UserData/\xB0\xD4\xC0\xCC\xB8\xD3/__WTF.zip";
    CHttpTransfer transfer;
    SHttpResult result =
        transfer.Get(strUrl, {}, true, "Tavrin", [](const char*, size_t) { return true; });
    EXPECT_TRUE(result.bTransportOk) << result.strError;
    EXPECT_EQ(HeadLines(proxy.Request())[0], "GET " + strUrl + " HTTP/1.0");

    std::optional<std::string> reply =
        HttpRequest("http://zav.example.com:8080/Kelpo/html/auth.php", kHttpPost, "mode=du");
    EXPECT_EQ(reply, "PK");
    EXPECT_EQ(proxy.Requests(2)[1].RequestLine(),
              "POST http://zav.example.com:8080/Kelpo/html/auth.php HTTP/1.1");
}

// A proxy that opens one tunnel: it records the CONNECT request, answers 200 and passes the
// bytes both ways to 127.0.0.1:nTargetPort, whatever host the request names.
class CTunnelProxy {
public:
    explicit CTunnelProxy(int nTargetPort) : m_nTargetPort(nTargetPort) {
        using namespace test_socket;
        m_nListener = ::socket(AF_INET, SOCK_STREAM | kCloexec, 0);
        sockaddr_in address = Loopback(0);
        socklen_t nLength = sizeof address;
        if (::bind(m_nListener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_nListener, 1) == 0 &&
            ::getsockname(m_nListener, reinterpret_cast<sockaddr*>(&address), &nLength) == 0)
            m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CTunnelProxy() {
        ::shutdown(m_nListener, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        test_socket::Close(m_nListener);
    }
    CTunnelProxy(const CTunnelProxy&) = delete;
    CTunnelProxy& operator=(const CTunnelProxy&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }
    // The CONNECT request's head, once the tunnel has ended.
    std::string Head() {
        if (m_thread.joinable())
            m_thread.join();
        return m_strHead;
    }

private:
    void Serve() {
        using namespace test_socket;
        if (test_socket::WaitReadable(m_nListener, kNone, 10000) != 0)
            return;
        const Socket nClient = Accept(m_nListener);
        if (nClient == kNone)
            return;
        char ach[16384];
        while (m_strHead.find("\r\n\r\n") == std::string::npos) {
            if (WaitReadable(nClient, kNone, 10000) != 0)
                break;
            const long n = Receive(nClient, ach, sizeof ach);
            if (n <= 0)
                break;
            m_strHead.append(ach, static_cast<size_t>(n));
        }
        const Socket nServer = Connect(m_nTargetPort);
        if (nServer != kNone && SendAll(nClient, "HTTP/1.1 200 Connection established\r\n\r\n")) {
            // Each side's bytes to the other, until one of them ends.
            for (;;) {
                const int nReady = WaitReadable(nClient, nServer, 10000);
                if (nReady < 0)
                    break;
                const long n = Receive(nReady == 0 ? nClient : nServer, ach, sizeof ach);
                if (n <= 0 || !SendAll(nReady == 0 ? nServer : nClient,
                                       std::string(ach, static_cast<size_t>(n))))
                    break;
            }
        }
        Close(nServer);
        Close(nClient);
    }

    int m_nTargetPort;
    int m_nPort = 0;
    test_socket::Socket m_nListener = test_socket::kNone;
    std::string m_strHead;
    std::thread m_thread;
};

// HTTPS through a proxy goes through a tunnel: the proxy is asked to connect to the host, and
// the server itself, its name checked against its certificate, is asked for the path alone.
TEST(ProxyChoice, HttpsGoesThroughATunnelAndAsksTheServerForThePath) {
    CSandbox tls;
    const std::string strMake =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=zav.example.com -addext subjectAltName=DNS:zav.example.com -keyout '" +
        tls.Path("key.pem") + "' -out '" + tls.Path("cert.pem") + "' 2>/dev/null";
    ASSERT_EQ(std::system(strMake.c_str()), 0);
    CScriptedServer server(CScriptedServer::Reply(200, "OK"),
                           CScriptedServer::STls{tls.Path("cert.pem"), tls.Path("key.pem")});
    CTunnelProxy proxy(server.Port());
    CProxyEnvironment env({{"https_proxy", proxy.Url()}});
    const std::string strUrl =
        "https://zav.example.com:" + std::to_string(server.Port()) + "/app/login";

    CHttpTransfer transfer(tls.Path("cert.pem"));
    std::string strBody;
    SHttpResult result = transfer.Get(strUrl, {}, true, "Tavrin", [&](const char* p, size_t n) {
        strBody.append(p, n);
        return true;
    });
    EXPECT_TRUE(result.bTransportOk) << result.strError;
    EXPECT_EQ(strBody, "OK");
    EXPECT_EQ(HeadLines(server.Request())[0], "GET /app/login HTTP/1.0");
    EXPECT_EQ(HeadLines(proxy.Head())[0],
              "CONNECT zav.example.com:" + std::to_string(server.Port()) + " HTTP/1.1");
}

TEST(ProxyChoice, LoopbackIsReachedDirectlyWhateverTheEnvironmentSays) {
    CClosedPort proxy;
    CScriptedServer server(CScriptedServer::Reply(200, "+OK<br>"));
    CProxyEnvironment env({{"http_proxy", proxy.BaseUrl()}, {"no_proxy", ""}});
    EXPECT_EQ(HttpRequest(server.BaseUrl() + "/Kelpo/html/auth.php", kHttpPost, "mode=du"),
              "+OK<br>");
    EXPECT_EQ(HeadLines(server.Request())[0], "POST /Kelpo/html/auth.php HTTP/1.1");
}

}  // namespace
