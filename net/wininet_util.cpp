#ifdef _WIN32

#include "net/wininet_util.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "net/http_request.h"
#include "net/stall_guard.h"
#include "platform/native_text.h"

namespace wininet_util {
namespace {

constexpr DWORD kConnectMs = static_cast<DWORD>(kConnectTimeoutSeconds) * 1000;
constexpr DWORD kStallMs = static_cast<DWORD>(kStallSeconds) * 1000;

// Two sessions: one straight to the host (loopback, where the stand-in service runs, is never
// sent through a proxy) and one with the system's proxy settings. No User-Agent of their own:
// the requests add theirs where they want one.
struct SSessions {
    InternetHandle hDirect{InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)};
    InternetHandle hProxied{
        InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)};
};

SSessions& Sessions() {
    static SSessions sessions = [] {
        SSessions made;
        // The path and query carry CP949 bytes (a member id as it is): WinINet is told to send
        // them in code page 949, not UTF-8 or the system's own code page.
        DWORD dwCodePage = 949;
        for (HINTERNET hSession : {made.hDirect.get(), made.hProxied.get()}) {
            InternetSetOptionW(hSession, INTERNET_OPTION_CODEPAGE_PATH, &dwCodePage,
                               sizeof(dwCodePage));
            InternetSetOptionW(hSession, INTERNET_OPTION_CODEPAGE_EXTRA, &dwCodePage,
                               sizeof(dwCodePage));
        }
        return made;
    }();
    return sessions;
}

bool IsLoopback(const std::wstring& host) {
    return host == L"localhost" || host == L"::1" || host == L"[::1]" ||
           host.rfind(L"127.", 0) == 0;
}

// The URL's text for the system. Paths carry CP949 bytes (ids are inserted as they are).
std::wstring UrlText(const std::string& strUrl) {
    if (strUrl.empty())
        return {};
    int nUnits =
        MultiByteToWideChar(949, 0, strUrl.data(), static_cast<int>(strUrl.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(nUnits > 0 ? nUnits : 0), L'\0');
    if (nUnits > 0)
        MultiByteToWideChar(949, 0, strUrl.data(), static_cast<int>(strUrl.size()), wide.data(),
                            nUnits);
    return wide;
}

void SetTimeouts(HINTERNET hHandle) {
    DWORD dwConnect = kConnectMs;
    DWORD dwStall = kStallMs;
    InternetSetOptionW(hHandle, INTERNET_OPTION_CONNECT_TIMEOUT, &dwConnect, sizeof(dwConnect));
    for (DWORD dwOption : {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                           INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
        InternetSetOptionW(hHandle, dwOption, &dwStall, sizeof(dwStall));
}

// The first certificate of a PEM or DER file; nullptr when there is none.
PCCERT_CONTEXT LoadCertificate(const std::string& strFile) {
    std::ifstream in(PathFromUtf8(strFile), std::ios::binary);
    std::string strData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (strData.empty())
        return nullptr;
    std::vector<BYTE> der;
    const std::string strBegin = "-----BEGIN CERTIFICATE-----";
    size_t nBegin = strData.find(strBegin);
    if (nBegin != std::string::npos) {
        size_t nEnd = strData.find("-----END CERTIFICATE-----", nBegin);
        if (nEnd == std::string::npos)
            return nullptr;
        nEnd += std::strlen("-----END CERTIFICATE-----");
        const char* pPem = strData.data() + nBegin;
        DWORD dwPem = static_cast<DWORD>(nEnd - nBegin);
        DWORD dwDer = 0;
        if (!CryptStringToBinaryA(pPem, dwPem, CRYPT_STRING_BASE64HEADER, nullptr, &dwDer, nullptr,
                                  nullptr))
            return nullptr;
        der.resize(dwDer);
        if (!CryptStringToBinaryA(pPem, dwPem, CRYPT_STRING_BASE64HEADER, der.data(), &dwDer,
                                  nullptr, nullptr))
            return nullptr;
        der.resize(dwDer);
    } else {
        der.assign(strData.begin(), strData.end());
    }
    return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()));
}

struct SCertFree {
    void operator()(PCCERT_CONTEXT p) const { CertFreeCertificateContext(p); }
};
struct SChainFree {
    void operator()(PCCERT_CHAIN_CONTEXT p) const { CertFreeCertificateChain(p); }
};

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// Reply lengths that WinINet reports as text.
bool ContentLength(HINTERNET hRequest, uint64_t& nLength) {
    wchar_t szValue[32] = {};
    DWORD dwBytes = sizeof(szValue);
    if (!HttpQueryInfoW(hRequest, HTTP_QUERY_CONTENT_LENGTH, szValue, &dwBytes, nullptr))
        return false;
    wchar_t* pEnd = nullptr;
    nLength = std::wcstoull(szValue, &pEnd, 10);
    return pEnd != szValue;
}

}  // namespace

