// The proxy libcurl is given, and what a request asks a proxy for (POSIX: on Windows WinINet
// takes the system's proxy settings).
#include <gtest/gtest.h>

#include "net/curl_util.h"
#include "net/http_request.h"
#include "net/http_transfer.h"
#include "support/env_guard.h"
#include "support/scripted_server.h"

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

TEST(ProxyChoice, LoopbackIsReachedDirectlyWhateverTheEnvironmentSays) {
    CClosedPort proxy;
    CScriptedServer server(CScriptedServer::Reply(200, "+OK<br>"));
    CProxyEnvironment env({{"http_proxy", proxy.BaseUrl()}, {"no_proxy", ""}});
    EXPECT_EQ(HttpRequest(server.BaseUrl() + "/Kelpo/html/auth.php", kHttpPost, "mode=du"),
              "+OK<br>");
    EXPECT_EQ(HeadLines(server.Request())[0], "POST /Kelpo/html/auth.php HTTP/1.1");
}

}  // namespace
