#pragma once
// An S3-compatible object store reached over HTTP through libcurl, which signs every request
// itself (AWS Signature Version 4, CURLOPT_AWS_SIGV4). Buckets are addressed by path
// (ENDPOINT/BUCKET/KEY), so that any endpoint works without names in DNS. The credentials come
// from the environment only: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and AWS_REGION.

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zavsvc {

struct SS3Location {
    std::string strEndpoint;  // "http://HOST:PORT", without a closing slash
    std::string strBucket;
    std::string strPrefix;  // empty, or ending with '/'
};

// Reads "s3://BUCKET/PREFIX" (the prefix may be empty); bucket names have lower-case letters,
// digits, '.' and '-', prefixes letters, digits and "._-/". False with the reason.
bool ParseS3Url(const std::string& strUrl, SS3Location& rOut, std::string* pStrError);

struct SS3Credentials {
    std::string strAccessKey;
    std::string strSecretKey;
    std::string strRegion;  // us-east-1 when AWS_REGION is not set
};
bool CredentialsFromEnvironment(SS3Credentials& rOut, std::string* pStrError);

struct SS3Object {
    std::string strKey;
    int64_t nSize = 0;
};

// One page of a ListObjectsV2 reply: its objects (appended to rOut) and the token of the next
// page (empty on the last). False, with rOut as it was, when the reply is not one whole
// listing: it broke off, or an object's key or size is missing or not a size.
bool ParseListPage(const std::string& strBody, std::vector<SS3Object>& rOut,
                   std::string& rNextToken);

// A GET whose status and length are known before its body is read.
class CS3Download {
public:
    ~CS3Download();
    CS3Download(const CS3Download&) = delete;
    CS3Download& operator=(const CS3Download&) = delete;

    int Status() const { return m_nStatus; }  // 0 when the store could not be reached
    int64_t Length() const { return m_nLength; }
    const std::string& Error() const { return m_strError; }
    // Hands the body to fnSink piece by piece until it has all come; false when the transfer
    // broke off, came short or fnSink refused a piece.
    bool Pump(const std::function<bool(const char*, size_t)>& fnSink);

private:
    friend class CS3Client;
    CS3Download() = default;
    // Runs the transfer until the head has arrived (or it ended).
    bool Start();
    // One step of the transfer; false when it has ended.
    bool Step();
    static size_t OnBody(char* p, size_t nSize, size_t nCount, void* pUser);
    static size_t OnHeader(char* p, size_t nSize, size_t nCount, void* pUser);

    CURLM* m_pMulti = nullptr;
    CURL* m_pEasy = nullptr;
    curl_slist* m_pHeaders = nullptr;
    std::string m_strBuffer;
    bool m_bHeadDone = false;
    bool m_bDone = false;
    CURLcode m_eResult = CURLE_OK;
    int m_nStatus = 0;
    int64_t m_nLength = -1;
    int64_t m_nReceived = 0;
    std::string m_strError;
};

class CS3Client {
public:
    CS3Client(SS3Location location, SS3Credentials credentials);
    ~CS3Client();
    CS3Client(const CS3Client&) = delete;
    CS3Client& operator=(const CS3Client&) = delete;

    const SS3Location& Location() const { return m_location; }
    // The bucket answers (HEAD).
    bool CheckBucket(std::string* pStrError);
    // Stores the file's bytes under the key (a key inside the bucket, prefix included);
    // strSha256 is their SHA-256 in hex, which the store checks them against.
    bool PutFile(const std::string& strKey, const std::string& strPath,
                 const std::string& strSha256, std::string* pStrError);
    // A key that is not there counts as deleted.
    bool Delete(const std::string& strKey, std::string* pStrError);
    // Every object whose key starts with strKeyPrefix, page by page.
    bool List(const std::string& strKeyPrefix, std::vector<SS3Object>& rOut,
              std::string* pStrError);
    // Starts a GET and waits for its status; nullptr when the store could not be reached.
    std::unique_ptr<CS3Download> Get(const std::string& strKey, std::string* pStrError);

private:
    // A handle set up for the request (URL, signing, credentials, limits); from a small pool,
    // so that connections are kept between requests.
    CURL* TakeHandle(const std::string& strUrl);
    void GiveHandle(CURL* pEasy);
    void SetUp(CURL* pEasy, const std::string& strUrl) const;
    std::string ObjectUrl(const std::string& strKey) const;
    // A request without a body (GET, HEAD, DELETE); rStatus is its HTTP status, rBody its body.
    bool Request(const std::string& strUrl, const char* pszMethod, long& rStatus,
                 std::string& rBody, std::string* pStrError);
    // Runs a prepared request; rStatus is its HTTP status, rBody its body.
    bool Perform(CURL* pEasy, long& rStatus, std::string& rBody, std::string* pStrError);

    const SS3Location m_location;
    const SS3Credentials m_credentials;
    const std::string m_strSigning;  // "aws:amz:REGION:s3"
    std::mutex m_mutex;
    std::vector<CURL*> m_vecIdle;
};

}  // namespace zavsvc
