#include "net/http_request.h"

#include <algorithm>
#include <cstring>

#include "net/curl_util.h"
#include "platform/codepage.h"
#include "platform/diag_log.h"

namespace {

using curl_util::CHeaderList;
using curl_util::CurlHandle;

// Replies are short texts; anything beyond this is not a reply of the service.
constexpr size_t kMaxReplyBytes = 16 * 1024 * 1024;
// The reader takes the body in pieces of at most this many bytes; a NUL ends its piece.
constexpr size_t kPieceBytes = 1023;

struct SReplyCollector {
    std::string strText;
    size_t nReceived = 0;
    bool bTooLong = false;
};

size_t CollectBody(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pCollector = static_cast<SReplyCollector*>(pUser);
    size_t nBytes = nSize * nCount;
    pCollector->nReceived += nBytes;
    if (pCollector->nReceived > kMaxReplyBytes) {
        pCollector->bTooLong = true;
        return 0;  // aborts the transfer
    }
    for (size_t nOffset = 0; nOffset < nBytes; nOffset += kPieceBytes) {
        size_t nPiece = std::min(kPieceBytes, nBytes - nOffset);
        const char* pPiece = pData + nOffset;
        const void* pNul = std::memchr(pPiece, '\0', nPiece);
        if (pNul != nullptr)
            nPiece = static_cast<size_t>(static_cast<const char*>(pNul) - pPiece);
        pCollector->strText.append(pPiece, nPiece);
    }
    return nBytes;
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
    SReplyCollector collector;
    set(curl_easy_setopt(p, CURLOPT_WRITEFUNCTION, &CollectBody));
    set(curl_easy_setopt(p, CURLOPT_WRITEDATA, &collector));
    if (!bOk) {
        reply.strError = "cannot prepare the HTTP request";
        return reply;
    }

    CURLcode code = curl_easy_perform(p);
    long nStatus = 0;
    curl_easy_getinfo(p, CURLINFO_RESPONSE_CODE, &nStatus);
    reply.nStatus = nStatus;
    reply.strBody = std::move(collector.strText);
    reply.bTransportOk = code == CURLE_OK;
    if (!reply.bTransportOk) {
        reply.strError = collector.bTooLong ? std::string("reply too long")
                                            : curl_util::ErrorText(code, szError);
    }
    return reply;
}

std::optional<std::string> HttpRequest(const std::string& strUrl, int nMethod,
                                       const std::string* pBody, const std::string& strCaFile) {
    SHttpResult reply = HttpExchange(strUrl, nMethod, pBody, strCaFile);
    // The callers see only "no reply"; the cause goes to the log (never the body: a login's
    // body holds the password).
    const char* szMethod = (nMethod & 0xFF) == kHttpGet ? "GET " : "POST ";
    if (!reply.bTransportOk)
        DiagLog(szMethod + strUrl + ": " + reply.strError);
    else if (reply.nStatus < 200 || reply.nStatus > 299)
        DiagLog(szMethod + strUrl + ": status " + std::to_string(reply.nStatus));
    // A reply cut off by a transport failure is not the server's answer: it counts as none.
    if (!reply.bTransportOk || reply.strBody.empty())
        return std::nullopt;
    return std::move(reply.strBody);
}

bool HttpGlobalInit() {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}
