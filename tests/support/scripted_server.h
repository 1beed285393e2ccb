// The one loopback server of the tests: plain HTTP or TLS (POSIX only) on 127.0.0.1, an ephemeral
// port bound once and kept. It records every request byte for byte and answers as the test scripts
// it, including answers the real service never gives: cut off, sent in slow pieces, or malformed.
// One connection at a time; every wait is bounded.
//
//     CScriptedServer server(CScriptedServer::Reply(200, "+OK<br>"));
//     ... client code against server.BaseUrl() ...
//     EXPECT_EQ(server.Requests(1)[0].Path(), "/Kelpo/html/auth.php");
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CScriptedServer {
public:
    struct SRequest {
        std::string strHead;       // request line and header lines, each ending in CR LF
        std::string strBody;       // body bytes as received
        size_t nAnnounced = 0;     // its Content-Length
        bool bCutOff = false;      // the server stopped reading at its body limit (SetBodyLimit)
        bool bPeerClosed = false;  // the client closed before the announced body ended

        std::string Raw() const { return strHead + "\r\n" + strBody; }
        std::string RequestLine() const;  // "GET /path HTTP/1.0"
        std::string Method() const;
        std::string Path() const;
        int CountHeader(const std::string& strName) const;
    };
    struct SStep {
        std::string strData;
        int nPauseMs = 0;  // pause before these bytes are sent
    };
    // What the server sends back, in steps. Empty: the connection is closed without a word.
    struct SAnswer {
        SAnswer() = default;
        SAnswer(std::string strData) : vecSteps{{std::move(strData), 0}} {}  // NOLINT: implicit
        SAnswer(std::vector<SStep> steps) : vecSteps(std::move(steps)) {}    // NOLINT: implicit
        std::vector<SStep> vecSteps;
    };
    // Called on the server's thread once a request has been read (or cut off).
    using Handler = std::function<SAnswer(const SRequest&)>;
    struct STls {
        std::string strCertFile;  // PEM certificate chain
        std::string strKeyFile;   // PEM private key
    };

    explicit CScriptedServer(Handler handler, std::optional<STls> tls = std::nullopt);
    // Every request gets the same answer.
    explicit CScriptedServer(SAnswer answer = {}, std::optional<STls> tls = std::nullopt);
    ~CScriptedServer();  // stops at once (reads and pauses included) and joins
    CScriptedServer(const CScriptedServer&) = delete;
    CScriptedServer& operator=(const CScriptedServer&) = delete;

    int Port() const { return m_nPort; }
    std::string BaseUrl() const;  // "http://127.0.0.1:PORT", "https://..." with TLS

    void SetHandler(Handler handler);
    void SetAnswer(SAnswer answer);
    // Reads at most this many body bytes of a request; a longer one is recorded as cut off,
    // answered as the handler says and closed with the rest unread.
    void SetBodyLimit(size_t nBytes);

    // The requests so far, waiting (at most 10 s) until there are at least nAtLeast.
    std::vector<SRequest> Requests(size_t nAtLeast = 0) const;
    // Those whose request line contains strNeedle.
    std::vector<SRequest> RequestsTo(const std::string& strNeedle) const;
    // The paths of the requests so far, in order.
    std::vector<std::string> Paths() const;
    // The first request as received ("" when none arrived within 10 s).
    std::string Request() const;

    // A complete reply (Content-Length from the body, Connection: close).
    static std::string Reply(int nStatus, const std::string& strBody,
                             const std::string& strExtraHeaders = "");
    // A 200 reply that announces strBody's length but holds only its first nSent bytes.
    static std::string CutReply(const std::string& strBody, size_t nSent);

private:
    class CConnection;
    struct SSslCtxFree {
        void operator()(void* p) const;
    };

    void Serve();
    void Handle(CConnection& conn);
    bool PauseUnlessStopped(int nMs) const;

    std::unique_ptr<void, SSslCtxFree> m_pTlsCtx;  // SSL_CTX, none for plain HTTP
    std::uintptr_t m_nListenSocket = 0;            // the sockets as test_socket::Store keeps them
    std::uintptr_t m_nWakeSocket = 0;
    int m_nPort = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    Handler m_handler;
    size_t m_nBodyLimit = static_cast<size_t>(-1);
    std::vector<SRequest> m_vecRequests;
    std::thread m_thread;
};

// A loopback port where nothing listens: bound and kept for the object's life (so nothing else
// gets it) but never listening, so connections are refused.
class CClosedPort {
public:
    CClosedPort();
    ~CClosedPort();
    CClosedPort(const CClosedPort&) = delete;
    CClosedPort& operator=(const CClosedPort&) = delete;
    int Port() const { return m_nPort; }
    std::string BaseUrl() const;  // "http://127.0.0.1:PORT"

private:
    std::uintptr_t m_nSocket = 0;  // as test_socket::Store keeps it
    int m_nPort = 0;
};

// Readers of raw request text (head, empty line, body).
// The head lines, request line first, without CR LF.
std::vector<std::string> HeadLines(const std::string& strRequest);
// The bytes after the empty line that ends the head.
std::string BodyOf(const std::string& strRequest);
// How many head lines after the request line start with strName and ':' (ASCII case ignored).
int CountHeader(const std::string& strRequest, const std::string& strName);
