#ifdef _WIN32

#include "net/http_request.h"
#include "net/reply_text.h"
#include "net/wininet_util.h"

SHttpResult HttpExchange(const std::string& strUrl, int nMethod, const std::string* pBody,
                         const std::string& strCaFile) {
    SHttpResult reply;
    const bool bGet = (nMethod & 0xFF) == kHttpGet;
    const size_t nBodyBytes = pBody != nullptr ? pBody->size() : 0;

    wininet_util::CRequest request;
    if (!request.Open(strUrl, bGet ? L"GET" : L"POST", L"HTTP/1.1", L"text/*", strCaFile,
                      reply.strError))
        return reply;
    const bool bSecure = strUrl.compare(0, 5, "https") == 0;
    std::vector<std::string> lines;
    if (bSecure) {
        lines = {"Content-type: application/x-www-form-urlencoded"};
    } else {
        lines = {"Accept: text/*", "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0;* Windows NT)",
                 "Content-type: application/x-www-form-urlencoded",
                 "Content-length: " + std::to_string(nBodyBytes)};
    }
    if (!request.AddHeaders(lines, reply.strError) || !request.Begin(nBodyBytes, reply.strError) ||
        (nBodyBytes > 0 && !request.Write(pBody->data(), nBodyBytes, reply.strError)) ||
        !request.End(reply.strError))
        return reply;

    reply.nStatus = request.Status();
    net_detail::CReplyText text;
    bool bStopped = false;
    reply.bTransportOk = request.ReadBody(
        net_detail::kPieceBytes, [&text](const char* p, size_t n) { return text.Append(p, n); },
        bStopped, reply.strError);
    if (text.TooLong())
        reply.strError = "reply too long";
    reply.strBody = text.Take();
    return reply;
}

bool HttpGlobalInit() {
    return wininet_util::SessionsReady();
}

#endif  // _WIN32
