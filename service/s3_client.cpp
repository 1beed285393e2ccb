#include "service/s3_client.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>

namespace zavsvc {
namespace {

constexpr long kConnectTimeoutS = 5;
// A transfer slower than one byte a second for this long has stalled.
constexpr long kStallSeconds = 60;
constexpr size_t kMaxPooledHandles = 16;
// The SHA-256 of no bytes: the payload of every request but an upload's.
constexpr const char* kEmptyPayloadHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The header that names the payload's hash: S3 requires it, libcurl signs it as it is, and the
// store refuses an upload whose bytes do not match it.
curl_slist* PayloadHeader(curl_slist* pList, const std::string& strSha256) {
    return curl_slist_append(pList, ("x-amz-content-sha256: " + strSha256).c_str());
}

struct SSlistFree {
    void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};
using SlistPtr = std::unique_ptr<curl_slist, SSlistFree>;

bool IsBucketChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool IsKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '/';
}

size_t AppendBody(char* p, size_t nSize, size_t nCount, void* pUser) {
    static_cast<std::string*>(pUser)->append(p, nSize * nCount);
    return nSize * nCount;
}

std::string Describe(CURLcode eCode, long nStatus, const std::string& strBody) {
    if (eCode != CURLE_OK) {
        return curl_easy_strerror(eCode);
    }
    // S3's error replies name their cause in <Code>.
    std::string strCode;
    const size_t nStart = strBody.find("<Code>");
    const size_t nEnd = strBody.find("</Code>");
    if (nStart != std::string::npos && nEnd != std::string::npos && nEnd > nStart) {
        strCode = " " + strBody.substr(nStart + 6, nEnd - nStart - 6);
    }
    return "HTTP " + std::to_string(nStatus) + strCode;
}

// The text of each <Tag>...</Tag> in the XML, in order. The store's listings hold the service's
// own keys, which have no characters XML escapes.
std::vector<std::string> ElementTexts(const std::string& strXml, const std::string& strTag) {
    std::vector<std::string> vec;
    const std::string strOpen = "<" + strTag + ">";
    const std::string strClose = "</" + strTag + ">";
    size_t nPos = 0;
    while ((nPos = strXml.find(strOpen, nPos)) != std::string::npos) {
        const size_t nStart = nPos + strOpen.size();
        const size_t nEnd = strXml.find(strClose, nStart);
        if (nEnd == std::string::npos) {
            break;
        }
        vec.push_back(strXml.substr(nStart, nEnd - nStart));
        nPos = nEnd + strClose.size();
    }
    return vec;
}

}  // namespace

bool ParseS3Url(const std::string& strUrl, SS3Location& rOut, std::string* pStrError) {
    constexpr std::string_view kScheme = "s3://";
    if (strUrl.rfind(kScheme, 0) != 0) {
        *pStrError = "the store must be s3://BUCKET/PREFIX";
        return false;
    }
    const std::string strRest = strUrl.substr(kScheme.size());
    const size_t nSlash = strRest.find('/');
    const std::string strBucket = strRest.substr(0, nSlash);
    std::string strPrefix = nSlash == std::string::npos ? "" : strRest.substr(nSlash + 1);
    bool bOk = strBucket.size() >= 3 && strBucket.size() <= 63;
    for (char c : strBucket) {
        bOk = bOk && IsBucketChar(c);
    }
    if (!bOk) {
        *pStrError = "a bucket name has 3 to 63 lower-case letters, digits, '.' or '-'";
        return false;
    }
    for (char c : strPrefix) {
        bOk = bOk && IsKeyChar(c);
    }
    if (!bOk || strPrefix.find("//") != std::string::npos || strPrefix.rfind('/', 0) == 0 ||
        strPrefix.size() > 200) {
        *pStrError = "a prefix has letters, digits and '.', '_', '-' between single '/'";
        return false;
    }
    if (!strPrefix.empty() && strPrefix.back() != '/') {
        strPrefix += '/';
    }
    rOut.strBucket = strBucket;
    rOut.strPrefix = strPrefix;
    return true;
}

bool CredentialsFromEnvironment(SS3Credentials& rOut, std::string* pStrError) {
    const char* pszKey = std::getenv("AWS_ACCESS_KEY_ID");
    const char* pszSecret = std::getenv("AWS_SECRET_ACCESS_KEY");
    const char* pszRegion = std::getenv("AWS_REGION");
    if (pszKey == nullptr || *pszKey == '\0' || pszSecret == nullptr || *pszSecret == '\0') {
        *pStrError = "the S3 store needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY";
        return false;
    }
    const std::string strRegion = pszRegion != nullptr && *pszRegion != '\0' ? pszRegion : "";
    for (char c : strRegion) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            *pStrError = "AWS_REGION has lower-case letters, digits and '-'";
            return false;
        }
    }
    // The user name and password go to libcurl as "KEY:SECRET".
    if (std::strchr(pszKey, ':') != nullptr) {
        *pStrError = "AWS_ACCESS_KEY_ID cannot hold ':'";
        return false;
    }
    rOut.strAccessKey = pszKey;
    rOut.strSecretKey = pszSecret;
    rOut.strRegion = strRegion.empty() ? "us-east-1" : strRegion;
    return true;
}

