#include "listing_fault.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

namespace {

std::mutex g_mutex;
std::string g_strFolder;  // empty: not armed
int g_nLeft = 0;          // calls still answered before the failure

template <typename Fn>
Fn Next(const char* szName) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, szName));
}

// Whether this call is the one to fail: the folder is told by the listing's descriptor.
bool FailsNow(DIR* pDir) {
    std::lock_guard lock(g_mutex);
    if (g_strFolder.empty() || pDir == nullptr)
        return false;
    char szPath[PATH_MAX];
    const std::string strLink = "/proc/self/fd/" + std::to_string(dirfd(pDir));
    const ssize_t n = readlink(strLink.c_str(), szPath, sizeof szPath);
    if (n <= 0 || std::string(szPath, static_cast<size_t>(n)) != g_strFolder)
        return false;
    if (g_nLeft-- > 0)
        return false;
    g_strFolder.clear();
    return true;
}

template <typename Entry>
Entry* Answer(Entry* (*pReal)(DIR*), DIR* pDir) {
    if (FailsNow(pDir)) {
        errno = EIO;
        return nullptr;
    }
    return pReal(pDir);
}

}  // namespace

void BreakListingOf(const std::string& strFolder, int nEntries) {
    std::lock_guard lock(g_mutex);
    g_strFolder = strFolder;
    g_nLeft = nEntries;
}

extern "C" dirent* readdir(DIR* pDir) {
    static const auto pReal = Next<dirent* (*)(DIR*)>("readdir");
    return Answer(pReal, pDir);
}

extern "C" dirent64* readdir64(DIR* pDir) {
    static const auto pReal = Next<dirent64* (*)(DIR*)>("readdir64");
    return Answer(pReal, pDir);
}
