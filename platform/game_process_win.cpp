#ifdef _WIN32

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <algorithm>
#include <optional>

#include "platform/game_process.h"
#include "platform/native_text.h"

namespace {

// A process handle closed when it goes.
struct SHandle {
    HANDLE h;
    ~SHandle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

// The game folder as a full path with '\' separators and no trailing one.
std::wstring FolderForMatching(const std::string& strGameFolder) {
    std::wstring folder = WideFromUtf8(strGameFolder);
    std::replace(folder.begin(), folder.end(), L'/', L'\\');
    DWORD nUnits = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (nUnits > 0) {
        std::wstring full(nUnits, L'\0');
        nUnits = GetFullPathNameW(folder.c_str(), nUnits, full.data(), nullptr);
        full.resize(nUnits);
        folder = std::move(full);
    }
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

// path lies inside folder (Windows compares paths without regard to case).
bool IsInside(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path[folder.size()] == L'\\' &&
           CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// The full path of the process's executable; nullopt when it cannot be asked (another user's
// process, or one that has ended). bEnded is set when the process has already exited and only
// its object remains.
std::optional<std::wstring> ImagePath(DWORD nPid, bool& bEnded) {
    SHandle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, nPid)};
    if (process.h == nullptr)
        return std::nullopt;
    DWORD nExitCode = 0;
    if (GetExitCodeProcess(process.h, &nExitCode) && nExitCode != STILL_ACTIVE) {
        bEnded = true;
        return std::nullopt;
    }
    std::wstring path(32768, L'\0');
    DWORD nUnits = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process.h, 0, path.data(), &nUnits))
        return std::nullopt;
    path.resize(nUnits);
    return path;
}

}  // namespace

// A process is a client when its executable's name is a client name. It belongs to this game
// folder when its executable lies inside the folder; when the executable's path cannot be
// read, the name alone counts.
std::vector<SGameProcess> FindGameClients(const std::string& strGameFolder) {
    std::vector<SGameProcess> clients;
    SHandle snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (snapshot.h == INVALID_HANDLE_VALUE)
        return clients;
    const std::wstring folder = FolderForMatching(strGameFolder);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL bMore = Process32FirstW(snapshot.h, &entry); bMore;
         bMore = Process32NextW(snapshot.h, &entry)) {
        const std::string strName = Utf8FromWide(entry.szExeFile);
        // A process without threads has exited and waits for its last handle to close.
        if (!IsGameClientName(PathBaseName(strName)) || entry.cntThreads == 0)
            continue;
        bool bEnded = false;
        std::optional<std::wstring> image = ImagePath(entry.th32ProcessID, bEnded);
        if (bEnded || (image && !IsInside(*image, folder)))
            continue;
        clients.push_back(
            {static_cast<int>(entry.th32ProcessID), std::string(PathBaseName(strName))});
    }
    std::sort(clients.begin(), clients.end(),
              [](const SGameProcess& a, const SGameProcess& b) { return a.nPid < b.nPid; });
    return clients;
}

#endif
