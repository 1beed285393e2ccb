#include "net/curl_util.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "net/http_request.h"
#include "platform/ascii_case.h"

namespace curl_util {

bool CHeaderList::Append(const std::string& strLine) {
    curl_slist* pNew = curl_slist_append(m_pList.get(), strLine.c_str());
    if (pNew == nullptr)
        return false;
    static_cast<void>(m_pList.release());  // pNew now heads the same list
    m_pList.reset(pNew);
    return true;
}

namespace {

// Loopback is never sent through a proxy: the stand-in service runs there.
std::string NoProxyList() {
    std::string strList = "localhost,127.0.0.1,::1";
    for (const char* szName : {"no_proxy", "NO_PROXY"}) {
        const char* szValue = std::getenv(szName);
        if (szValue != nullptr && *szValue != '\0') {
            strList += ',';
            strList += szValue;
            break;
        }
    }
    return strList;
}

std::string FirstSetVariable(std::initializer_list<const char*> names) {
    for (const char* szName : names) {
        const char* szValue = std::getenv(szName);
        if (szValue != nullptr && *szValue != '\0')
            return szValue;
    }
    return {};
}

// The address's bytes when host is an IPv4 or IPv6 address (4 or 16), else none.
std::vector<unsigned char> AddressBytes(const std::string& strHost) {
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, strHost.c_str(), bytes) == 1)
        return {bytes, bytes + 4};
    if (inet_pton(AF_INET6, strHost.c_str(), bytes) == 1)
        return {bytes, bytes + 16};
    return {};
}

// Whether one entry of a no-proxy list names the host.
bool EntryMatches(std::string_view host, std::string_view entry) {
    const std::vector<unsigned char> address = AddressBytes(std::string(host));
    if (!address.empty()) {
        const size_t nSlash = entry.find('/');
        const std::vector<unsigned char> network =
            AddressBytes(std::string(entry.substr(0, nSlash)));
        if (network.size() != address.size())
            return false;
        size_t nBits = address.size() * 8;
        if (nSlash != std::string_view::npos) {
            const std::string strBits(entry.substr(nSlash + 1));
            char* pEnd = nullptr;
            const unsigned long nValue = std::strtoul(strBits.c_str(), &pEnd, 10);
            if (strBits.empty() || *pEnd != '\0' || nValue > nBits)
                return false;
            nBits = nValue;
        }
        for (size_t i = 0; i < nBits; ++i) {
            const int nMask = 0x80 >> (i % 8);
            if ((address[i / 8] & nMask) != (network[i / 8] & nMask))
                return false;
        }
        return true;
    }
    if (!entry.empty() && entry.front() == '.')
        entry.remove_prefix(1);
    if (entry.empty())
        return false;
    if (EqualAsciiNoCase(host, entry))
        return true;
    return host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
           EqualAsciiNoCase(host.substr(host.size() - entry.size()), entry);
}

bool NoProxyMatches(std::string_view host, std::string_view list) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    size_t nAt = 0;
    while (nAt < list.size()) {
        size_t nEnd = list.find_first_of(", ", nAt);
        if (nEnd == std::string_view::npos)
            nEnd = list.size();
        const std::string_view entry = list.substr(nAt, nEnd - nAt);
        if (entry == "*" || (!entry.empty() && EntryMatches(host, entry)))
            return true;
        nAt = nEnd + 1;
    }
    return false;
}

struct SUrlDeleter {
    void operator()(CURLU* p) const { curl_url_cleanup(p); }
};

// A URL part as libcurl reads it, "" when it has none.
std::string UrlPart(CURLU* pUrl, CURLUPart part) {
    char* szPart = nullptr;
    if (curl_url_get(pUrl, part, &szPart, 0) != CURLUE_OK)
        return {};
    std::string strPart = szPart;
    curl_free(szPart);
    return strPart;
}

// "/path?query" of "scheme://host[:port]/path?query", as the URL holds it.
std::string OriginForm(const std::string& strUrl) {
    const size_t nScheme = strUrl.find("://");
    const size_t nPath = strUrl.find_first_of("/?", nScheme == std::string::npos ? 0 : nScheme + 3);
    if (nPath == std::string::npos)
        return "/";
    return strUrl[nPath] == '/' ? strUrl.substr(nPath) : "/" + strUrl.substr(nPath);
}

}  // namespace

std::string ProxyFor(const std::string& strUrl) {
    std::unique_ptr<CURLU, SUrlDeleter> pUrl(curl_url());
    if (!pUrl || curl_url_set(pUrl.get(), CURLUPART_URL, strUrl.c_str(), 0) != CURLUE_OK)
        return {};
    const std::string strScheme = UrlPart(pUrl.get(), CURLUPART_SCHEME);
    std::string strHost = UrlPart(pUrl.get(), CURLUPART_HOST);
    if (strHost.size() > 2 && strHost.front() == '[' && strHost.back() == ']')
        strHost = strHost.substr(1, strHost.size() - 2);
    if (NoProxyMatches(strHost, NoProxyList()))
        return {};
    std::string strProxy = EqualAsciiNoCase(strScheme, "https")
                               ? FirstSetVariable({"https_proxy", "HTTPS_PROXY"})
                               : FirstSetVariable({"http_proxy"});
    if (strProxy.empty())
        strProxy = FirstSetVariable({"all_proxy", "ALL_PROXY"});
    return strProxy;
}

bool ApplyCommonOptions(CURL* pCurl, const std::string& strUrl, char* szErrorBuffer,
                        const std::string& strCaFile) {
    bool bOk = true;
    auto set = [&bOk](CURLcode code) { bOk = bOk && code == CURLE_OK; };
    set(curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str()));
    set(curl_easy_setopt(pCurl, CURLOPT_ERRORBUFFER, szErrorBuffer));
    set(curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds));
    set(curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set(curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_TIME, kStallSeconds));
    set(curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 0L));
    // The proxy is chosen here, not by libcurl from the environment, because the request
    // target depends on it: "" turns the environment's proxy off, and an empty no-proxy list
    // keeps libcurl from second-guessing the choice.
    const std::string strProxy = ProxyFor(strUrl);
    set(curl_easy_setopt(pCurl, CURLOPT_PROXY, strProxy.c_str()));
    set(curl_easy_setopt(pCurl, CURLOPT_NOPROXY, ""));
    // Through a proxy, plain HTTP asks for the whole address; HTTPS goes through a tunnel and
    // asks the server itself.
    const bool bAbsolute = !strProxy.empty() && strUrl.compare(0, 5, "https") != 0;
    const std::string strTarget = bAbsolute ? strUrl : OriginForm(strUrl);
    set(curl_easy_setopt(pCurl, CURLOPT_REQUEST_TARGET, strTarget.c_str()));
    // CAINFO names one extra file; the system's certificate folder (CAPATH, libcurl's built-in
    // default) stays in use beside it, so public sites remain trusted.
    if (!strCaFile.empty())
        set(curl_easy_setopt(pCurl, CURLOPT_CAINFO, strCaFile.c_str()));
    if (szErrorBuffer != nullptr)
        szErrorBuffer[0] = '\0';
    return bOk;
}

std::string ErrorText(CURLcode code, const char* szErrorBuffer) {
    if (szErrorBuffer != nullptr && szErrorBuffer[0] != '\0')
        return szErrorBuffer;
    return curl_easy_strerror(code);
}

}  // namespace curl_util
