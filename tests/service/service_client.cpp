#include "service/service_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

namespace svctest {

CSocket::~CSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int OpenConnection(int nPort, const char* pszSource) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    timeval tv{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (pszSource != nullptr) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, pszSource, &src.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

std::string Iconv(const char* pszTo, const char* pszFrom, const std::string& strIn) {
    iconv_t cd = ::iconv_open(pszTo, pszFrom);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return {};
    }
    std::string strCopy = strIn;
    std::string strOut(strIn.size() * 4 + 4, '\0');
    char* pIn = strCopy.data();
    size_t nIn = strCopy.size();
    char* pOut = strOut.data();
    size_t nOut = strOut.size();
    size_t r = ::iconv(cd, &pIn, &nIn, &pOut, &nOut);
    ::iconv_close(cd);
    if (r == static_cast<size_t>(-1)) {
        return "<iconv failed>";
    }
    strOut.resize(strOut.size() - nOut);
    return strOut;
}

struct SSslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SSslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

}  // namespace

std::string Exchange(int nPort, const std::string& strRequest, const char* pszSource,
                     size_t nSendBytes, bool bHalfClose) {
    CSocket sock(OpenConnection(nPort, pszSource));
    if (sock.Get() < 0) {
        return {};
    }
    size_t nToSend = nSendBytes < strRequest.size() ? nSendBytes : strRequest.size();
    size_t nSent = 0;
    while (nSent < nToSend) {
        ssize_t n = ::send(sock.Get(), strRequest.data() + nSent, nToSend - nSent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        nSent += static_cast<size_t>(n);
    }
    if (nToSend < strRequest.size()) {
        return {};  // an aborted request: the connection closes here
    }
    if (bHalfClose) {
        // Nothing more will come: the server sees the end at once instead of waiting for a
        // time-out (and may then drop its answer).
        ::shutdown(sock.Get(), SHUT_WR);
    }
    std::string strReply;
    char ach[65536];
    ssize_t n;
    while ((n = ::recv(sock.Get(), ach, sizeof ach, 0)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    return strReply;
}

std::string FirstAnswer(int nPort, const std::string& strRequest) {
    CSocket sock(OpenConnection(nPort, nullptr));
    if (sock.Get() < 0 || ::send(sock.Get(), strRequest.data(), strRequest.size(), MSG_NOSIGNAL) !=
                              static_cast<ssize_t>(strRequest.size())) {
        return {};
    }
    char ach[4096];
    ssize_t n = ::recv(sock.Get(), ach, sizeof ach, 0);
    return n > 0 ? std::string(ach, static_cast<size_t>(n)) : std::string();
}

std::string TlsExchange(int nPort, const std::string& strRequest, const std::string& strCaFile,
                        const char* pszSource) {
    std::unique_ptr<SSL_CTX, SSslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), strCaFile.c_str(), nullptr) != 1) {
        return {};
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    CSocket sock(OpenConnection(nPort, pszSource));
    std::unique_ptr<SSL, SSslFree> ssl(SSL_new(ctx.get()));
    if (sock.Get() < 0 || !ssl) {
        return {};
    }
    // The certificate must name the address the client dialled.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), "127.0.0.1");
    SSL_set_fd(ssl.get(), sock.Get());
    if (SSL_connect(ssl.get()) != 1) {
        return {};
    }
    if (SSL_write(ssl.get(), strRequest.data(), static_cast<int>(strRequest.size())) <= 0) {
        return {};
    }
    std::string strReply;
    char ach[16384];
    int n;
    while ((n = SSL_read(ssl.get(), ach, sizeof ach)) > 0) {
        strReply.append(ach, static_cast<size_t>(n));
    }
    return strReply;
}

SReply ParseReply(const std::string& strRaw) {
    SReply reply;
    size_t nEnd = strRaw.find("\r\n\r\n");
    if (strRaw.rfind("HTTP/1.", 0) != 0 || nEnd == std::string::npos) {
        return reply;
    }
    reply.bOk = true;
    reply.nStatus = std::atoi(strRaw.c_str() + 9);
    reply.strHeaders = strRaw.substr(0, nEnd + 2);
    reply.strBody = strRaw.substr(nEnd + 4);
    return reply;
}

std::string BuildRequest(const std::string& strMethod, const std::string& strTarget,
                         const std::string& strBody, const std::string& strExtraHeaders) {
    std::string str = strMethod + " " + strTarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                      "Connection: close\r\n" + strExtraHeaders;
    if (strMethod != "GET") {
        str += "Content-Length: " + std::to_string(strBody.size()) + "\r\n";
    }
    return str + "\r\n" + strBody;
}

SReply Get(const CLiveService& service, const std::string& strTarget, const char* pszSource) {
    return ParseReply(Exchange(service.HttpPort(), BuildRequest("GET", strTarget, ""), pszSource));
}

SReply PostForm(const CLiveService& service, const std::string& strTarget,
                const std::string& strBody, const char* pszSource) {
    return ParseReply(Exchange(service.HttpPort(),
                               BuildRequest("POST", strTarget, strBody,
                                            "Content-type: application/x-www-form-urlencoded\r\n"),
                               pszSource));
}

SReply Login(const CLiveService& service, const std::string& strId, const std::string& strPw,
             const char* pszSource, const std::string& strCode) {
    std::string strBody = "code=" + strCode + "&id=" + strId + "&pw=" + strPw;
    return ParseReply(
        TlsExchange(service.HttpsPort(),
                    BuildRequest("POST", "/app/login", strBody,
                                 "Content-type: application/x-www-form-urlencoded\r\n"),
                    service.CaFile(), pszSource));
}

std::string ClientUploadBody(const std::vector<SUploadPart>& vecParts) {
    std::string strBody;
    for (const auto& part : vecParts) {
        strBody += "--AaB03x\r\ncontent-disposition: form-data; name=\"" + part.strField +
                   "\"; filename=\"" + part.strFileName + "\"\r\n";
        strBody += "Content-Type: multipart/mixed\r\n";
        strBody += "Content-Transfer-Encoding: binary\r\n\r\n";
        strBody += part.strData;
        strBody += "\r\n";
    }
    if (!vecParts.empty()) {
        strBody += "--AaB03x\r\n\r\n";
    }
    return strBody;
}

std::string ClientUploadRequest(const std::string& strId, const std::string& strBody) {
    return BuildRequest("POST", "/Kelpo/html/post.php?userid=" + strId, strBody,
                        "Content-Type: multipart/form-data, boundary=AaB03x\r\n");
}

SReply Upload(const CLiveService& service, const std::string& strId,
              const std::vector<SUploadPart>& vecParts, const char* pszSource) {
    return ParseReply(Exchange(service.HttpPort(),
                               ClientUploadRequest(strId, ClientUploadBody(vecParts)), pszSource));
}

CClockFile::CClockFile() {
    std::string strTemplate = (std::filesystem::temp_directory_path() / "zav-clock-XXXXXX");
    int fd = ::mkstemp(strTemplate.data());
    if (fd < 0) {
        ADD_FAILURE() << "cannot make a clock file: " << std::strerror(errno);
        return;
    }
    ::close(fd);
    m_strPath = strTemplate;
    m_nNowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    Advance(0);
}

CClockFile::~CClockFile() {
    if (!m_strPath.empty()) {
        ::unlink(m_strPath.c_str());
    }
}

void CClockFile::Advance(int64_t nMs) {
    m_nNowMs += nMs;
    const std::string strNew = m_strPath + ".new";
    std::ofstream(strNew) << m_nNowMs << "\n";
    ASSERT_EQ(::rename(strNew.c_str(), m_strPath.c_str()), 0) << std::strerror(errno);
}

std::string Cp949(const std::string& strUtf8) {
    return Iconv("CP949", "UTF-8", strUtf8);
}

std::string Utf8FromCp949(const std::string& strCp949) {
    return Iconv("UTF-8", "CP949", strCp949);
}

std::string RandomBytes(size_t n, unsigned nSeed) {
    std::mt19937 rng(nSeed);
    std::string str(n, '\0');
    for (auto& c : str) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return str;
}

}  // namespace svctest
