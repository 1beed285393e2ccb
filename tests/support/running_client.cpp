#include "support/running_client.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "platform/native_text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32

CRunningClient::CRunningClient([[maybe_unused]] const std::string& strBinFolder,
                               const std::string& strName, const std::string& strWorkingFolder) {
    const fs::path program = PathFromUtf8(GetEnvironmentUtf8("ZAV_TEST_HOST_DRIVE").value_or("") +
                                          ZAV_TEST_IDLE_PROGRAM);
    const fs::path exe = PathFromUtf8(strWorkingFolder) / PathFromUtf8(strName);
    std::error_code ec;
    fs::copy_file(program, exe, fs::copy_options::overwrite_existing, ec);
    if (ec)
        return;
    // The program says through this event that it runs, so the process table names it once
    // the constructor returns; it ends with this process at the latest.
    static int s_nStarted = 0;
    const std::string strEvent = "zav-test-idle-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(++s_nStarted);
    HANDLE hReady = CreateEventA(nullptr, TRUE, FALSE, strEvent.c_str());
    if (hReady == nullptr)
        return;
    std::wstring commandLine = L"\"" + exe.wstring() + L"\" " + WideFromUtf8(strEvent) + L" " +
                               std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                       nullptr, PathFromUtf8(strWorkingFolder).c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        m_hProcess = info.hProcess;
        HANDLE handles[] = {hReady, info.hProcess};
        if (WaitForMultipleObjects(2, handles, FALSE, 30 * 1000) == WAIT_OBJECT_0)
            m_nPid = static_cast<pid_t>(info.dwProcessId);
    }
    CloseHandle(hReady);
}

CRunningClient::~CRunningClient() {
    Stop();
}

void CRunningClient::KillLeavingZombie() {
    if (m_hProcess == nullptr)
        return;
    TerminateProcess(m_hProcess, 1);
    WaitForSingleObject(m_hProcess, 30 * 1000);
}

void CRunningClient::Stop() {
    if (m_hProcess == nullptr)
        return;
    KillLeavingZombie();
    CloseHandle(m_hProcess);
    m_hProcess = nullptr;
    m_nPid = 0;
}

#else

namespace {

// True once the process table shows pid running strExe. posix_spawn may return before the
// child has executed it (a sanitizer's fork-then-exec does), when the entry still names this
// test program.
bool WaitUntilRunning(pid_t pid, const std::string& strExe) {
    const std::string strCmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream file(strCmdline, std::ios::binary);
        std::string strArgs((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
        if (strArgs.substr(0, strArgs.find('\0')) == strExe)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace

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
    pid_t pid = 0;
    if (posix_spawn(&pid, strExe.c_str(), &actions, nullptr, argv, environ) == 0) {
        m_nPid = pid;
        if (!WaitUntilRunning(pid, strExe))
            Stop();
    }
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

#endif
