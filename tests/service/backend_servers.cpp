#include "service/backend_servers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace svctest {
namespace {

constexpr const char* kAccessKey = "zavtest";
constexpr const char* kSecretKey = "zav-test-secret";
constexpr auto kStartTimeout = std::chrono::seconds(30);

std::string MakeTempDir(const char* pszName) {
    std::string strDir =
        (std::filesystem::temp_directory_path() / (std::string(pszName) + "-XXXXXX")).string();
    return ::mkdtemp(strDir.data()) != nullptr ? strDir : "";
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof addr;
    int nPort = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0) {
        nPort = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return nPort;
}

// Runs the program with its output appended to strLog; the process id, or -1.
pid_t Spawn(const std::vector<std::string>& vecArgs, const std::string& strLog, int nStdout = -1) {
    std::vector<char*> vecArgv;
    for (const auto& str : vecArgs) {
        vecArgv.push_back(const_cast<char*>(str.c_str()));
    }
    vecArgv.push_back(nullptr);
    const int fdLog = ::open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fdLog >= 0) {
        posix_spawn_file_actions_adddup2(&actions, nStdout >= 0 ? nStdout : fdLog, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fdLog, STDERR_FILENO);
    }
    pid_t pid = -1;
    const int nErr = ::posix_spawnp(&pid, vecArgv[0], &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (fdLog >= 0) {
        ::close(fdLog);
    }
    return nErr == 0 ? pid : -1;
}

int RunToEnd(const std::vector<std::string>& vecArgs, const std::string& strLog) {
    const pid_t pid = Spawn(vecArgs, strLog);
    int nStatus = 0;
    if (pid < 0 || ::waitpid(pid, &nStatus, 0) != pid) {
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

void StopProcess(pid_t& rPid, int nSignal) {
    if (rPid <= 0) {
        return;
    }
    ::kill(rPid, nSignal);
    for (int i = 0; i < 1500; ++i) {
        if (::waitpid(rPid, nullptr, WNOHANG) == rPid) {
            rPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(rPid, SIGKILL);
    ::waitpid(rPid, nullptr, 0);
    rPid = -1;
}

std::string ReadLog(const std::string& strPath) {
    std::string str;
    if (FILE* p = std::fopen(strPath.c_str(), "r")) {
        char ach[4096];
        size_t n;
        while ((n = std::fread(ach, 1, sizeof ach, p)) > 0) {
            str.append(ach, n);
        }
        std::fclose(p);
    }
    return str;
}

// Debian's server programs: /usr/lib/postgresql/VERSION/bin, the newest version.
std::string PostgresBin() {
    std::string strBest;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        if (std::filesystem::exists(entry.path() / "bin/postgres") &&
            (strBest.empty() ||
             std::stoi(entry.path().filename().string()) >
                 std::stoi(std::filesystem::path(strBest).parent_path().filename().string()))) {
            strBest = (entry.path() / "bin").string();
        }
    }
    return strBest;
}

// PostgreSQL refuses to run as root: the server's programs run as nobody then.
std::vector<std::string> AsServerUser(std::vector<std::string> vecArgs) {
    if (::geteuid() != 0) {
        return vecArgs;
    }
    std::vector<std::string> vec = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                    "--clear-groups", "--"};
    vec.insert(vec.end(), vecArgs.begin(), vecArgs.end());
    return vec;
}

}  // namespace

CTestPostgres::CTestPostgres() : m_strDir(MakeTempDir("zav-pg")) {}

CTestPostgres::~CTestPostgres() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(m_strDir, ec);
}

bool CTestPostgres::Start() {
    const std::string strBin = PostgresBin();
    const std::string strLog = m_strDir + "/server.log";
    if (strBin.empty()) {
        ADD_FAILURE() << "PostgreSQL is not installed (scripts/install-deps installs postgresql)";
        return false;
    }
    if (!m_bMade) {
        if (::geteuid() == 0) {
            const passwd* pUser = ::getpwnam("nobody");
            if (pUser == nullptr || ::chown(m_strDir.c_str(), pUser->pw_uid, pUser->pw_gid) != 0) {
                ADD_FAILURE() << "cannot give " << m_strDir << " to nobody";
                return false;
            }
        }
        if (RunToEnd(AsServerUser({strBin + "/initdb", "-D", m_strDir + "/data", "-U", "zav",
                                   "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync"}),
                     m_strDir + "/initdb.log") != 0) {
            ADD_FAILURE() << "initdb failed:\n" << ReadLog(m_strDir + "/initdb.log");
            return false;
        }
        m_bMade = true;
        m_nPort = FreePort();
    }
    // The durability of the database is not what the tests look at: no fsync.
    m_pid = Spawn(
        AsServerUser({strBin + "/postgres", "-D", m_strDir + "/data", "-k", m_strDir, "-c",
                      "listen_addresses=127.0.0.1", "-p", std::to_string(m_nPort), "-c",
                      "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"}),
        strLog);
    const std::string strPing = "host=127.0.0.1 port=" + std::to_string(m_nPort) +
                                " user=zav dbname=postgres connect_timeout=2";
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
        if (PQping(strPing.c_str()) == PQPING_OK) {
            return true;
        }
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "PostgreSQL did not start:\n" << ReadLog(strLog);
    Stop(true);
    return false;
}

void CTestPostgres::Stop(bool bKill) {
    StopProcess(m_pid, bKill ? SIGKILL : SIGINT);
}

std::string CTestPostgres::Uri() const {
    return "postgresql://zav@127.0.0.1:" + std::to_string(m_nPort) + "/postgres";
}

CTestS3::CTestS3() : m_strDir(MakeTempDir("zav-s3")) {
    ::setenv("AWS_ACCESS_KEY_ID", kAccessKey, 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", kSecretKey, 1);
    ::setenv("AWS_REGION", "eu-west-1", 1);
}

CTestS3::~CTestS3() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(m_strDir, ec);
}

bool CTestS3::Start() {
    const std::string strServer = ZAV_SOURCE_DIR "/tests/support/s3/serve.js";
    if (!std::filesystem::exists(ZAV_SOURCE_DIR "/tests/support/s3/node_modules/s3rver")) {
        ADD_FAILURE() << "s3rver is not installed (scripts/install-deps installs it)";
        return false;
    }
    int afd[2];
    if (::pipe2(afd, O_CLOEXEC) != 0) {
        return false;
    }
    const std::string strLog = m_strDir + "/server.log";
    m_pid = Spawn({"node", strServer, m_strDir + "/objects", Bucket(), std::to_string(m_nPort)},
                  strLog, afd[1]);
    ::close(afd[1]);
    std::string strOut;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (m_pid > 0 && strOut.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{afd[0], POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0) {
            char ach[256];
            const ssize_t n = ::read(afd[0], ach, sizeof ach);
            if (n <= 0) {
                break;
            }
            strOut.append(ach, static_cast<size_t>(n));
        }
    }
    ::close(afd[0]);
    const std::string strPrefix = "listening s3 127.0.0.1:";
    if (strOut.rfind(strPrefix, 0) != 0) {
        ADD_FAILURE() << "the S3 server did not start:\n" << strOut << ReadLog(strLog);
        Stop();
        return false;
    }
    m_nPort = std::atoi(strOut.c_str() + strPrefix.size());
    return true;
}

void CTestS3::Stop(bool bKill) {
    StopProcess(m_pid, bKill ? SIGKILL : SIGTERM);
}

std::string CTestS3::Endpoint() const {
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

std::vector<std::string> CTestS3::ObjectFiles() const {
    std::vector<std::string> vec;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(m_strDir + "/objects", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string strPath = it->path().string();
        if (std::string_view(strPath).ends_with("._S3rver_object")) {
            vec.push_back(strPath);
        }
    }
    return vec;
}

std::vector<std::string> SharedBackendArgs(const CTestPostgres& postgres, const CTestS3& s3,
                                           const std::string& strPrefix) {
    return {"--db",          postgres.Uri(),
            "--store",       "s3://" + CTestS3::Bucket() + "/" + strPrefix,
            "--s3-endpoint", s3.Endpoint()};
}

bool AddMemberTo(const CLiveService& service, const std::vector<std::string>& vecBackendArgs,
                 const std::string& strId, const std::string& strPw, const std::string& strNick) {
    std::vector<std::string> vecArgs = {"member", "add"};
    if (vecBackendArgs.empty()) {
        vecArgs.insert(vecArgs.end(), {"--data", service.DataDir()});
    } else {
        vecArgs.insert(vecArgs.end(), vecBackendArgs.begin(), vecBackendArgs.begin() + 2);
    }
    vecArgs.insert(vecArgs.end(), {strId, strPw, strNick});
    return service.RunCommand(vecArgs) == 0;
}

}  // namespace svctest
