#include "fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace restore_test {

std::string SFakeRequest::Path() const {
    const size_t nStart = strRequestLine.find(' ');
    const size_t nEnd = strRequestLine.find(' ', nStart + 1);
    if (nStart == std::string::npos || nEnd == std::string::npos)
        return {};
    return strRequestLine.substr(nStart + 1, nEnd - nStart - 1);
}

CFakeHttpServer::CFakeHttpServer(Handler handler) : m_handler(std::move(handler)) {
    m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    if (m_nListenFd < 0 ||
        ::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(m_nListenFd, 16) != 0 ||
        ::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
        throw std::runtime_error("fake server: cannot listen");
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

CFakeHttpServer::~CFakeHttpServer() {
    m_bStop = true;
    m_thread.join();
    ::close(m_nListenFd);
}

std::string CFakeHttpServer::Base() const {
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

std::vector<SFakeRequest> CFakeHttpServer::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_vecRequests;
}

std::vector<std::string> CFakeHttpServer::Paths() const {
    std::vector<std::string> paths;
    for (const SFakeRequest& request : Requests())
        paths.push_back(request.Path());
    return paths;
}

std::string CFakeHttpServer::Reply(int nStatus, const std::string& strBody) {
    return "HTTP/1.0 " + std::to_string(nStatus) +
           " X\r\nContent-Length: " + std::to_string(strBody.size()) +
           "\r\nConnection: close\r\n\r\n" + strBody;
}

std::string CFakeHttpServer::CutReply(const std::string& strBody, size_t nSent) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(strBody.size()) +
           "\r\nConnection: close\r\n\r\n" + strBody.substr(0, nSent);
}

void CFakeHttpServer::Serve() {
    while (!m_bStop) {
        pollfd pfd{m_nListenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        const int nFd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nFd < 0)
            continue;
        HandleConnection(nFd);
        ::close(nFd);
    }
}

void CFakeHttpServer::HandleConnection(int nFd) {
    std::string strData;
    char buffer[4096];
    size_t nHeaderEnd = std::string::npos;
    size_t nWant = 0;
    // Bounded: a client that sends nothing for 5 s is dropped.
    while (true) {
        pollfd pfd{nFd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) <= 0)
            return;
        const ssize_t n = ::read(nFd, buffer, sizeof(buffer));
        if (n <= 0)
            return;
        strData.append(buffer, static_cast<size_t>(n));
        if (nHeaderEnd == std::string::npos) {
            nHeaderEnd = strData.find("\r\n\r\n");
            if (nHeaderEnd == std::string::npos)
                continue;
            size_t nLength = 0;
            for (const char* szName :
                 {"Content-Length: ", "content-length: ", "Content-length: "}) {
                const size_t nAt = strData.find(szName);
                if (nAt != std::string::npos && nAt < nHeaderEnd)
                    nLength = std::strtoul(strData.c_str() + nAt + std::string(szName).size(),
                                           nullptr, 10);
            }
            nWant = nHeaderEnd + 4 + nLength;
        }
        if (strData.size() >= nWant)
            break;
    }
    SFakeRequest request;
    const size_t nLineEnd = strData.find("\r\n");
    request.strRequestLine = strData.substr(0, nLineEnd);
    request.strHeaders = strData.substr(nLineEnd + 2, nHeaderEnd - nLineEnd - 2);
    request.strBody = strData.substr(nHeaderEnd + 4);
    {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(request);
    }
    const std::string strReply = m_handler(request);
    size_t nDone = 0;
    while (nDone < strReply.size()) {
        const ssize_t n =
            ::send(nFd, strReply.data() + nDone, strReply.size() - nDone, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    ::shutdown(nFd, SHUT_RDWR);
}

}  // namespace restore_test
