#ifdef _WIN32

#include <algorithm>

#include "net/http_transfer.h"
#include "net/wininet_util.h"

namespace {

constexpr size_t kBufferBytes = 512 * 1024;
constexpr size_t kMaxPostReplyBytes = 64 * 1024;

}  // namespace

struct CHttpTransfer::SImpl {
    std::string strCaFile;
    std::vector<char> buffer = std::vector<char>(kBufferBytes);
};

CHttpTransfer::CHttpTransfer(std::string strCaFile) : m_pImpl(std::make_unique<SImpl>()) {
    m_pImpl->strCaFile = std::move(strCaFile);
}

CHttpTransfer::~CHttpTransfer() = default;

SHttpResult CHttpTransfer::Post(const std::string& strUrl,
                                const std::vector<std::string>& headerLines,
                                uint64_t nContentLength, const ReadFn& readFn) {
    SHttpResult result;
    wininet_util::CRequest request;
    if (!request.Open(strUrl, L"POST", L"HTTP/1.1", nullptr, m_pImpl->strCaFile, result.strError) ||
        !request.AddHeaders(headerLines, result.strError) ||
        !request.Begin(nContentLength, result.strError))
        return result;

    // Never more than announced: the server reads exactly Content-Length bytes.
    std::vector<char>& buffer = m_pImpl->buffer;
    uint64_t nGiven = 0;
    while (nGiven < nContentLength) {
        size_t nAsk =
            static_cast<size_t>(std::min<uint64_t>(buffer.size(), nContentLength - nGiven));
        size_t nRead = readFn(buffer.data(), nAsk);
        if (nRead == kAbort || nRead > nAsk) {
            result.bAborted = true;
            result.strError = "the transfer was stopped";
            return result;
        }
        if (nRead == 0) {
            // A body shorter than announced would leave the server waiting for the rest.
            result.strError = "the body ended before its announced length";
            return result;
        }
        if (!request.Write(buffer.data(), nRead, result.strError))
            return result;
        nGiven += nRead;
    }
    if (!request.End(result.strError))
        return result;
    result.nStatus = request.Status();
    bool bStopped = false;
    result.bTransportOk = request.ReadBody(
        kBufferBytes,
        [&strReply = result.strBody](const char* pData, size_t nBytes) {
            if (strReply.size() < kMaxPostReplyBytes)
                strReply.append(pData, std::min(nBytes, kMaxPostReplyBytes - strReply.size()));
            return true;
        },
        bStopped, result.strError);
    return result;
}

SHttpResult CHttpTransfer::Get(const std::string& strUrl,
                               const std::vector<std::string>& headerLines, bool bHttp10,
                               const std::string& strAgent, const WriteFn& writeFn) {
    SHttpResult result;
    wininet_util::CRequest request;
    // Always from the server, never from a cache on the way.
    std::vector<std::string> lines = {"Cache-Control: no-cache", "Pragma: no-cache"};
    lines.insert(lines.end(), headerLines.begin(), headerLines.end());
    if (!strAgent.empty())
        lines.push_back("User-Agent: " + strAgent);
    if (!request.Open(strUrl, L"GET", bHttp10 ? L"HTTP/1.0" : L"HTTP/1.1", nullptr,
                      m_pImpl->strCaFile, result.strError) ||
        !request.AddHeaders(lines, result.strError) || !request.Begin(0, result.strError) ||
        !request.End(result.strError))
        return result;
    result.nStatus = request.Status();
    bool bStopped = false;
    result.bTransportOk = request.ReadBody(kBufferBytes, writeFn, bStopped, result.strError);
    result.bAborted = bStopped;
    return result;
}

#endif  // _WIN32
