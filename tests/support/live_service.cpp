#include "support/live_service.h"

#include <gtest/gtest.h>

// The service's addresses and the client's environment are the same everywhere; starting and
// stopping the process is POSIX here and a broker on the host for Windows
// (live_service_broker.cpp).

std::string CLiveService::HttpBase() const {
    return "http://127.0.0.1:" + std::to_string(m_nHttpPort);
}

std::string CLiveService::HttpsBase() const {
    // Windows checks the certificate against host names only; the service's certificate
    // names localhost beside the loopback addresses.
#ifdef _WIN32
    return "https://localhost:" + std::to_string(m_nHttpsPort);
#else
    return "https://127.0.0.1:" + std::to_string(m_nHttpsPort);
#endif
}

std::string CLiveService::CaFile() const {
    return m_strDataDir + "/tls/cert.pem";
}

std::string CLiveService::BoardUrl() const {
    return HttpBase() + "/board/powerbbs.php?come_idx=1206";
}

bool CLiveService::AddMember(const std::string& strId, const std::string& strPw,
                             const std::string& strNickname) const {
    return RunCommand({"member", "add", "--data", ServiceDataDir(), strId, strPw, strNickname}) ==
           0;
}

CScopedClientEnvironment::CScopedClientEnvironment(const CLiveService& service) {
    m_env.Set("ZAV_SERVICE_URL", service.HttpBase())
        .Set("ZAV_PORTAL_URL", service.HttpsBase())
        .Set("ZAV_BOARD_URL", service.BoardUrl())
        .Set("ZAV_CA_FILE", service.CaFile());
}

#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <memory>

extern char** environ;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(15);
constexpr auto kCommandTimeout = std::chrono::seconds(60);
constexpr const char* kHashIterations = "ZAV_SERVICE_HASH_ITERATIONS=1000";

// A NULL-terminated array of C strings (an argv or an envp) that owns its strings.
class CArgv {
public:
    explicit CArgv(const std::vector<std::string>& vecArgs) : m_vecStrings(vecArgs) {
        for (auto& str : m_vecStrings) {
            m_vecPointers.push_back(str.data());
        }
        m_vecPointers.push_back(nullptr);
    }
    char** Get() { return m_vecPointers.data(); }

private:
    std::vector<std::string> m_vecStrings;
    std::vector<char*> m_vecPointers;
};

// The parent's environment plus the test-only hash setting.
std::vector<std::string> ChildEnvironment() {
    std::vector<std::string> vecEnv;
    for (char** pp = environ; *pp != nullptr; ++pp) {
        if (std::strncmp(*pp, "ZAV_SERVICE_HASH_ITERATIONS=", 28) != 0) {
            vecEnv.emplace_back(*pp);
        }
    }
    vecEnv.emplace_back(kHashIterations);
    return vecEnv;
}

struct SFd {
    int n = -1;
    ~SFd() { Close(); }
    void Close() {
        if (n >= 0) {
            ::close(n);
            n = -1;
        }
    }
    int Release() {
        int nOld = n;
        n = -1;
        return nOld;
    }
};

bool MakePipe(SFd& rRead, SFd& rWrite) {
    int an[2];
    if (::pipe2(an, O_CLOEXEC) != 0) {
        return false;
    }
    rRead.n = an[0];
    rWrite.n = an[1];
    return true;
}

int PortOfListeningLine(const std::string& strLine, const std::string& strScheme) {
    const std::string strPrefix = "listening " + strScheme + " ";
    if (strLine.rfind(strPrefix, 0) != 0) {
        return 0;
    }
    auto nColon = strLine.rfind(':');
    if (nColon == std::string::npos) {
        return 0;
    }
    return std::atoi(strLine.c_str() + nColon + 1);
}

