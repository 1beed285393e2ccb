// libcurl handles and the options every request of the program shares. Internal to net/.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace curl_util {

struct CurlDeleter {
    void operator()(CURL* p) const { curl_easy_cleanup(p); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};

// A header list that owns its nodes.
class CHeaderList {
public:
    // False when libcurl cannot allocate the node.
    bool Append(const std::string& strLine);
    curl_slist* Get() const { return m_pList.get(); }

private:
    std::unique_ptr<curl_slist, SlistDeleter> m_pList;
};

// Sets the URL, the connect and stall limits, HTTPS trust (system certificates plus strCaFile
// when not empty), the proxy (ProxyFor) and the request target: the URL's path and query
// exactly as given, bytes above 0x7F included (libcurl would percent-encode those of the path,
// and the protocol carries a member id's CP949 bytes raw), or through a proxy over plain HTTP
// the whole URL (the absolute form a proxy needs). False when an option is refused.
bool ApplyCommonOptions(CURL* pCurl, const std::string& strUrl, char* szErrorBuffer,
                        const std::string& strCaFile);

// The proxy a request to strUrl goes through, as the environment names it ("" for none):
// http_proxy for plain HTTP, https_proxy or HTTPS_PROXY for HTTPS, else all_proxy or
// ALL_PROXY; never for loopback (localhost, 127.0.0.1, ::1, where the stand-in service runs)
// or a host that no_proxy (else NO_PROXY) names. The rules are libcurl's: "*" names every
// host; a name matches that host and the hosts below it ("example.com" and ".example.com"
// match "www.example.com"); an address matches itself, or with "/bits" its network.
std::string ProxyFor(const std::string& strUrl);

// The error text of a failed transfer: the detail buffer when filled, else libcurl's text.
std::string ErrorText(CURLcode code, const char* szErrorBuffer);

}  // namespace curl_util
