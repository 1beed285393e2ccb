#include "platform/diag_log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/native_text.h"

namespace fs = std::filesystem;

namespace {

std::mutex g_mutexLog;
std::string g_strLogPath;  // guarded by g_mutexLog; "" while closed

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t tNow = std::chrono::system_clock::to_time_t(now);
    const auto nMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &tNow);
#else
    localtime_r(&tNow, &local);
#endif
    char szText[64];
    std::snprintf(szText, sizeof szText, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(nMillis));
    return szText;
}

}  // namespace

std::string DefaultDiagLogPath() {
#ifdef _WIN32
    // A Korean user name is part of this folder: it is read and joined as UTF-8.
    const std::optional<std::string> base = GetEnvironmentUtf8("LOCALAPPDATA");
    if (!base || base->empty())
        return {};
    return *base + "\\zav\\zav.log";
#else
    if (const char* szState = std::getenv("XDG_STATE_HOME"); szState != nullptr && *szState == '/')
        return (fs::path(szState) / "zav" / "zav.log").string();
    const char* szHome = std::getenv("HOME");
    if (szHome == nullptr || *szHome == '\0')
        return {};
    return (fs::path(szHome) / ".local" / "state" / "zav" / "zav.log").string();
#endif
}

void OpenDiagLog(const std::string& strPath) {
    std::lock_guard lock(g_mutexLog);
    g_strLogPath = strPath;
    if (!strPath.empty()) {
        std::error_code ec;
        fs::create_directories(PathFromUtf8(strPath).parent_path(), ec);
    }
}

void DiagLog(std::string_view text) {
    std::lock_guard lock(g_mutexLog);
    if (g_strLogPath.empty())
        return;
    std::error_code ec;
    const fs::path path = PathFromUtf8(g_strLogPath);
    if (fs::file_size(path, ec) >= kDiagLogMaxBytes && !ec)
        fs::rename(path, PathFromUtf8(g_strLogPath + ".1"), ec);
#ifdef _WIN32
    std::FILE* pFile = _wfopen(path.c_str(), L"ab");
#else
    std::FILE* pFile = std::fopen(path.c_str(), "ab");
#endif
    if (pFile == nullptr)
        return;  // the log is an aid: a full disk or a read-only home must not stop the work
    std::string strLine = Timestamp();
    strLine += ' ';
    strLine.append(text);
    strLine += '\n';
    std::fwrite(strLine.data(), 1, strLine.size(), pFile);
    std::fclose(pFile);
}

std::string ErrnoText(int nError) {
    return std::generic_category().message(nError);
}
