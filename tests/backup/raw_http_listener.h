// A minimal HTTP/1.1 listener on 127.0.0.1 for the upload tests: it records every request
// byte for byte, answers the account script with a fixed text, and answers (or cuts off) the
// upload as a test asks. One connection at a time; every wait is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CRawHttpListener {
public:
    struct SRequest {
        std::string strHead;    // request line and header lines, up to the empty line
        std::string strBody;    // body bytes as received
        size_t nAnnounced = 0;  // its Content-Length
        bool bCutOff = false;   // the listener closed the connection before the body ended
    };

    CRawHttpListener();
    ~CRawHttpListener();
    CRawHttpListener(const CRawHttpListener&) = delete;
    CRawHttpListener& operator=(const CRawHttpListener&) = delete;

    int Port() const { return m_nPort; }
    std::string Base() const;  // "http://127.0.0.1:PORT"

    // Status of the reply to an upload (default 200).
    void SetUploadStatus(int nStatus) { m_nUploadStatus = nStatus; }
    // Closes an upload's connection, without a reply, after this many body bytes.
    void CutUploadAfter(size_t nBytes) { m_nCutAfter = nBytes; }
    // With CutUploadAfter: answer the upload with its status before closing.
    void SetReplyBeforeCut(bool bReply) { m_bReplyBeforeCut = bReply; }
    // Body of the reply to auth.php (default "+OK<br>").
    void SetAuthReply(std::string strBody);

    std::vector<SRequest> Requests() const;
    // The requests whose request line contains strNeedle.
    std::vector<SRequest> RequestsTo(const std::string& strNeedle) const;

private:
    void Serve();
    void HandleConnection(int nFd);

    int m_nListenFd = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nUploadStatus{200};
    std::atomic<size_t> m_nCutAfter{static_cast<size_t>(-1)};
    std::atomic<bool> m_bReplyBeforeCut{false};
    mutable std::mutex m_mutex;
    std::string m_strAuthReply = "+OK<br>";
    std::vector<SRequest> m_vecRequests;
    std::thread m_thread;
};

// Sets ZAV_SERVICE_URL for one scope and restores the previous value after.
class CScopedServiceUrl {
public:
    explicit CScopedServiceUrl(const std::string& strUrl);
    ~CScopedServiceUrl();
    CScopedServiceUrl(const CScopedServiceUrl&) = delete;
    CScopedServiceUrl& operator=(const CScopedServiceUrl&) = delete;

private:
    bool m_bWasSet = false;
    std::string m_strOld;
};

// A loopback port on which nothing listens.
int ClosedLoopbackPort();
