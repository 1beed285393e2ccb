#include "canned_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

CCannedHttpServer::CCannedHttpServer() {
    m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (m_nListenFd < 0 ||
        ::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_nListenFd, 8) != 0) {
        std::abort();  // a test machine without loopback cannot run these tests
    }
    socklen_t nLen = sizeof addr;
    ::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), &nLen);
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

CCannedHttpServer::~CCannedHttpServer() {
    m_bStop = true;
    m_thread.join();
    ::close(m_nListenFd);
}

std::string CCannedHttpServer::Base() const {
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

void CCannedHttpServer::SetReply(std::string strBody) {
    std::lock_guard lock(m_mutex);
    m_strReply = std::move(strBody);
}

std::vector<CCannedHttpServer::SRequest> CCannedHttpServer::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_vecRequests;
}

void CCannedHttpServer::Serve() {
    while (!m_bStop) {
        pollfd pfd{m_nListenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        int nFd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nFd < 0)
            continue;
        Answer(nFd);
        ::close(nFd);
    }
}

void CCannedHttpServer::Answer(int nFd) {
    std::string strData;
    std::size_t nHeaderEnd = std::string::npos;
    std::size_t nContentLength = 0;
    char buffer[4096];
    for (;;) {
        pollfd pfd{nFd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) <= 0)
            return;
        ssize_t nRead = ::read(nFd, buffer, sizeof buffer);
        if (nRead <= 0)
            return;
        strData.append(buffer, static_cast<std::size_t>(nRead));
        if (nHeaderEnd == std::string::npos) {
            nHeaderEnd = strData.find("\r\n\r\n");
            if (nHeaderEnd == std::string::npos)
                continue;
            std::string strHead = strData.substr(0, nHeaderEnd);
            for (std::size_t nPos = 0; nPos < strHead.size();) {
                std::size_t nEnd = strHead.find("\r\n", nPos);
                if (nEnd == std::string::npos)
                    nEnd = strHead.size();
                std::string strLine = strHead.substr(nPos, nEnd - nPos);
                if (strLine.size() > 15 && strncasecmp(strLine.c_str(), "content-length:", 15) == 0)
                    nContentLength = std::strtoul(strLine.c_str() + 15, nullptr, 10);
                nPos = nEnd + 2;
            }
        }
        if (strData.size() >= nHeaderEnd + 4 + nContentLength)
            break;
    }
    SRequest request;
    std::size_t nSpace1 = strData.find(' ');
    std::size_t nSpace2 = strData.find(' ', nSpace1 + 1);
    request.strMethod = strData.substr(0, nSpace1);
    request.strPath = strData.substr(nSpace1 + 1, nSpace2 - nSpace1 - 1);
    request.strBody = strData.substr(nHeaderEnd + 4, nContentLength);
    std::string strReply;
    {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(request);
        strReply = m_strReply;
    }
    std::string strOut = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                         std::to_string(strReply.size()) + "\r\nConnection: close\r\n\r\n" +
                         strReply;
    for (std::size_t nDone = 0; nDone < strOut.size();) {
        ssize_t nWritten = ::write(nFd, strOut.data() + nDone, strOut.size() - nDone);
        if (nWritten <= 0)
            return;
        nDone += static_cast<std::size_t>(nWritten);
    }
}
