#include <curl/curl.h>

#include "net/curl_util.h"
#include "net/http_request.h"
#include "net/reply_text.h"

namespace {

using curl_util::CHeaderList;
using curl_util::CurlHandle;

size_t CollectBody(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pText = static_cast<net_detail::CReplyText*>(pUser);
    size_t nBytes = nSize * nCount;
    return pText->Append(pData, nBytes) ? nBytes : 0;  // 0 aborts the transfer
}

}  // namespace

SHttpResult HttpExchange(const std::string& strUrl, int nMethod, const std::string* pBody,
                         const std::string& strCaFile) {
    SHttpResult reply;
    const bool bGet = (nMethod & 0xFF) == kHttpGet;
    const bool bSecure = strUrl.compare(0, 5, "https") == 0;
    const size_t nBodyBytes = pBody != nullptr ? pBody->size() : 0;

    CurlHandle pCurl(curl_easy_init());
    if (!pCurl) {
        reply.strError = "cannot create an HTTP session";
        return reply;
    }
    char szError[CURL_ERROR_SIZE] = {};
    bool bOk = curl_util::ApplyCommonOptions(pCurl.get(), strUrl, szError, strCaFile);

    CHeaderList headers;
    if (bSecure) {
        bOk = bOk && headers.Append("Content-type: application/x-www-form-urlencoded");
        bOk = bOk && headers.Append("Accept:");  // no Accept line over HTTPS
    } else {
        bOk = bOk && headers.Append("Accept: text/*");
        bOk = bOk && headers.Append("User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)");
        bOk = bOk && headers.Append("Content-type: application/x-www-form-urlencoded");
        bOk = bOk && headers.Append("Content-length: " + std::to_string(nBodyBytes));
    }
    bOk = bOk && headers.Append("Expect:");  // the body goes out at once, no 100-continue

    CURL* p = pCurl.get();
    auto set = [&bOk](CURLcode code) { bOk = bOk && code == CURLE_OK; };
    set(curl_easy_setopt(p, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
    set(curl_easy_setopt(p, CURLOPT_REFERER, "text/*"));
    set(curl_easy_setopt(p, CURLOPT_HTTPHEADER, headers.Get()));
    if (!bGet || nBodyBytes > 0) {
        set(curl_easy_setopt(p, CURLOPT_POSTFIELDS, pBody != nullptr ? pBody->data() : ""));
        set(curl_easy_setopt(p, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(nBodyBytes)));
        if (bGet)
            set(curl_easy_setopt(p, CURLOPT_CUSTOMREQUEST, "GET"));
    } else {
        set(curl_easy_setopt(p, CURLOPT_HTTPGET, 1L));
    }
    net_detail::CReplyText text;
    set(curl_easy_setopt(p, CURLOPT_WRITEFUNCTION, &CollectBody));
    set(curl_easy_setopt(p, CURLOPT_WRITEDATA, &text));
    if (!bOk) {
        reply.strError = "cannot prepare the HTTP request";
        return reply;
    }

    CURLcode code = curl_easy_perform(p);
    long nStatus = 0;
    curl_easy_getinfo(p, CURLINFO_RESPONSE_CODE, &nStatus);
    reply.nStatus = nStatus;
    reply.strBody = text.Take();
    reply.bTransportOk = code == CURLE_OK;
    if (!reply.bTransportOk) {
        reply.strError =
            text.TooLong() ? std::string("reply too long") : curl_util::ErrorText(code, szError);
    }
    return reply;
}

bool HttpGlobalInit() {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}
