#include "net/http_request.h"

#include "platform/diag_log.h"

// The text-level request over either transport (http_request_curl.cpp on POSIX,
// http_request_wininet.cpp on Windows).

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
