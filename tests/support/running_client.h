// A stand-in for a running game client: a copy of a harmless program named like the client,
// started with a given working folder, killed (and reaped) when the object goes.
//
// On POSIX the copy of /bin/sleep lies in strBinFolder. On Windows, where a client is known by
// where its executable lies, the copy of a small waiting program (tests/support/idle) is
// placed in the working folder instead.
#pragma once

#include <sys/types.h>

#include <string>

class CRunningClient {
public:
    // Copies the program to strBinFolder/strName (strWorkingFolder/strName on Windows) and
    // starts it in strWorkingFolder. Pid() is 0 when it could not be started.
    CRunningClient(const std::string& strBinFolder, const std::string& strName,
                   const std::string& strWorkingFolder);
    ~CRunningClient();
    CRunningClient(const CRunningClient&) = delete;
    CRunningClient& operator=(const CRunningClient&) = delete;

    pid_t Pid() const { return m_nPid; }
    // Kills it and waits until it is gone (reaped).
    void Stop();
    // Kills it and waits until it has exited, leaving it unreaped (on Windows: its process
    // handle stays open) until Stop().
    void KillLeavingZombie();

private:
    pid_t m_nPid = 0;
    void* m_hProcess = nullptr;  // Windows: the process handle
};
