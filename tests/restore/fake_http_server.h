// A scripted HTTP server on a loopback ephemeral port, for replies the real service never
// gives: a connection cut in the middle of a body, odd account-script replies. Each request
// gets the raw bytes its handler returns, then the connection is closed.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace restore_test {

struct SFakeRequest {
    std::string strRequestLine;  // "GET /path HTTP/1.0"
    std::string strHeaders;      // the header lines as received
    std::string strBody;
    std::string Path() const;
};

class CFakeHttpServer {
public:
    using Handler = std::function<std::string(const SFakeRequest&)>;
    explicit CFakeHttpServer(Handler handler);
    ~CFakeHttpServer();
    CFakeHttpServer(const CFakeHttpServer&) = delete;
    CFakeHttpServer& operator=(const CFakeHttpServer&) = delete;

    std::string Base() const;  // "http://127.0.0.1:PORT"
    std::vector<SFakeRequest> Requests() const;
    std::vector<std::string> Paths() const;

    // A complete reply with the given status and body.
    static std::string Reply(int nStatus, const std::string& strBody);
    // A 200 reply that announces strBody's length but stops after nSent bytes.
    static std::string CutReply(const std::string& strBody, size_t nSent);

private:
    void Serve();
    void HandleConnection(int nFd);

    Handler m_handler;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::vector<SFakeRequest> m_vecRequests;
    std::thread m_thread;
};

}  // namespace restore_test