bool SessionsReady() {
    return Sessions().hDirect && Sessions().hProxied;
}

std::string ErrorText(DWORD dwError) {
    std::string strText = "WinINet error " + std::to_string(dwError);
    wchar_t* pMessage = nullptr;
    DWORD dwLength = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    GetModuleHandleW(L"wininet.dll"), dwError, 0,
                                    reinterpret_cast<wchar_t*>(&pMessage), 0, nullptr);
    if (dwLength > 0 && pMessage != nullptr) {
        std::string strMessage = Utf8FromWide(std::wstring_view(pMessage, dwLength));
        while (!strMessage.empty() &&
               (strMessage.back() == '\n' || strMessage.back() == '\r' || strMessage.back() == ' '))
            strMessage.pop_back();
        strText += ": " + strMessage;
    }
    if (pMessage != nullptr)
        LocalFree(pMessage);
    return strText;
}

bool CRequest::Open(const std::string& strUrl, const wchar_t* szVerb, const wchar_t* szVersion,
                    const wchar_t* szReferrer, const std::string& strCaFile,
                    std::string& strError) {
    if (!SessionsReady()) {
        strError = "cannot create an HTTP session: " + ErrorText(GetLastError());
        return false;
    }
    std::wstring url = UrlText(strUrl);
    wchar_t szHost[256] = {};
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = szHost;
    parts.dwHostNameLength = static_cast<DWORD>(std::size(szHost));
    parts.dwUrlPathLength = 1;  // asks for a pointer into the URL
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        strError = "not an http or https address: " + strUrl;
        return false;
    }
    m_bSecure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    std::wstring object(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : L"",
                        parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr)
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty())
        object = L"/";

    const std::wstring host(szHost, parts.dwHostNameLength);
    HINTERNET hSession = IsLoopback(host) ? Sessions().hDirect.get() : Sessions().hProxied.get();
    m_hConnect.reset(InternetConnectW(hSession, host.c_str(), parts.nPort, nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP, 0, 0));
    if (!m_hConnect) {
        strError = ErrorText(GetLastError());
        return false;
    }
    SetTimeouts(m_hConnect.get());
    // Nothing is written to the cache, so nothing can be read from it; the cache lines the
    // transfers want they add themselves.
    DWORD dwFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                    INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (m_bSecure)
        dwFlags |= INTERNET_FLAG_SECURE;
    m_hRequest.reset(HttpOpenRequestW(m_hConnect.get(), szVerb, object.c_str(), szVersion,
                                      szReferrer, nullptr, dwFlags, 0));
    if (!m_hRequest) {
        strError = ErrorText(GetLastError());
        return false;
    }
    SetTimeouts(m_hRequest.get());
    m_strCaFile = m_bSecure ? strCaFile : std::string();
    if (!m_strCaFile.empty()) {
        DWORD dwSecurity = 0;
        DWORD dwSize = sizeof(dwSecurity);
        InternetQueryOptionW(m_hRequest.get(), INTERNET_OPTION_SECURITY_FLAGS, &dwSecurity,
                             &dwSize);
        dwSecurity |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!InternetSetOptionW(m_hRequest.get(), INTERNET_OPTION_SECURITY_FLAGS, &dwSecurity,
                                sizeof(dwSecurity))) {
            strError = "cannot prepare the HTTPS request: " + ErrorText(GetLastError());
            return false;
        }
    }
    return true;
}

