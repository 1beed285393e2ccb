#include "net/curl_util.h"

#include <cstdlib>

#include "net/http_request.h"

namespace curl_util {

bool CHeaderList::Append(const std::string& strLine) {
    curl_slist* pNew = curl_slist_append(m_pList.get(), strLine.c_str());
    if (pNew == nullptr)
        return false;
    m_pList.release();  // pNew now heads the same list
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

}  // namespace

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
    std::string strNoProxy = NoProxyList();
    set(curl_easy_setopt(pCurl, CURLOPT_NOPROXY, strNoProxy.c_str()));
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