// Waits for pid up to the timeout; returns the wait status or -1 when it is still running.
int WaitWithTimeout(pid_t pid, std::chrono::milliseconds timeout, bool* pbExited) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int nStatus = 0;
        pid_t r = ::waitpid(pid, &nStatus, WNOHANG);
        if (r == pid) {
            *pbExited = true;
            return nStatus;
        }
        if (r < 0) {
            *pbExited = true;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *pbExited = false;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

CLiveService::CLiveService(std::vector<std::string> vecExtraArgs, bool bStart)
    : m_vecExtraArgs(std::move(vecExtraArgs)) {
    try {
        m_pSandbox = std::make_unique<CSandbox>("zav-service");
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return;
    }
    m_strDataDir = m_pSandbox->Path("data");
    if (bStart) {
        Start();
    }
}

CLiveService::~CLiveService() {
    Stop();
}

std::string CLiveService::BinaryPath() {
    return ZAV_BINARY_DIR "/service/zav-service";
}

bool CLiveService::Start() {
    if (IsRunning()) {
        ADD_FAILURE() << "zav-service is already running";
        return false;
    }
    if (!m_pSandbox) {
        return false;
    }
    SFd outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return false;
    }
    std::vector<std::string> vecArgs = {BinaryPath(), "serve",       "--data",  m_strDataDir,
                                        "--http",     "127.0.0.1:0", "--https", "127.0.0.1:0"};
    vecArgs.insert(vecArgs.end(), m_vecExtraArgs.begin(), m_vecExtraArgs.end());
    CArgv argv(vecArgs);
    CArgv env(ChildEnvironment());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite.n, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.n, STDERR_FILENO);
    pid_t pid = -1;
    int nErr = ::posix_spawn(&pid, argv.Get()[0], &actions, nullptr, argv.Get(), env.Get());
    posix_spawn_file_actions_destroy(&actions);
    if (nErr != 0) {
        ADD_FAILURE() << "cannot start " << BinaryPath() << ": " << std::strerror(nErr)
                      << " (does the test target depend on zav-service?)";
        return false;
    }
    outWrite.Close();
    errWrite.Close();

    {
        std::lock_guard lock(m_mutex);
        m_pid = pid;
        m_vecStdout.clear();
        m_vecLog.clear();
        m_bOutputClosed = false;
        m_nHttpPort = 0;
        m_nHttpsPort = 0;
    }
    int nOut = outRead.Release();
    int nErrFd = errRead.Release();
    m_reader = std::thread([this, nOut, nErrFd] { ReadOutput(nOut, nErrFd); });

    std::unique_lock lock(m_mutex);
    bool bReady = m_cv.wait_for(lock, kStartTimeout, [this] {
        for (const auto& strLine : m_vecStdout) {
            if (int n = PortOfListeningLine(strLine, "http"); n > 0) {
                m_nHttpPort = n;
            }
            if (int n = PortOfListeningLine(strLine, "https"); n > 0) {
                m_nHttpsPort = n;
            }
        }
        return (m_nHttpPort > 0 && m_nHttpsPort > 0) || m_bOutputClosed;
    });
    if (bReady && m_nHttpPort > 0 && m_nHttpsPort > 0) {
        return true;
    }
    std::string strLog;
    for (const auto& strLine : m_vecLog) {
        strLog += strLine + "\n";
    }
    lock.unlock();
    ADD_FAILURE() << "zav-service did not report both listeners; its log:\n" << strLog;
    Stop();
    return false;
}

