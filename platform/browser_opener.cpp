#include "platform/browser_opener.h"

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include "platform/native_text.h"
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;
#endif

#ifdef _WIN32

bool OpenInBrowser(const std::string& strUrl) {
    std::wstring wide = WideFromUtf8(strUrl);
    if (wide.empty())
        return false;
    HINSTANCE hResult =
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(hResult) > 32;
}

#else

bool LaunchDetached(const std::vector<std::string>& argv) {
    if (argv.empty())
        return false;
    // A short-lived shell starts the program in the background and ends at once, so the
    // program is adopted by init instead of waiting to be reaped by this process. The
    // arguments travel as positional parameters, never through the shell's parser.
    std::vector<std::string> shellArgs = {
        "sh", "-c",
        "command -v \"$1\" >/dev/null 2>&1 || exit 127; \"$@\" </dev/null >/dev/null 2>&1 &", "sh"};
    shellArgs.insert(shellArgs.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    args.reserve(shellArgs.size() + 1);
    for (std::string& strArg : shellArgs)
        args.push_back(strArg.data());
    args.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, args.data(), environ) != 0)
        return false;
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    // 127: the program was not found.
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
        return false;
    return true;
}

bool OpenInBrowser(const std::string& strUrl) {
#ifdef __APPLE__
    const char* szOpener = "open";
#else
    const char* szOpener = "xdg-open";
#endif
    return LaunchDetached({szOpener, strUrl});
}

#endif
