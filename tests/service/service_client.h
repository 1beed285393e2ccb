#pragma once
// Talks to zav-service the way outside clients do: raw HTTP over plain sockets or TLS, from a
// chosen loopback source address, with bodies built byte for byte.

#include <cstdint>
#include <string>
#include <vector>

#include "support/live_service.h"

namespace svctest {

struct SReply {
    bool bOk = false;  // a status line arrived
    int nStatus = 0;
    std::string strHeaders;
    std::string strBody;
};

// Owns a socket descriptor.
class CSocket {
public:
    explicit CSocket(int fd) : m_fd(fd) {}
    ~CSocket();
    CSocket(CSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// A connected TCP socket to 127.0.0.1:nPort from pszSource (or any local address); -1 on
// failure. Reads and writes time out after 20 s. The caller closes it.
int OpenConnection(int nPort, const char* pszSource = nullptr);

// Sends the bytes and reads until the server closes. pszSource binds the client socket first
// (e.g. "127.0.0.2"). nSendBytes < request size sends only that much and closes. bHalfClose
// shuts the sending side after the request.
std::string Exchange(int nPort, const std::string& strRequest, const char* pszSource = nullptr,
                     size_t nSendBytes = std::string::npos, bool bHalfClose = false);
// Sends the bytes and returns whatever the server answers first, without waiting for the end.
std::string FirstAnswer(int nPort, const std::string& strRequest);
std::string TlsExchange(int nPort, const std::string& strRequest, const std::string& strCaFile,
                        const char* pszSource = nullptr);
SReply ParseReply(const std::string& strRaw);

// "METHOD TARGET HTTP/1.1" with Host, Connection: close, Content-Length (for a body) and the
// extra header lines (each ending in CR LF).
std::string BuildRequest(const std::string& strMethod, const std::string& strTarget,
                         const std::string& strBody, const std::string& strExtraHeaders = "");

SReply Get(const CLiveService& service, const std::string& strTarget,
           const char* pszSource = nullptr);
SReply PostForm(const CLiveService& service, const std::string& strTarget,
                const std::string& strBody, const char* pszSource = nullptr);
// The login form exactly as the client builds it, over HTTPS with the service's certificate.
SReply Login(const CLiveService& service, const std::string& strId, const std::string& strPw,
             const char* pszSource = nullptr,
             const std::string& strCode = "3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f");

struct SUploadPart {
    std::string strField;
    std::string strFileName;
    std::string strData;
};
// The desktop client's multipart body: lower-case disposition, multipart/mixed parts, closing
// line "--AaB03x" CR LF CR LF.
std::string ClientUploadBody(const std::vector<SUploadPart>& vecParts);
// The client's request: its content type with the boundary after a comma.
std::string ClientUploadRequest(const std::string& strId, const std::string& strBody);
SReply Upload(const CLiveService& service, const std::string& strId,
              const std::vector<SUploadPart>& vecParts, const char* pszSource = nullptr);

// The time a service started with {"--clock-file", Path()} sees: a temporary file, removed
// with the object. It starts at the present.
class CClockFile {
public:
    CClockFile();
    ~CClockFile();
    CClockFile(const CClockFile&) = delete;
    CClockFile& operator=(const CClockFile&) = delete;
    const std::string& Path() const { return m_strPath; }
    void Advance(int64_t nMs);  // replaces the file in one step

private:
    std::string m_strPath;
    int64_t m_nNowMs = 0;
};

std::string Cp949(const std::string& strUtf8);
std::string Utf8FromCp949(const std::string& strCp949);
std::string RandomBytes(size_t n, unsigned nSeed);

}  // namespace svctest
