// A loopback HTTP listener for tests that records each request byte for byte and answers
// with a scripted reply, sent in steps with pauses (to make a reply arrive in pieces) or cut
// off early.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_socket.h"

class CRawListener {
public:
    struct SStep {
        std::string strData;
        int nPauseMs = 0;  // pause before these bytes are sent
    };

    // Answers every connection with the steps, then closes it.
    explicit CRawListener(std::vector<SStep> reply);
    ~CRawListener();  // stops accepting and joins
    CRawListener(const CRawListener&) = delete;
    CRawListener& operator=(const CRawListener&) = delete;

    int Port() const { return m_nPort; }
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(m_nPort); }

    // The raw requests received so far (head and body as they came), waiting up to 10 s for
    // at least n of them.
    std::vector<std::string> Requests(size_t n = 1) const;
    std::string Request() const;  // the first request, "" when none arrived

    // A reply with the given status, headers and body (Content-Length set from the body).
    static std::string Reply(int nStatus, const std::string& strBody,
                             const std::string& strExtraHeaders = "");

private:
    void Serve();
    void Answer(test_socket::Socket nFd);

    std::vector<SStep> m_vecReply;
    test_socket::Socket m_nListenFd = test_socket::kNone;
    int m_nPort = 0;
    std::atomic<bool> m_bStopping{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<std::string> m_vecRequests;
    std::thread m_thread;
};

// The head lines of a raw request (request line first), without CR LF.
std::vector<std::string> HeadLines(const std::string& strRequest);
// The bytes after the blank line that ends the head.
std::string BodyOf(const std::string& strRequest);
// How many head lines start with name followed by ':' (ASCII case ignored).
int CountHeader(const std::string& strRequest, const std::string& strName);
// A port on 127.0.0.1 where nothing listens (bound, then closed).
int UnusedPort();
