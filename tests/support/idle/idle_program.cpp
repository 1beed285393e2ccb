// A harmless program for the Windows tests to start under another name (CRunningClient): it
// waits until it is ended, for ten minutes at most.
#include <windows.h>

int main() {
    Sleep(600 * 1000);
    return 0;
}
