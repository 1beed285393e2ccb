// WinINet handles and what every request of the program shares on Windows: the sessions, the
// time limits, the proxy choice and HTTPS trust. Internal to net/.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace wininet_util {

struct SHandleCloser {
    void operator()(HINTERNET hHandle) const { InternetCloseHandle(hHandle); }
};
using InternetHandle = std::unique_ptr<void, SHandleCloser>;

// False when the process-wide sessions cannot be opened.
bool SessionsReady();

// One request on its own connection.
class CRequest {
public:
    // Opens the connection and the request for strUrl ("http[s]://host[:port]/path").
    //   szVersion:  L"HTTP/1.1" or L"HTTP/1.0";
    //   szReferrer: the Referer line, or nullptr for none.
    // Loopback hosts are reached directly, every other host through the system's proxy
    // settings. No cache, no cookies, no redirects, no dialogs; 15 s to connect and 60 s for
    // each send and receive. With strCaFile (an extra trusted certificate) not empty, an
    // unknown root is let through the handshake and checked by CheckTrust before any body
    // byte goes out.
    bool Open(const std::string& strUrl, const wchar_t* szVerb, const wchar_t* szVersion,
              const wchar_t* szReferrer, const std::string& strCaFile, std::string& strError);

    // Adds "Name: value" lines, each replacing a line of the same name.
    bool AddHeaders(const std::vector<std::string>& lines, std::string& strError);

    // Sends the head (and announces nBodyBytes) and checks the server's certificate.
    bool Begin(uint64_t nBodyBytes, std::string& strError);
    // Sends the next body bytes.
    bool Write(const char* pData, size_t nBytes, std::string& strError);
    // Ends the request and waits for the reply's head.
    bool End(std::string& strError);

    // The reply's status code, 0 when none arrived.
    long Status() const;

    // Reads the body in pieces of at most nPiece bytes and hands each to sink; false from the
    // sink stops (bStopped is then true). False with strError when the transfer failed: an
    // error, a stall, or a connection closed before the announced length.
    bool ReadBody(size_t nPiece, const std::function<bool(const char*, size_t)>& sink,
                  bool& bStopped, std::string& strError);

private:
    bool CheckTrust(std::string& strError) const;

    InternetHandle m_hConnect;
    InternetHandle m_hRequest;
    bool m_bSecure = false;
    std::string m_strCaFile;  // the extra trusted certificate of an HTTPS request, or ""
};

// "WinINet error N: text" for a failed call.
std::string ErrorText(DWORD dwError);

}  // namespace wininet_util

#endif  // _WIN32
