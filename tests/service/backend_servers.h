#pragma once
// The real servers behind zav-service's shared back ends, started by the test that needs them:
// a PostgreSQL server from Debian's packages (initdb into a temporary folder, run by `nobody`
// when the tests run as root, on a free loopback port) and an S3 server (s3rver from
// tests/support/s3, installed by scripts/install-deps, behind a check of every request's
// signature) on loopback. Each is stopped, and its folder removed, with the object.
//
//     CTestPostgres postgres;
//     CTestS3 s3;
//     ASSERT_TRUE(postgres.Start() && s3.Start());
//     CLiveService service(SharedBackendArgs(postgres, s3));

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/live_service.h"

namespace svctest {

class CTestPostgres {
public:
    CTestPostgres();
    ~CTestPostgres();
    CTestPostgres(const CTestPostgres&) = delete;
    CTestPostgres& operator=(const CTestPostgres&) = delete;

    // Makes the cluster at the first call; starts the server (on the same port after a Stop)
    // and waits until it takes connections. False, reported, when it does not.
    bool Start();
    // A fast shutdown (clients are disconnected), or SIGKILL with bKill.
    void Stop(bool bKill = false);
    // "postgresql://zav@127.0.0.1:PORT/postgres"
    std::string Uri() const;

private:
    std::string m_strDir;
    int m_nPort = 0;
    pid_t m_pid = -1;
    bool m_bMade = false;
};

class CTestS3 {
public:
    CTestS3();
    ~CTestS3();
    CTestS3(const CTestS3&) = delete;
    CTestS3& operator=(const CTestS3&) = delete;

    // Starts the server (on the same port after a Stop) with the bucket Bucket() and the
    // credentials of the process's environment, set here to the test pair.
    bool Start();
    // SIGTERM (the server finishes the requests it has), or SIGKILL with bKill.
    void Stop(bool bKill = false);
    std::string Endpoint() const;  // "http://127.0.0.1:PORT"
    static std::string Bucket() { return "zavtest"; }
    // The files of the stored objects (s3rver keeps each object's bytes in one file).
    std::vector<std::string> ObjectFiles() const;

private:
    std::string m_strDir;
    int m_nPort = 0;
    pid_t m_pid = -1;
};

// The options of `serve` and of `member` for the database and the bucket, under strPrefix.
std::vector<std::string> SharedBackendArgs(const CTestPostgres& postgres, const CTestS3& s3,
                                           const std::string& strPrefix = "zav");

// `zav-service member add` on the service's back ends (its data folder, or those named).
bool AddMemberTo(const CLiveService& service, const std::vector<std::string>& vecBackendArgs,
                 const std::string& strId, const std::string& strPw, const std::string& strNick);

}  // namespace svctest
