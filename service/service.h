#pragma once
// The web service: the service's HTTP endpoints and the portal's HTTPS member login, served
// from one process over one data folder, behind the event-driven front of front.h.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "service/archive_backend.h"
#include "service/archive_store.h"
#include "service/capacity.h"
#include "service/clock.h"
#include "service/log_limit.h"
#include "service/member_store.h"

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace zavsvc {

struct SEndpoint {
    std::string strHostText;  // as given, e.g. "127.0.0.1" or "[::1]"
    std::string strHost;      // for binding, without brackets
    int nPort = 0;
};

// Parses HOST:PORT ("127.0.0.1:8080", "[::1]:0", "localhost:80"); false when malformed.
bool ParseEndpoint(const std::string& strText, SEndpoint& rOut);

struct SServeOptions {
    // The instance's own folder: its TLS certificate and the staging of uploads; and, unless
    // strDb and strStore name others, the members' database and the archives.
    std::string strDataDir;
    // A PostgreSQL database for the members (a libpq connection string); empty: DATA/zav.db.
    std::string strDb;
    // An S3 store for the archives (s3://BUCKET/PREFIX at strS3Endpoint); empty: DATA/UserData.
    std::string strStore;
    std::string strS3Endpoint;
    // How often the objects that no member's archive is any longer are deleted, and how long
    // they are kept after that first (for a download that began before).
    int64_t nSweepMs = 15 * 60 * 1000;
    SEndpoint http{"127.0.0.1", "127.0.0.1", 8080};
    SEndpoint https{"127.0.0.1", "127.0.0.1", 8443};
    bool bDemo = false;
    int nMaxUploadMb = 20;
    int64_t nCapacityMb = 0;  // 0: the data folder's file system
    std::string strClientVersion = "1.2";
    int nSessionHours = 12;
    // A proxy's address (canonical text): its requests are taken to come from the last address
    // of their X-Forwarded-For. Empty: none.
    std::string strTrustedProxy;
    NowFn fnNowMs = NowMs;
    // How long a request head may take, and the window in which a body or reply must move at
    // least its minimum (see SFrontLimits). Tests shorten it.
    int nIoTimeoutMs = 10000;
    // Password checks at once (the login workers); 0: one per processor core.
    int nPasswordChecks = 0;
    // Workers for everything but logins; twice as many requests may wait for one, and one
    // client address takes at most a quarter of either (at least one).
    int nWorkers = 32;
};

class CService {
public:
    explicit CService(SServeOptions options);
    // Prepares the data folder, listens, prints the two "listening" lines and serves until
    // SIGINT or SIGTERM. Returns the process exit code.
    int Run();
    ~CService();
    // Creates the data folder (owner only), opens the member database and the archive store
    // and finishes or undoes interrupted commits; Run calls it first. Public so that the route
    // handlers can be driven in-process.
    bool Prepare();

    // Route handlers.
    void OnConfig(const httplib::Request& req, httplib::Response& res);
    void OnAuth(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader& reader);
    void OnUpload(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& reader);
    void OnDownload(const httplib::Request& req, httplib::Response& res);
    // The answer to "Expect: 100-continue": 100, or the refusal's status with res filled.
    int OnExpectContinue(const httplib::Request& req, httplib::Response& res);
    void OnLogin(const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& reader);

    // The iteration count of the hash that unknown ids are checked against: the highest of
    // the stored hashes and of new ones, so that an unknown id costs what a known one does.
    int DummyHashIterations() const { return m_nDummyIterations.load(); }

private:
    // Member, address binding and announced length of an upload; false with res filled.
    bool CheckUploadRequest(const httplib::Request& req, httplib::Response& res);
    void SetUpRoutes(httplib::Server& http, httplib::Server& https);
    int64_t Now() const { return m_options.fnNowMs(); }
    // True when the member's last successful login came from this address within the session.
    bool IsBound(const SMember& member, const std::string& strAddr) const;
    // The du items; false when the store cannot be read.
    bool UsageItems(const SMember& member, std::string& rItems);
    // What the member's archives take; -1 when the store cannot be read.
    int64_t MemberStored(const std::string& strId);
    int UsedPercent();
    // Deletes unnamed objects of the store now and then, until the service stops.
    void SweepLoop();
    // The hash an unknown id is checked against, at the cost of the costliest stored one.
    std::string DummyHash();
    // Raises the dummy's cost to the stored hash's; the stored hashes are looked at again
    // now and then, since members are added by other processes.
    void MatchDummyCost(const std::string& strStoredHash);
    void LogRequest(const char* pszScheme, const httplib::Request& req,
                    const httplib::Response& res);

    SServeOptions m_options;
    CMemberStore m_members;
    CArchiveStore m_archives;  // the data folder's: stored archives, or only the staging
    std::unique_ptr<IArchiveStore> m_pStore;
    CCapacityLedger m_capacity;  // the data folder's disk, for uploads in progress here
    std::mutex m_sweepMutex;
    std::condition_variable m_sweepCv;
    bool m_bStopping = false;
    CLogLimiter m_refusalLog;
    std::string m_strDummyHash;  // verified for unknown ids so that they take as long
    std::atomic<int> m_nDummyIterations{0};
    std::atomic<int64_t> m_nCostCheckedMs{0};
};

// Form bodies of the account script and the member login are at most this long.
inline constexpr size_t kMaxFormBody = 1024;

// Reads a small request body; false (with 413, or 400 when it breaks off) when it is longer
// than nMax.
bool ReadSmallBody(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader, size_t nMax, std::string& rBody);

// The client's address in canonical text (an IPv4-mapped IPv6 address in its IPv4 form).
std::string ClientAddress(const httplib::Request& req);

}  // namespace zavsvc
