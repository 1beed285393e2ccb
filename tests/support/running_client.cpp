#include "support/running_client.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

CRunningClient::CRunningClient(const std::string& strBinFolder, const std::string& strName,
                               const std::string& strWorkingFolder) {
    std::error_code ec;
    fs::create_directories(strBinFolder, ec);
    const std::string strExe = strBinFolder + "/" + strName;
    fs::copy_file("/bin/sleep", strExe, fs::copy_options::overwrite_existing, ec);
    fs::permissions(strExe, fs::perms::owner_all, ec);
    if (ec)
        return;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    posix_spawn_file_actions_addchdir_np(&actions, strWorkingFolder.c_str());
    std::string strArg0 = strExe;
    std::string strSeconds = "600";
    char* argv[] = {strArg0.data(), strSeconds.data(), nullptr};
    // Returns once the program has been executed, so the process table already names it.
    pid_t pid = 0;
    if (posix_spawn(&pid, strExe.c_str(), &actions, nullptr, argv, environ) == 0)
        m_nPid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

CRunningClient::~CRunningClient() {
    Stop();
}

void CRunningClient::KillLeavingZombie() {
    if (m_nPid <= 0)
        return;
    kill(m_nPid, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(m_nPid), &info, WEXITED | WNOWAIT);
}

void CRunningClient::Stop() {
    if (m_nPid <= 0)
        return;
    kill(m_nPid, SIGKILL);
    waitpid(m_nPid, nullptr, 0);
    m_nPid = 0;
}