CS3Client::CS3Client(SS3Location location, SS3Credentials credentials)
    : m_location(std::move(location)),
      m_credentials(std::move(credentials)),
      m_strSigning("aws:amz:" + m_credentials.strRegion + ":s3") {
    static std::once_flag s_once;
    std::call_once(s_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CS3Client::~CS3Client() {
    for (CURL* p : m_vecIdle) {
        curl_easy_cleanup(p);
    }
}

std::string CS3Client::ObjectUrl(const std::string& strKey) const {
    return m_location.strEndpoint + "/" + m_location.strBucket + "/" + strKey;
}

void CS3Client::SetUp(CURL* pEasy, const std::string& strUrl) const {
    curl_easy_setopt(pEasy, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pEasy, CURLOPT_AWS_SIGV4, m_strSigning.c_str());
    curl_easy_setopt(pEasy, CURLOPT_USERNAME, m_credentials.strAccessKey.c_str());
    curl_easy_setopt(pEasy, CURLOPT_PASSWORD, m_credentials.strSecretKey.c_str());
    curl_easy_setopt(pEasy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pEasy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pEasy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(pEasy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    // The store is named by the service's own options: no proxy of the environment applies.
    curl_easy_setopt(pEasy, CURLOPT_NOPROXY, "*");
}

CURL* CS3Client::TakeHandle(const std::string& strUrl) {
    CURL* pEasy = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (!m_vecIdle.empty()) {
            pEasy = m_vecIdle.back();
            m_vecIdle.pop_back();
        }
    }
    if (pEasy == nullptr) {
        pEasy = curl_easy_init();
    } else {
        curl_easy_reset(pEasy);  // keeps the open connections
    }
    if (pEasy != nullptr) {
        SetUp(pEasy, strUrl);
    }
    return pEasy;
}

void CS3Client::GiveHandle(CURL* pEasy) {
    std::lock_guard lock(m_mutex);
    if (m_vecIdle.size() < kMaxPooledHandles) {
        m_vecIdle.push_back(pEasy);
    } else {
        curl_easy_cleanup(pEasy);
    }
}

bool CS3Client::Perform(CURL* pEasy, long& rStatus, std::string& rBody, std::string* pStrError) {
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, &rBody);
    const CURLcode eCode = curl_easy_perform(pEasy);
    rStatus = 0;
    curl_easy_getinfo(pEasy, CURLINFO_RESPONSE_CODE, &rStatus);
    if (eCode != CURLE_OK) {
        *pStrError = Describe(eCode, rStatus, rBody);
        return false;
    }
    return true;
}

bool CS3Client::Request(const std::string& strUrl, const char* pszMethod, long& rStatus,
                        std::string& rBody, std::string* pStrError) {
    CURL* pEasy = TakeHandle(strUrl);
    if (pEasy == nullptr) {
        *pStrError = "out of memory";
        return false;
    }
    if (std::strcmp(pszMethod, "HEAD") == 0) {
        curl_easy_setopt(pEasy, CURLOPT_NOBODY, 1L);
    } else if (std::strcmp(pszMethod, "GET") != 0) {
        curl_easy_setopt(pEasy, CURLOPT_CUSTOMREQUEST, pszMethod);
    }
    SlistPtr headers(PayloadHeader(nullptr, kEmptyPayloadHash));
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, headers.get());
    const bool bOk = Perform(pEasy, rStatus, rBody, pStrError);
    GiveHandle(pEasy);
    return bOk;
}

bool CS3Client::CheckBucket(std::string* pStrError) {
    long nStatus = 0;
    std::string strBody;
    const bool bOk = Request(m_location.strEndpoint + "/" + m_location.strBucket, "HEAD", nStatus,
                             strBody, pStrError);
    if (bOk && nStatus != 200) {
        *pStrError = "bucket " + m_location.strBucket + ": " + Describe(CURLE_OK, nStatus, "");
        return false;
    }
    return bOk;
}

bool CS3Client::PutFile(const std::string& strKey, const std::string& strPath,
                        const std::string& strSha256, std::string* pStrError) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(strPath.c_str(), "rbe"),
                                                       std::fclose);
    struct stat st {};
    if (!file || ::fstat(fileno(file.get()), &st) != 0) {
        *pStrError = strPath + ": " + std::strerror(errno);
        return false;
    }
    CURL* pEasy = TakeHandle(ObjectUrl(strKey));
    if (pEasy == nullptr) {
        *pStrError = "out of memory";
        return false;
    }
    SlistPtr headers(PayloadHeader(curl_slist_append(nullptr, "Expect:"), strSha256));
    curl_slist_append(headers.get(), "Content-Type: application/zip");
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(pEasy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(pEasy, CURLOPT_READDATA, file.get());
    curl_easy_setopt(pEasy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
    long nStatus = 0;
    std::string strBody;
    bool bOk = Perform(pEasy, nStatus, strBody, pStrError);
    // The whole file must have gone out: a file that changed size meanwhile is no upload.
    curl_off_t nSent = 0;
    curl_easy_getinfo(pEasy, CURLINFO_SIZE_UPLOAD_T, &nSent);
    GiveHandle(pEasy);
    if (bOk && (nStatus != 200 || nSent != st.st_size)) {
        *pStrError = "PUT " + strKey + ": " + Describe(CURLE_OK, nStatus, strBody);
        return false;
    }
    return bOk;
}

bool CS3Client::Delete(const std::string& strKey, std::string* pStrError) {
    long nStatus = 0;
    std::string strBody;
    const bool bOk = Request(ObjectUrl(strKey), "DELETE", nStatus, strBody, pStrError);
    if (bOk && nStatus != 204 && nStatus != 200 && nStatus != 404) {
        *pStrError = "DELETE " + strKey + ": " + Describe(CURLE_OK, nStatus, strBody);
        return false;
    }
    return bOk;
}

bool CS3Client::List(const std::string& strKeyPrefix, std::vector<SS3Object>& rOut,
                     std::string* pStrError) {
    std::string strToken;
    while (true) {
        // The query in the canonical order the signature has it: names sorted, values
        // percent-encoded.
        std::string strQuery;
        auto add = [&strQuery](const char* pszName, const std::string& strValue) {
            char* pszEscaped =
                curl_easy_escape(nullptr, strValue.c_str(), static_cast<int>(strValue.size()));
            strQuery += std::string(strQuery.empty() ? "?" : "&") + pszName + "=" +
                        (pszEscaped != nullptr ? pszEscaped : "");
            curl_free(pszEscaped);
        };
        if (!strToken.empty()) {
            add("continuation-token", strToken);
        }
        add("list-type", "2");
        add("prefix", strKeyPrefix);
        long nStatus = 0;
        std::string strBody;
        const bool bOk =
            Request(m_location.strEndpoint + "/" + m_location.strBucket + "/" + strQuery, "GET",
                    nStatus, strBody, pStrError);
        if (!bOk) {
            return false;
        }
        if (nStatus != 200) {
            *pStrError = "listing: " + Describe(CURLE_OK, nStatus, strBody);
            return false;
        }
        // A listing taken for whole when it is not would let the sweep forget objects that
        // are still there; a store that hands back the same page again would never end it.
        std::string strNext;
        if (!ParseListPage(strBody, rOut, strNext)) {
            *pStrError = "listing: the store's reply is not a whole listing";
            return false;
        }
        if (strNext.empty()) {
            return true;
        }
        if (strNext == strToken) {
            *pStrError = "listing: the store gives the same page again";
            return false;
        }
        strToken = std::move(strNext);
    }
}

bool ParseListPage(const std::string& strBody, std::vector<SS3Object>& rOut,
                   std::string& rNextToken) {
    constexpr std::string_view kClose = "</ListBucketResult>";
    const size_t nLast = strBody.find_last_not_of(" \t\r\n");
    if (strBody.find("<ListBucketResult") == std::string::npos || nLast == std::string::npos ||
        nLast + 1 < kClose.size() ||
        std::string_view(strBody).substr(nLast + 1 - kClose.size(), kClose.size()) != kClose) {
        return false;
    }
    std::vector<SS3Object> vecPage;
    for (const auto& strContents : ElementTexts(strBody, "Contents")) {
        const auto vecKey = ElementTexts(strContents, "Key");
        const auto vecSize = ElementTexts(strContents, "Size");
        if (vecKey.empty() || vecKey[0].empty() || vecSize.empty() || vecSize[0].empty() ||
            vecSize[0].size() > 18 ||
            vecSize[0].find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        vecPage.push_back({vecKey[0], std::stoll(vecSize[0])});
    }
    const auto vecTruncated = ElementTexts(strBody, "IsTruncated");
    const auto vecNext = ElementTexts(strBody, "NextContinuationToken");
    const bool bMore = !vecTruncated.empty() && vecTruncated[0] == "true";
    if (bMore && (vecNext.empty() || vecNext[0].empty())) {
        return false;  // more to come, but no way to ask for it
    }
    rNextToken = bMore ? vecNext[0] : std::string();
    rOut.insert(rOut.end(), std::make_move_iterator(vecPage.begin()),
                std::make_move_iterator(vecPage.end()));
    return true;
}

std::unique_ptr<CS3Download> CS3Client::Get(const std::string& strKey, std::string* pStrError) {
    std::unique_ptr<CS3Download> pDownload(new CS3Download());
    pDownload->m_pMulti = curl_multi_init();
    pDownload->m_pEasy = curl_easy_init();
    if (pDownload->m_pMulti == nullptr || pDownload->m_pEasy == nullptr) {
        *pStrError = "out of memory";
        return nullptr;
    }
    CURL* pEasy = pDownload->m_pEasy;
    SetUp(pEasy, ObjectUrl(strKey));
    curl_easy_setopt(pEasy, CURLOPT_WRITEFUNCTION, CS3Download::OnBody);
    curl_easy_setopt(pEasy, CURLOPT_WRITEDATA, pDownload.get());
    curl_easy_setopt(pEasy, CURLOPT_HEADERFUNCTION, CS3Download::OnHeader);
    curl_easy_setopt(pEasy, CURLOPT_HEADERDATA, pDownload.get());
    pDownload->m_pHeaders = PayloadHeader(nullptr, kEmptyPayloadHash);
    curl_easy_setopt(pEasy, CURLOPT_HTTPHEADER, pDownload->m_pHeaders);
    curl_multi_add_handle(pDownload->m_pMulti, pEasy);
    if (!pDownload->Start()) {
        *pStrError = pDownload->m_strError;
        return nullptr;
    }
    return pDownload;
}

CS3Download::~CS3Download() {
    if (m_pMulti != nullptr && m_pEasy != nullptr) {
        curl_multi_remove_handle(m_pMulti, m_pEasy);
    }
    if (m_pEasy != nullptr) {
        curl_easy_cleanup(m_pEasy);
    }
    if (m_pMulti != nullptr) {
        curl_multi_cleanup(m_pMulti);
    }
    curl_slist_free_all(m_pHeaders);
}

size_t CS3Download::OnBody(char* p, size_t nSize, size_t nCount, void* pUser) {
    auto* pThis = static_cast<CS3Download*>(pUser);
    pThis->m_strBuffer.append(p, nSize * nCount);
    pThis->m_nReceived += static_cast<int64_t>(nSize * nCount);
    return nSize * nCount;
}

size_t CS3Download::OnHeader(char* p, size_t nSize, size_t nCount, void* pUser) {
    auto* pThis = static_cast<CS3Download*>(pUser);
    const size_t n = nSize * nCount;
    // The empty line ends a head; a "100 Continue" head is followed by the real one.
    if (n <= 2 && (n == 0 || p[0] == '\r' || p[0] == '\n')) {
        long nStatus = 0;
        curl_easy_getinfo(pThis->m_pEasy, CURLINFO_RESPONSE_CODE, &nStatus);
        if (nStatus >= 200) {
            pThis->m_nStatus = static_cast<int>(nStatus);
            curl_off_t nLength = -1;
            curl_easy_getinfo(pThis->m_pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nLength);
            pThis->m_nLength = nLength;
            pThis->m_bHeadDone = true;
        }
    }
    return n;
}

bool CS3Download::Step() {
    if (m_bDone) {
        return false;
    }
    int nRunning = 0;
    if (curl_multi_perform(m_pMulti, &nRunning) != CURLM_OK) {
        m_bDone = true;
        m_eResult = CURLE_FAILED_INIT;
        return false;
    }
    int nQueued = 0;
    while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti, &nQueued)) {
        if (pMsg->msg == CURLMSG_DONE) {
            m_bDone = true;
            m_eResult = pMsg->data.result;
        }
    }
    if (!m_bDone && nRunning > 0 && m_strBuffer.empty()) {
        curl_multi_poll(m_pMulti, nullptr, 0, 1000, nullptr);
    }
    return !m_bDone || !m_strBuffer.empty();
}

bool CS3Download::Start() {
    while (!m_bHeadDone && !m_bDone) {
        Step();
    }
    if (!m_bHeadDone) {
        m_strError = curl_easy_strerror(m_eResult == CURLE_OK ? CURLE_GOT_NOTHING : m_eResult);
        return false;
    }
    return true;
}

bool CS3Download::Pump(const std::function<bool(const char*, size_t)>& fnSink) {
    while (true) {
        if (!m_strBuffer.empty()) {
            const std::string strPiece = std::move(m_strBuffer);
            m_strBuffer.clear();
            if (!fnSink(strPiece.data(), strPiece.size())) {
                return false;
            }
            continue;
        }
        if (m_bDone) {
            return m_eResult == CURLE_OK && (m_nLength < 0 || m_nReceived == m_nLength);
        }
        Step();
    }
}

}  // namespace zavsvc
