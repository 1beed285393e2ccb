// One blocking web request whose whole reply body comes back as text.
//
// Time limits (both requests here and the streamed transfers of http_transfer.h):
//   connect: 15 seconds to reach the server (kConnectTimeoutSeconds);
//   stall:   a transfer that moves fewer than 1 byte per second for 60 seconds is aborted
//            (kStallSeconds). A transfer that keeps moving is never cut off, however long.
// So a dead or silent server cannot hang the program; a slow but live one is still served.
#pragma once

#include <functional>
#include <optional>
#include <string>

inline constexpr long kConnectTimeoutSeconds = 15;
inline constexpr long kStallSeconds = 60;

// Method selectors: the low byte 1 is GET, every other value POST.
inline constexpr int kHttpGet = 1;
inline constexpr int kHttpPost = 2;

// What came back from one exchange, for the one-shot requests here and the streamed transfers
// of http_transfer.h alike. A transport failure (no connection, TLS refused, stall, connection
// closed mid-reply, a callback that stopped it) and a server answer (any status, 404 and 500
// included) are kept apart so that callers can tell them apart.
struct SHttpResult {
    bool bTransportOk = false;  // a complete HTTP reply arrived
    long nStatus = 0;           // its status code whenever a status line arrived (0 when none did)
    std::string strBody;        // the body as the text reader sees it (see HttpRequest); for a
                                // streamed POST, at most 64 KB of the reply; empty for a GET stream
    std::string strError;       // the transport's error text when bTransportOk is false
    bool bAborted = false;      // a streamed transfer's callback asked to stop
};

// The exchange behind HttpRequest, with the transport outcome kept.
//   strUrl:  full URL (scheme, host, optional port, path); "https" at the start selects TLS.
//   nMethod: low byte 1 -> GET, else POST.
//   pBody:   sent exactly as given (callers build form bodies and insert CP949 bytes
//            themselves); nullptr for no body.
// Plain HTTP adds the lines "Accept: text/*", "User-Agent: Mozilla/4.0 (compatible; MSIE
// 5.0;* Windows NT)", "Content-type: application/x-www-form-urlencoded" and
// "Content-length: N" (0 without a body); HTTPS adds only the content type. Both send
// "Referer: text/*" and speak HTTP/1.1. The body is read as text: in each piece of at most
// 1023 bytes as it arrives, a NUL byte ends that piece; later pieces are still appended.
// strCaFile names an extra certificate that HTTPS trusts beside the system's ("" for none).
SHttpResult HttpExchange(const std::string& strUrl, int nMethod, const std::string* pBody,
                         const std::string& strCaFile = {});

// The reply body as one owned text; nullopt when the request failed or the body was empty.
// The status code is not examined: an error page's body is returned like any other text.
// What a failure was (transport error or status) goes to the diagnostic log.
std::optional<std::string> HttpRequest(const std::string& strUrl, int nMethod,
                                       const std::string* pBody = nullptr,
                                       const std::string& strCaFile = {});
inline std::optional<std::string> HttpRequest(const std::string& strUrl, int nMethod,
                                              const std::string& strBody,
                                              const std::string& strCaFile = {}) {
    return HttpRequest(strUrl, nMethod, &strBody, strCaFile);
}

// The one-shot request as the logic makes it, a parameter of the settings record: HttpRequest,
// or what a test puts in its place (the arguments are HttpRequest's).
using HttpRequestFn = std::function<std::optional<std::string>(
    const std::string& strUrl, int nMethod, const std::string* pBody,
    const std::string& strCaFile)>;

// Process-wide initialisation of the HTTP layer; false when it cannot be started. Call once
// at start-up before any request; it stays up until the process ends.
bool HttpGlobalInit();