bool CRequest::AddHeaders(const std::vector<std::string>& lines, std::string& strError) {
    for (const std::string& strLine : lines) {
        std::wstring line = UrlText(strLine);
        if (!HttpAddRequestHeadersW(m_hRequest.get(), line.c_str(), static_cast<DWORD>(line.size()),
                                    HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
            strError = "cannot add the header line " + strLine + ": " + ErrorText(GetLastError());
            return false;
        }
    }
    return true;
}

bool CRequest::Begin(uint64_t nBodyBytes, std::string& strError) {
    if (nBodyBytes > 0xFFFFFFFFu) {
        strError = "the body is too long for one request";
        return false;
    }
    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(nBodyBytes);
    if (!HttpSendRequestExW(m_hRequest.get(), &buffers, nullptr, 0, 0)) {
        strError = ErrorText(GetLastError());
        return false;
    }
    return CheckTrust(strError);
}

bool CRequest::Write(const char* pData, size_t nBytes, std::string& strError) {
    while (nBytes > 0) {
        DWORD dwWritten = 0;
        DWORD dwChunk = static_cast<DWORD>(std::min<size_t>(nBytes, 1u << 30));
        if (!InternetWriteFile(m_hRequest.get(), pData, dwChunk, &dwWritten) || dwWritten == 0) {
            strError = ErrorText(GetLastError());
            return false;
        }
        pData += dwWritten;
        nBytes -= dwWritten;
    }
    return true;
}

bool CRequest::End(std::string& strError) {
    if (!HttpEndRequestW(m_hRequest.get(), nullptr, 0, 0)) {
        strError = ErrorText(GetLastError());
        return false;
    }
    return true;
}

long CRequest::Status() const {
    DWORD dwStatus = 0;
    DWORD dwSize = sizeof(dwStatus);
    if (!m_hRequest ||
        !HttpQueryInfoW(m_hRequest.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &dwStatus, &dwSize, nullptr))
        return 0;
    return static_cast<long>(dwStatus);
}

bool CRequest::ReadBody(size_t nPiece, const std::function<bool(const char*, size_t)>& sink,
                        bool& bStopped, std::string& strError) {
    bStopped = false;
    uint64_t nAnnounced = 0;
    const bool bHasLength = ContentLength(m_hRequest.get(), nAnnounced);
    uint64_t nReceived = 0;
    std::vector<char> buffer(nPiece);
    net_detail::CStallGuard stall(net_detail::CStallGuard::Clock::now());
    while (true) {
        // Waits for the next bytes and takes what has arrived: InternetReadFile alone would wait
        // until the whole piece is filled.
        DWORD dwAvailable = 0;
        if (!InternetQueryDataAvailable(m_hRequest.get(), &dwAvailable, 0, 0)) {
            strError = ErrorText(GetLastError());
            return false;
        }
        DWORD dwAsk = static_cast<DWORD>(
            std::min<size_t>(buffer.size(), dwAvailable > 0 ? dwAvailable : buffer.size()));
        DWORD dwRead = 0;
        if (!InternetReadFile(m_hRequest.get(), buffer.data(), dwAsk, &dwRead)) {
            strError = ErrorText(GetLastError());
            return false;
        }
        if (dwRead == 0)
            break;
        nReceived += dwRead;
        if (!sink(buffer.data(), dwRead)) {
            bStopped = true;
            strError = "the transfer was stopped by its receiver";
            return false;
        }
        if (stall.Stalled(dwRead, net_detail::CStallGuard::Clock::now())) {
            strError = "the transfer stalled (less than 1 byte per second)";
            return false;
        }
    }
    if (bHasLength && nReceived < nAnnounced) {
        strError = "the connection closed before the whole reply arrived";
        return false;
    }
    return true;
}

bool CRequest::CheckTrust(std::string& strError) const {
    if (m_strCaFile.empty())
        return true;  // WinINet itself refused what the system does not trust
    PCCERT_CHAIN_CONTEXT pRawChain = nullptr;
    DWORD dwSize = sizeof(pRawChain);
    if (!InternetQueryOptionW(m_hRequest.get(), INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT,
                              &pRawChain, &dwSize) ||
        pRawChain == nullptr) {
        strError = "cannot read the server's certificate: " + ErrorText(GetLastError());
        return false;
    }
    std::unique_ptr<const CERT_CHAIN_CONTEXT, SChainFree> pChain(pRawChain);
    const DWORD dwStatus = pChain->TrustStatus.dwErrorStatus;
    if (dwStatus == CERT_TRUST_NO_ERROR)
        return true;  // trusted by the system
    // Only an unknown root is let through, and only when it is the extra certificate itself.
    const DWORD dwAllowed = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                            CERT_TRUST_IS_OFFLINE_REVOCATION;
    std::unique_ptr<const CERT_CONTEXT, SCertFree> pExtra(LoadCertificate(m_strCaFile));
    if (!pExtra) {
        strError = "cannot read the certificate file " + m_strCaFile;
        return false;
    }
    if ((dwStatus & ~dwAllowed) == 0 && pChain->cChain > 0) {
        const CERT_SIMPLE_CHAIN* pSimple = pChain->rgpChain[0];
        if (pSimple->cElement > 0 &&
            SameCertificate(pSimple->rgpElement[pSimple->cElement - 1]->pCertContext, pExtra.get()))
            return true;
    }
    char szStatus[16];
    std::snprintf(szStatus, sizeof szStatus, "%#lx", static_cast<unsigned long>(dwStatus));
    strError = std::string("the server's certificate is not trusted (chain status ") + szStatus +
               ", " + std::to_string(pChain->cChain) + " chains)";
    return false;
}

}  // namespace wininet_util

#endif  // _WIN32
