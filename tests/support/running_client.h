// A stand-in for a running game client: a copy of a harmless program (/bin/sleep) named like
// the client, started with a given working folder, killed and reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <string>

class CRunningClient {
public:
    // Copies /bin/sleep to strBinFolder/strName and starts it in strWorkingFolder. Pid() is 0
    // when it could not be started.
    CRunningClient(const std::string& strBinFolder, const std::string& strName,
                   const std::string& strWorkingFolder);
    ~CRunningClient();
    CRunningClient(const CRunningClient&) = delete;
    CRunningClient& operator=(const CRunningClient&) = delete;

    pid_t Pid() const { return m_nPid; }
    // Kills it and waits until it is gone (reaped).
    void Stop();
    // Kills it and waits until it has exited, leaving it unreaped: a zombie until Stop().
    void KillLeavingZombie();

private:
    pid_t m_nPid = 0;
};