void CLiveService::ReadOutput(int nOutFd, int nErrFd) {
    std::array<pollfd, 2> afds = {pollfd{nOutFd, POLLIN, 0}, pollfd{nErrFd, POLLIN, 0}};
    std::array<std::string, 2> astrPartial;
    int nOpen = 2;
    char ach[4096];
    while (nOpen > 0) {
        if (::poll(afds.data(), afds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (size_t i = 0; i < afds.size(); ++i) {
            if (afds[i].fd < 0 || afds[i].revents == 0) {
                continue;
            }
            ssize_t n = ::read(afds[i].fd, ach, sizeof ach);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard lock(m_mutex);
            auto& rLines = i == 0 ? m_vecStdout : m_vecLog;
            if (n <= 0) {
                if (!astrPartial[i].empty()) {
                    rLines.push_back(astrPartial[i]);
                }
                ::close(afds[i].fd);
                afds[i].fd = -1;
                --nOpen;
            } else {
                astrPartial[i].append(ach, static_cast<size_t>(n));
                size_t nPos;
                while ((nPos = astrPartial[i].find('\n')) != std::string::npos) {
                    rLines.push_back(astrPartial[i].substr(0, nPos));
                    astrPartial[i].erase(0, nPos + 1);
                }
            }
            m_cv.notify_all();
        }
    }
    std::lock_guard lock(m_mutex);
    m_bOutputClosed = true;
    m_cv.notify_all();
}

void CLiveService::JoinReader() {
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

int CLiveService::Stop() {
    if (m_pid <= 0) {
        JoinReader();
        return -1;
    }
    ::kill(m_pid, SIGTERM);
    bool bExited = false;
    int nStatus = WaitWithTimeout(m_pid, kStopTimeout, &bExited);
    int nResult = -1;
    if (!bExited) {
        ADD_FAILURE() << "zav-service did not stop after SIGTERM; killing it";
        ::kill(m_pid, SIGKILL);
        WaitWithTimeout(m_pid, kStopTimeout, &bExited);
    } else if (nStatus >= 0 && WIFEXITED(nStatus)) {
        nResult = WEXITSTATUS(nStatus);
    }
    m_pid = -1;
    JoinReader();
    return nResult;
}

bool CLiveService::Restart() {
    Stop();
    return Start();
}

bool CLiveService::IsRunning() const {
    return m_pid > 0;
}

std::string CLiveService::ServiceDataDir() const {
    return m_strDataDir;
}

int CLiveService::RunCommand(const std::vector<std::string>& vecArgs, std::string* pStrOut) const {
    SFd outRead, outWrite, devNull;
    if (!MakePipe(outRead, outWrite)) {
        return -1;
    }
    devNull.n = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> vecAll = {BinaryPath()};
    vecAll.insert(vecAll.end(), vecArgs.begin(), vecArgs.end());
    CArgv argv(vecAll);
    CArgv env(ChildEnvironment());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite.n, STDOUT_FILENO);
    if (devNull.n >= 0) {
        posix_spawn_file_actions_adddup2(&actions, devNull.n, STDERR_FILENO);
    }
    pid_t pid = -1;
    int nErr = ::posix_spawn(&pid, argv.Get()[0], &actions, nullptr, argv.Get(), env.Get());
    posix_spawn_file_actions_destroy(&actions);
    outWrite.Close();
    if (nErr != 0) {
        return -1;
    }
    // Bounded: a command that does not end (a serve that should have refused its arguments)
    // is killed and reported as a failure.
    std::string strOut;
    char ach[4096];
    const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
    bool bTimedOut = false;
    while (true) {
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{outRead.n, POLLIN, 0};
        int r = nLeft.count() > 0 ? ::poll(&pfd, 1, static_cast<int>(nLeft.count())) : 0;
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            bTimedOut = r == 0;
            break;
        }
        ssize_t n = ::read(outRead.n, ach, sizeof ach);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        strOut.append(ach, static_cast<size_t>(n));
    }
    if (bTimedOut) {
        ADD_FAILURE() << "zav-service did not end within the time limit; killing it";
        ::kill(pid, SIGKILL);
    }
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (pStrOut != nullptr) {
        *pStrOut = strOut;
    }
    return (!bTimedOut && WIFEXITED(nStatus)) ? WEXITSTATUS(nStatus) : -1;
}

std::vector<std::string> CLiveService::LogLines() const {
    std::lock_guard lock(m_mutex);
    return m_vecLog;
}

bool CLiveService::WaitForLogLine(const std::string& strNeedle,
                                  std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] {
        for (const auto& strLine : m_vecLog) {
            if (strLine.find(strNeedle) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

#endif  // !_WIN32
