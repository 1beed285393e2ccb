#include <algorithm>

#include "net/curl_util.h"
#include "net/http_transfer.h"

namespace {

using curl_util::CHeaderList;
using curl_util::CurlHandle;

constexpr long kBufferBytes = 512L * 1024L;
constexpr size_t kMaxPostReplyBytes = size_t{64} * 1024;

struct SPostState {
    const CHttpTransfer::ReadFn* pRead = nullptr;
    std::string* pReply = nullptr;
    uint64_t nLength = 0;  // announced
    uint64_t nGiven = 0;   // handed to libcurl so far
    bool bAborted = false;
    bool bShort = false;  // the reader ended before the announced length
};

struct SGetState {
    const CHttpTransfer::WriteFn* pWrite = nullptr;
    bool bAborted = false;
};

size_t ReadBody(char* pBuffer, size_t nSize, size_t nCount, void* pUser) {
    auto* pState = static_cast<SPostState*>(pUser);
    size_t nCapacity = nSize * nCount;
    // Never more than announced: the server reads exactly Content-Length bytes.
    uint64_t nLeft = pState->nLength - pState->nGiven;
    if (nLeft < nCapacity)
        nCapacity = static_cast<size_t>(nLeft);
    if (nCapacity == 0)
        return 0;
    size_t nGiven = (*pState->pRead)(pBuffer, nCapacity);
    if (nGiven == CHttpTransfer::kAbort || nGiven > nCapacity) {
        pState->bAborted = true;
        return CURL_READFUNC_ABORT;
    }
    if (nGiven == 0) {
        // A body shorter than announced would leave the server waiting for the rest.
        pState->bShort = true;
        return CURL_READFUNC_ABORT;
    }
    pState->nGiven += nGiven;
    return nGiven;
}

size_t KeepPostReply(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pState = static_cast<SPostState*>(pUser);
    size_t nBytes = nSize * nCount;
    if (pState->pReply->size() < kMaxPostReplyBytes) {
        pState->pReply->append(pData,
                               std::min(nBytes, kMaxPostReplyBytes - pState->pReply->size()));
    }
    return nBytes;
}

size_t PassBody(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pState = static_cast<SGetState*>(pUser);
    size_t nBytes = nSize * nCount;
    if (!(*pState->pWrite)(pData, nBytes)) {
        pState->bAborted = true;
        return 0;  // libcurl stops with a write error
    }
    return nBytes;
}

bool AppendLines(CHeaderList& headers, const std::vector<std::string>& lines) {
    for (const std::string& strLine : lines) {
        if (!headers.Append(strLine))
            return false;
    }
    return true;
}

}  // namespace

struct CHttpTransfer::SImpl {
    std::string strCaFile;
    CurlHandle pCurl;
    char szError[CURL_ERROR_SIZE] = {};

    // A fresh set of options on the kept handle (its connection cache survives the reset).
    CURL* Prepare(const std::string& strUrl, SHttpResult& result) {
        if (!pCurl)
            pCurl.reset(curl_easy_init());
        if (!pCurl) {
            result.strError = "cannot create an HTTP session";
            return nullptr;
        }
        curl_easy_reset(pCurl.get());
        bool bOk = curl_util::ApplyCommonOptions(pCurl.get(), strUrl, szError, strCaFile);
        bOk = bOk && curl_easy_setopt(pCurl.get(), CURLOPT_BUFFERSIZE, kBufferBytes) == CURLE_OK;
        bOk = bOk &&
              curl_easy_setopt(pCurl.get(), CURLOPT_UPLOAD_BUFFERSIZE, kBufferBytes) == CURLE_OK;
        if (!bOk) {
            result.strError = "cannot prepare the HTTP request";
            return nullptr;
        }
        return pCurl.get();
    }

    // Runs the prepared transfer (unless an option could not be set) and fills in its outcome;
    // bAborted is read after the transfer, as its callbacks set it.
    void Perform(bool bPrepared, const bool& bAborted, SHttpResult& result) {
        if (!bPrepared) {
            result.strError = "cannot prepare the HTTP request";
            return;
        }
        const CURLcode code = curl_easy_perform(pCurl.get());
        long nStatus = 0;
        curl_easy_getinfo(pCurl.get(), CURLINFO_RESPONSE_CODE, &nStatus);
        result.nStatus = nStatus;
        result.bAborted = bAborted;
        result.bTransportOk = code == CURLE_OK;
        if (!result.bTransportOk)
            result.strError = curl_util::ErrorText(code, szError);
    }
};

CHttpTransfer::CHttpTransfer(std::string strCaFile) : m_pImpl(std::make_unique<SImpl>()) {
    m_pImpl->strCaFile = std::move(strCaFile);
}

CHttpTransfer::~CHttpTransfer() = default;

SHttpResult CHttpTransfer::Post(const std::string& strUrl,
                                const std::vector<std::string>& headerLines,
                                uint64_t nContentLength, const ReadFn& readFn) {
    SHttpResult result;
    CURL* p = m_pImpl->Prepare(strUrl, result);
    if (p == nullptr)
        return result;

    CHeaderList headers;
    bool bOk = AppendLines(headers, headerLines) && headers.Append("Expect:") &&
               headers.Append("Transfer-Encoding:");
    SPostState state;
    state.pRead = &readFn;
    state.pReply = &result.strBody;
    state.nLength = nContentLength;
    auto set = [&bOk](CURLcode code) { bOk = bOk && code == CURLE_OK; };
    set(curl_easy_setopt(p, CURLOPT_POST, 1L));
    set(curl_easy_setopt(p, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(nContentLength)));
    set(curl_easy_setopt(p, CURLOPT_READFUNCTION, &ReadBody));
    set(curl_easy_setopt(p, CURLOPT_READDATA, &state));
    set(curl_easy_setopt(p, CURLOPT_WRITEFUNCTION, &KeepPostReply));
    set(curl_easy_setopt(p, CURLOPT_WRITEDATA, &state));
    set(curl_easy_setopt(p, CURLOPT_HTTPHEADER, headers.Get()));
    m_pImpl->Perform(bOk, state.bAborted, result);
    if (state.bShort)
        result.strError = "the body ended before its announced length";
    return result;
}

SHttpResult CHttpTransfer::Get(const std::string& strUrl,
                               const std::vector<std::string>& headerLines, bool bHttp10,
                               const std::string& strAgent, const WriteFn& writeFn) {
    SHttpResult result;
    CURL* p = m_pImpl->Prepare(strUrl, result);
    if (p == nullptr)
        return result;

    CHeaderList headers;
    // Always from the server, never from a cache on the way.
    bool bOk = headers.Append("Cache-Control: no-cache") && headers.Append("Pragma: no-cache") &&
               AppendLines(headers, headerLines);
    SGetState state{&writeFn, false};
    auto set = [&bOk](CURLcode code) { bOk = bOk && code == CURLE_OK; };
    set(curl_easy_setopt(p, CURLOPT_HTTPGET, 1L));
    set(curl_easy_setopt(p, CURLOPT_HTTP_VERSION,
                         bHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1));
    if (!strAgent.empty())
        set(curl_easy_setopt(p, CURLOPT_USERAGENT, strAgent.c_str()));
    set(curl_easy_setopt(p, CURLOPT_WRITEFUNCTION, &PassBody));
    set(curl_easy_setopt(p, CURLOPT_WRITEDATA, &state));
    set(curl_easy_setopt(p, CURLOPT_HTTPHEADER, headers.Get()));
    m_pImpl->Perform(bOk, state.bAborted, result);
    return result;
}
