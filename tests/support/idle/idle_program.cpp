// A harmless program for the Windows tests to start under another name (CRunningClient):
//     idle.exe EVENT PARENT_PID
// It sets the named event once it runs, then waits until its parent ends (ten minutes at
// most) or it is ended itself.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    HANDLE hParent = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::atol(argv[2])));
    HANDLE hReady = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (hReady != nullptr)
        SetEvent(hReady);
    constexpr DWORD kMostMs = 600 * 1000;
    if (hParent != nullptr)
        WaitForSingleObject(hParent, kMostMs);
    else
        Sleep(kMostMs);
    return 0;
}
