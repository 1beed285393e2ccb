// Streamed HTTP transfers for the upload and download workers. The body is pulled from or
// pushed to callbacks, so neither side ever holds a whole archive in memory.
//
// Same limits as HttpRequest (http_request.h): 15 s to connect, aborted after 60 s below
// 1 byte/s. HTTPS trusts the given extra certificate in addition to the system's. Buffers are
// 512 KB each way so that loopback throughput is not lost to small writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/http_request.h"

class CHttpTransfer {
public:
    // Fills buffer[0 .. nSize) and returns how many bytes were written, or kAbort to stop.
    // It is never asked for more than the announced length; returning 0 before that length
    // was given fails the transfer (bTransportOk false) instead of leaving the server waiting.
    using ReadFn = std::function<size_t(char* pBuffer, size_t nSize)>;
    static constexpr size_t kAbort = static_cast<size_t>(-1);
    // Receives the next bytes of the reply body; false stops the transfer.
    using WriteFn = std::function<bool(const char* pData, size_t nSize)>;

    // strCaFile: an extra certificate HTTPS trusts beside the system's ("" for none).
    explicit CHttpTransfer(std::string strCaFile = {});
    ~CHttpTransfer();
    CHttpTransfer(const CHttpTransfer&) = delete;
    CHttpTransfer& operator=(const CHttpTransfer&) = delete;

    // POST with the given extra header lines (each "Name: value", without CR LF; they replace
    // the layer's own lines of the same name), "Content-Length: nContentLength" exactly
    // (never chunked, no "Expect: 100-continue"), and the body pulled from readFn.
    // At most 64 KB of the reply body are kept in the result's strBody.
    SHttpResult Post(const std::string& strUrl, const std::vector<std::string>& headerLines,
                     uint64_t nContentLength, const ReadFn& readFn);

    // GET with the given extra header lines, HTTP/1.0 when bHttp10, the User-Agent strAgent
    // (none when empty), never from a cache; the body is pushed to writeFn as it arrives.
    // Bodies of error replies are passed to writeFn too; check nStatus.
    SHttpResult Get(const std::string& strUrl, const std::vector<std::string>& headerLines,
                    bool bHttp10, const std::string& strAgent, const WriteFn& writeFn);

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
