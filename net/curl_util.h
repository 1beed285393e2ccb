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
// when not empty) and proxy handling (the environment's proxy settings, never for loopback).
// False when an option is refused.
bool ApplyCommonOptions(CURL* pCurl, const std::string& strUrl, char* szErrorBuffer,
                        const std::string& strCaFile);

// The error text of a failed transfer: the detail buffer when filled, else libcurl's text.
std::string ErrorText(CURLcode code, const char* szErrorBuffer);

}  // namespace curl_util
