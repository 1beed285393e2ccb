#include "sandbox.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/native_text.h"

#ifndef _WIN32
#include <sys/mount.h>
#endif

namespace fs = std::filesystem;

namespace {

// Makes PARENT/<prefix>-XXXXXX with a new random suffix; its path, or throws.
fs::path MakeUniqueFolder(const fs::path& parent, const std::string& strPrefix) {
#ifdef _WIN32
    // No mkdtemp: a random name that did not exist yet is claimed by creating it.
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        std::string strSuffix;
        for (int i = 0; i < 6; ++i)
            strSuffix += kChars[random() % (sizeof kChars - 1)];
        const fs::path folder = parent / PathFromUtf8(strPrefix + "-" + strSuffix);
        std::error_code ec;
        if (fs::create_directory(folder, ec))
            return folder;
        if (ec)
            break;
    }
    throw std::runtime_error("cannot make a sandbox folder in " + Utf8FromPath(parent));
#else
    std::string strTemplate = (parent / (strPrefix + "-XXXXXX")).string();
    if (mkdtemp(strTemplate.data()) == nullptr)
        throw std::runtime_error("cannot make a sandbox folder " + strTemplate);
    return strTemplate;
#endif
}

// File systems a test left mounted below the folder (one that stopped early).
void UnmountBelow([[maybe_unused]] const std::string& strPath) {
#ifndef _WIN32
    std::ifstream mounts("/proc/mounts");
    std::string strDevice, strMountPoint, strRest;
    while (mounts >> strDevice >> strMountPoint && std::getline(mounts, strRest)) {
        if (strMountPoint.rfind(strPath + "/", 0) == 0)
            umount2(strMountPoint.c_str(), MNT_DETACH);
    }
#endif
}

}  // namespace

CSandbox::CSandbox(const std::string& strPrefix, const std::string& strParent) {
    const fs::path parent = strParent.empty() ? fs::temp_directory_path() : PathFromUtf8(strParent);
    m_strPath = Utf8FromPath(fs::canonical(MakeUniqueFolder(parent, strPrefix)));
}

CSandbox::~CSandbox() {
    UnmountBelow(m_strPath);
    if (getenv("ZAV_KEEP_TEST_DATA") != nullptr) {
        std::fprintf(stderr, "ZAV_KEEP_TEST_DATA: kept %s\n", m_strPath.c_str());
        return;
    }
    // Folders (and on Windows read-only files) a test locked are opened first.
    std::error_code ec;
    for (fs::recursive_directory_iterator it(PathFromUtf8(m_strPath), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code ecEntry;
        if (it->is_symlink(ecEntry))
            continue;
#ifdef _WIN32
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ecEntry);
#else
        if (it->is_directory(ecEntry))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ecEntry);
#endif
    }
    fs::remove_all(PathFromUtf8(m_strPath), ec);
}
