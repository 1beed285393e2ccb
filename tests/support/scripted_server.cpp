#include "scripted_server.h"

#ifndef _WIN32
#include <openssl/ssl.h>
#include <sys/time.h>

#include <csignal>
#endif

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "platform/ascii_case.h"
#include "support/test_socket.h"

namespace ts = test_socket;

namespace {

constexpr int kReadTimeoutMs = 10000;  // a client silent this long is dropped
constexpr int kDrainMs = 2000;         // after the answer: until the client closes
constexpr size_t kMaxHead = 1 << 20;

// A socket of the given type bound to 127.0.0.1 on an ephemeral port; kNone on failure.
ts::Socket BindLoopback(int nType, int& nPort) {
    if (!ts::Ready())
        return ts::kNone;
    ts::Socket nSocket = socket(AF_INET, nType | ts::kCloexec, 0);
    if (nSocket == ts::kNone)
        return ts::kNone;
    sockaddr_in addr = ts::Loopback(0);
    socklen_t nLen = sizeof addr;
    if (bind(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(nSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        ts::Close(nSocket);
        return ts::kNone;
    }
    nPort = ntohs(addr.sin_port);
    return nSocket;
}

// The stop signal every wait watches: a loopback datagram socket connected to itself, which
// turns readable (and stays so) once Wake() sent it a byte. Unlike a pipe it works with the
// sockets' own wait call on every system.
ts::Socket MakeWakeSocket() {
    int nPort = 0;
    ts::Socket nSocket = BindLoopback(SOCK_DGRAM, nPort);
    sockaddr_in addr = ts::Loopback(nPort);
    if (nSocket != ts::kNone &&
        connect(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ts::Close(nSocket);
        return ts::kNone;
    }
    return nSocket;
}

size_t ContentLength(const std::string& strRequest) {
    std::vector<std::string> lines = HeadLines(strRequest);
    for (size_t i = 1; i < lines.size(); ++i) {
        if (StartsWithAsciiNoCase(lines[i], "content-length:"))
            return std::strtoull(lines[i].c_str() + 15, nullptr, 10);
    }
    return 0;
}

}  // namespace

// One accepted connection, plain or TLS (TLS on POSIX only).
class CScriptedServer::CConnection {
public:
    // nWake turns readable when the server stops: every wait ends then.
    CConnection(ts::Socket nSocket, [[maybe_unused]] void* pTlsCtx, ts::Socket nWake)
        : m_nSocket(nSocket), m_nWake(nWake) {
#ifndef _WIN32
        if (pTlsCtx == nullptr)
            return;
        // The handshake blocks: a client that never starts it must not hold the server.
        timeval timeout{kReadTimeoutMs / 1000, 0};
        setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        m_pSsl = SSL_new(static_cast<SSL_CTX*>(pTlsCtx));
        if (m_pSsl == nullptr || SSL_set_fd(m_pSsl, nSocket) != 1 || SSL_accept(m_pSsl) != 1)
            m_bBroken = true;
#endif
    }
    ~CConnection() {
#ifndef _WIN32
        if (m_pSsl != nullptr)
            SSL_free(m_pSsl);
#endif
        ts::Close(m_nSocket);
    }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    bool Broken() const {
        return m_bBroken;
    }

    // Bytes read into pBuffer; 0 when the peer closed, -1 on an error or a time-out.
    long Read(char* pBuffer, size_t nSize, int nTimeoutMs) {
#ifndef _WIN32
        if (m_pSsl != nullptr) {
            if (SSL_pending(m_pSsl) == 0 && ts::WaitReadable(m_nSocket, m_nWake, nTimeoutMs) != 0)
                return -1;
            int n = SSL_read(m_pSsl, pBuffer, static_cast<int>(std::min<size_t>(nSize, 1 << 20)));
            if (n > 0)
                return n;
            return SSL_get_error(m_pSsl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
#endif
        if (ts::WaitReadable(m_nSocket, m_nWake, nTimeoutMs) != 0)
            return -1;
        return ts::Receive(m_nSocket, pBuffer, nSize);
    }

    bool Write(const std::string& strData) {
        size_t nSent = 0;
        while (nSent < strData.size()) {
            const size_t nLeft = strData.size() - nSent;
            long n;
#ifndef _WIN32
            if (m_pSsl != nullptr) {
                n = SSL_write(m_pSsl, strData.data() + nSent,
                              static_cast<int>(std::min<size_t>(nLeft, 1 << 20)));
            } else
#endif
            {
                n = ts::Send(m_nSocket, strData.data() + nSent, nLeft);
            }
            if (n <= 0)
                return false;
            nSent += static_cast<size_t>(n);
        }
        return true;
    }

    // Ends the sending side, then reads until the client closes so that it gets every byte.
    void FinishAndDrain() {
#ifndef _WIN32
        if (m_pSsl != nullptr)
            SSL_shutdown(m_pSsl);
#endif
        ts::ShutdownWrite(m_nSocket);
        char buffer[16384];
        while (Read(buffer, sizeof buffer, kDrainMs) > 0) {
        }
    }

private:
    ts::Socket m_nSocket;
    ts::Socket m_nWake;
#ifndef _WIN32
    SSL* m_pSsl = nullptr;
#endif
    bool m_bBroken = false;
};

void CScriptedServer::SSslCtxFree::operator()([[maybe_unused]] void* p) const {
#ifndef _WIN32
    SSL_CTX_free(static_cast<SSL_CTX*>(p));
#endif
}

CScriptedServer::CScriptedServer(SAnswer answer, std::optional<STls> tls)
    : CScriptedServer([answer](const SRequest&) { return answer; }, std::move(tls)) {}

CScriptedServer::CScriptedServer(Handler handler, std::optional<STls> tls)
    : m_handler(std::move(handler)) {
    if (tls) {
#ifdef _WIN32
        // No TLS library in the Windows test build (the broker on the host serves TLS there).
        throw std::runtime_error("scripted server: no TLS on Windows");
#else
        // OpenSSL writes without MSG_NOSIGNAL: a client that hung up must not end the test.
        std::signal(SIGPIPE, SIG_IGN);
        m_pTlsCtx.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX* pCtx = static_cast<SSL_CTX*>(m_pTlsCtx.get());
        if (pCtx == nullptr ||
            SSL_CTX_use_certificate_chain_file(pCtx, tls->strCertFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(pCtx, tls->strKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            throw std::runtime_error("scripted server: cannot load " + tls->strCertFile);
#endif
    }
    ts::Socket nListen = BindLoopback(SOCK_STREAM, m_nPort);
    ts::Socket nWake = MakeWakeSocket();
    if (nListen == ts::kNone || listen(nListen, 16) != 0 || nWake == ts::kNone) {
        ts::Close(nListen);
        ts::Close(nWake);
        throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
    }
    m_nListenSocket = ts::Store(nListen);
    m_nWakeSocket = ts::Store(nWake);
    m_thread = std::thread([this] { Serve(); });
}

CScriptedServer::~CScriptedServer() {
    ts::Send(ts::Load(m_nWakeSocket), "x", 1);
    m_thread.join();
    ts::Close(ts::Load(m_nListenSocket));
    ts::Close(ts::Load(m_nWakeSocket));
}

std::string CScriptedServer::BaseUrl() const {
    return std::string(m_pTlsCtx ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_nPort);
}

void CScriptedServer::SetHandler(Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void CScriptedServer::SetAnswer(SAnswer answer) {
    SetHandler([answer = std::move(answer)](const SRequest&) { return answer; });
}

void CScriptedServer::SetBodyLimit(size_t nBytes) {
    std::lock_guard lock(m_mutex);
    m_nBodyLimit = nBytes;
}

std::vector<CScriptedServer::SRequest> CScriptedServer::Requests(size_t nAtLeast) const {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_vecRequests.size() >= nAtLeast; });
    return m_vecRequests;
}

std::vector<CScriptedServer::SRequest> CScriptedServer::RequestsTo(
    const std::string& strNeedle) const {
    std::vector<SRequest> vec;
    for (SRequest& request : Requests()) {
        if (request.RequestLine().find(strNeedle) != std::string::npos)
            vec.push_back(std::move(request));
    }
    return vec;
}

std::vector<std::string> CScriptedServer::Paths() const {
    std::vector<std::string> paths;
    for (const SRequest& request : Requests())
        paths.push_back(request.Path());
    return paths;
}

std::string CScriptedServer::Request() const {
    std::vector<SRequest> requests = Requests(1);
    return requests.empty() ? std::string() : requests.front().Raw();
}

std::string CScriptedServer::Reply(int nStatus, const std::string& strBody,
                                   const std::string& strExtraHeaders) {
    return "HTTP/1.1 " + std::to_string(nStatus) +
           " X\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\nConnection: close\r\n" +
           strExtraHeaders + "\r\n" + strBody;
}

std::string CScriptedServer::CutReply(const std::string& strBody, size_t nSent) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(strBody.size()) +
           "\r\nConnection: close\r\n\r\n" + strBody.substr(0, nSent);
}

void CScriptedServer::Serve() {
    const ts::Socket nListen = ts::Load(m_nListenSocket);
    const ts::Socket nWake = ts::Load(m_nWakeSocket);
    while (true) {
        const int nReady = ts::WaitReadable(nListen, nWake, -1);
        if (nReady == 1)
            return;
        if (nReady != 0)
            continue;
        ts::Socket nSocket = ts::Accept(nListen);
        if (nSocket == ts::kNone)
            continue;
        CConnection conn(nSocket, m_pTlsCtx.get(), nWake);
        if (!conn.Broken())
            Handle(conn);
    }
}

bool CScriptedServer::PauseUnlessStopped(int nMs) const {
    return ts::WaitReadable(ts::Load(m_nWakeSocket), ts::kNone, nMs) != 0;
}

void CScriptedServer::Handle(CConnection& conn) {
    SRequest request;
    std::string strData;
    char buffer[65536];
    size_t nHeadEnd;
    while ((nHeadEnd = strData.find("\r\n\r\n")) == std::string::npos &&
           strData.size() < kMaxHead) {
        long n = conn.Read(buffer, sizeof buffer, kReadTimeoutMs);
        if (n <= 0)
            break;
        strData.append(buffer, static_cast<size_t>(n));
    }
    if (nHeadEnd == std::string::npos) {
        if (!strData.empty()) {  // a head that never ended: kept as it came, not answered
            std::lock_guard lock(m_mutex);
            m_vecRequests.push_back({strData, "", 0, false, false});
            m_cv.notify_all();
        }
        return;
    }
    request.strHead = strData.substr(0, nHeadEnd + 2);
    request.strBody = strData.substr(nHeadEnd + 4);
    request.nAnnounced = ContentLength(strData);
    Handler handler;
    size_t nLimit;
    {
        std::lock_guard lock(m_mutex);
        handler = m_handler;
        nLimit = m_nBodyLimit;
    }
    const size_t nWanted = std::min(request.nAnnounced, nLimit);
    while (request.strBody.size() < nWanted) {
        long n = conn.Read(buffer, std::min(sizeof buffer, nWanted - request.strBody.size()),
                           kReadTimeoutMs);
        if (n == 0)
            request.bPeerClosed = true;
        if (n <= 0)
            break;
        request.strBody.append(buffer, static_cast<size_t>(n));
    }
    request.bCutOff = nLimit < request.nAnnounced && request.strBody.size() >= nLimit;
    {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(request);
    }
    m_cv.notify_all();
    const SAnswer answer = handler ? handler(request) : SAnswer();
    for (const SStep& step : answer.vecSteps) {
        if (step.nPauseMs > 0 && !PauseUnlessStopped(step.nPauseMs))
            return;
        if (!conn.Write(step.strData))
            return;
    }
    if (!request.bCutOff)  // a cut-off request is closed with its rest unread
        conn.FinishAndDrain();
}

std::string CScriptedServer::SRequest::RequestLine() const {
    return strHead.substr(0, strHead.find("\r\n"));
}

std::string CScriptedServer::SRequest::Method() const {
    std::string strLine = RequestLine();
    return strLine.substr(0, strLine.find(' '));
}

std::string CScriptedServer::SRequest::Path() const {
    std::string strLine = RequestLine();
    size_t nStart = strLine.find(' ');
    size_t nEnd = strLine.find(' ', nStart + 1);
    if (nStart == std::string::npos || nEnd == std::string::npos)
        return {};
    return strLine.substr(nStart + 1, nEnd - nStart - 1);
}

int CScriptedServer::SRequest::CountHeader(const std::string& strName) const {
    return ::CountHeader(Raw(), strName);
}

CClosedPort::CClosedPort() {
    ts::Socket nSocket = BindLoopback(SOCK_STREAM, m_nPort);
    if (nSocket == ts::kNone)
        throw std::runtime_error("closed port: cannot bind 127.0.0.1");
    m_nSocket = ts::Store(nSocket);
}

CClosedPort::~CClosedPort() {
    ts::Close(ts::Load(m_nSocket));
}

std::string CClosedPort::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

std::vector<std::string> HeadLines(const std::string& strRequest) {
    std::vector<std::string> lines;
    const std::string strHead = strRequest.substr(0, strRequest.find("\r\n\r\n"));
    size_t nPos = 0;
    while (nPos <= strHead.size()) {
        size_t nNext = std::min(strHead.find("\r\n", nPos), strHead.size());
        lines.push_back(strHead.substr(nPos, nNext - nPos));
        nPos = nNext + 2;
    }
    return lines;
}

std::string BodyOf(const std::string& strRequest) {
    size_t nEnd = strRequest.find("\r\n\r\n");
    return nEnd == std::string::npos ? std::string() : strRequest.substr(nEnd + 4);
}

int CountHeader(const std::string& strRequest, const std::string& strName) {
    std::vector<std::string> lines = HeadLines(strRequest);
    const std::string strPrefix = strName + ":";
    return static_cast<int>(std::count_if(lines.begin() + 1, lines.end(), [&](const auto& s) {
        return StartsWithAsciiNoCase(s, strPrefix);
    }));
}
