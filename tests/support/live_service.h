#pragma once
// A running zav-service for tests: started on ephemeral loopback ports over a fresh data folder,
// stopped with SIGTERM when the object goes away.
//
// A test target that uses CLiveService must be built after the service:
//     add_dependencies(<test target> zav-service)
// The binary is looked up at ZAV_BINARY_DIR "/service/zav-service".
//
// On Windows (the cross build's tests under Wine) the service cannot run in the test's own
// system: each CLiveService asks the broker that CTest started on the host
// (tests/support/service_broker.py, found through ZAV_TEST_BROKER_FILE) for a service of its
// own, and sees the host's files under ZAV_TEST_HOST_DRIVE ("Z:"). HttpsBase() then names
// localhost, because Windows checks certificates against host names only.
//
// Password hashing: the service's children started here get ZAV_SERVICE_HASH_ITERATIONS=1000 in
// their environment so that logins stay fast under the sanitizers. Production keeps the service's
// high default count.
//
// Usage:
//     CLiveService service({"--max-upload-mb", "1"});
//     ASSERT_TRUE(service.IsRunning());
//     ASSERT_TRUE(service.AddMember("gamer01", "secret", "닉네임"));
//     CScopedClientEnvironment env(service);  // ZAV_SERVICE_URL and friends for client code

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/endpoints.h"
#include "support/env_guard.h"
#include "support/sandbox.h"

class CLiveService {
public:
    // Makes a fresh temporary folder (the data folder is DataDir(), created by the service) and,
    // when bStart is true, starts the service with the extra arguments appended to
    // `serve --data DIR --http 127.0.0.1:0 --https 127.0.0.1:0`. A failed start is reported as a
    // test failure (ADD_FAILURE) and leaves IsRunning() false.
    explicit CLiveService(std::vector<std::string> vecExtraArgs = {}, bool bStart = true);
    ~CLiveService();  // Stop(), then removes the temporary folder
    CLiveService(const CLiveService&) = delete;
    CLiveService& operator=(const CLiveService&) = delete;

    // Starts the service on the same data folder and arguments; waits (bounded) until both
    // "listening" lines arrived. The ports are new after every start.
    bool Start();
    // SIGTERM, then waits for the process. Returns its exit code, or -1 when it was not running,
    // was killed by a signal or had to be killed after the bounded wait.
    int Stop();
    bool Restart();  // Stop() and Start(); the data folder is kept
    bool IsRunning() const;
    pid_t Pid() const { return m_pid; }

    int HttpPort() const { return m_nHttpPort; }
    int HttpsPort() const { return m_nHttpsPort; }
    std::string HttpBase() const;  // "http://127.0.0.1:PORT"
    std::string HttpsBase()
        const;                   // "https://127.0.0.1:PORT" ("https://localhost:PORT" on Windows)
    std::string CaFile() const;  // DataDir() + "/tls/cert.pem"
    std::string DataDir() const { return m_strDataDir; }
    std::string BoardUrl() const;  // HttpBase() + "/board/powerbbs.php?come_idx=1206"
    // What a client's settings hold to talk to this service (its bases and certificate).
    // Inline: the service's own tests link no client code.
    SEndpoints Endpoints() const {
        return SEndpoints::FromBases(HttpBase(), HttpsBase(), BoardUrl(), CaFile());
    }

    // `zav-service member add --data DIR ID PASSWORD NICKNAME`; true when it exited with 0.
    bool AddMember(const std::string& strId, const std::string& strPw,
                   const std::string& strNickname) const;
    // Runs `zav-service ARGS...` to its end; returns its exit code (-1 when it could not run).
    // Its standard output goes to *pStrOut when given; standard error is dropped.
    int RunCommand(const std::vector<std::string>& vecArgs, std::string* pStrOut = nullptr) const;

    // Lines the running (or last) service wrote to standard error, oldest first.
    std::vector<std::string> LogLines() const;
    // Waits until a log line containing strNeedle has arrived; false after the timeout.
    bool WaitForLogLine(const std::string& strNeedle, std::chrono::milliseconds timeout) const;

    static std::string BinaryPath();

#ifdef _WIN32
    // The broker answers one HTTPS request with this service's certificate (the service must
    // have started once) and keeps it: StartTlsRecorder gives its port, 0 when it could not
    // start; RecordedTlsRequest the request as it came, head and body.
    int StartTlsRecorder() const;
    std::string RecordedTlsRequest() const;
#endif

private:
    // The data folder as the service itself names it (a host path on Windows).
    std::string ServiceDataDir() const;
#ifdef _WIN32
    // One request to the broker and its reply fields; false (reported) when it failed.
    bool AskBroker(const std::vector<std::string>& vecRequest,
                   std::vector<std::string>& vecReply) const;

    uintptr_t m_nBrokerSocket = ~uintptr_t{0};
    std::string m_strHostDataDir;
#else
    void ReadOutput(int nOutFd, int nErrFd);
    void JoinReader();
#endif

    std::vector<std::string> m_vecExtraArgs;
    std::unique_ptr<CSandbox> m_pSandbox;
    std::string m_strDataDir;
    pid_t m_pid = -1;
    int m_nHttpPort = 0;
    int m_nHttpsPort = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<std::string> m_vecStdout;  // guarded by m_mutex
    std::vector<std::string> m_vecLog;     // guarded by m_mutex
    bool m_bOutputClosed = true;           // guarded by m_mutex
    std::thread m_reader;
};

// A client's addresses for a scripted stand-in of the service's web server (and of the portal,
// when given).
inline SEndpoints EndpointsAt(const std::string& strServiceBase,
                              const std::string& strPortalBase = "https://127.0.0.1:1") {
    return SEndpoints::FromBases(strServiceBase, strPortalBase);
}

// Sets ZAV_SERVICE_URL, ZAV_PORTAL_URL (= HttpsBase()), ZAV_BOARD_URL and ZAV_CA_FILE for one
// scope and restores the previous values after: for what reads the environment (start-up, the
// program itself).
class CScopedClientEnvironment {
public:
    explicit CScopedClientEnvironment(const CLiveService& service);

private:
    CEnvGuard m_env;
};
