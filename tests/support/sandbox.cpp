#include "sandbox.h"

#include <stdlib.h>
#include <sys/mount.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

CSandbox::CSandbox(const std::string& strPrefix, const std::string& strParent) {
    const fs::path parent = strParent.empty() ? fs::temp_directory_path() : fs::path(strParent);
    std::string strTemplate = (parent / (strPrefix + "-XXXXXX")).string();
    if (mkdtemp(strTemplate.data()) == nullptr)
        throw std::runtime_error("cannot make a sandbox folder " + strTemplate);
    m_strPath = fs::canonical(strTemplate).string();
}

CSandbox::~CSandbox() {
    std::ifstream mounts("/proc/mounts");
    std::string strDevice, strMountPoint, strRest;
    while (mounts >> strDevice >> strMountPoint && std::getline(mounts, strRest)) {
        if (strMountPoint.rfind(m_strPath + "/", 0) == 0)
            umount2(strMountPoint.c_str(), MNT_DETACH);
    }
    if (getenv("ZAV_KEEP_TEST_DATA") != nullptr) {
        std::fprintf(stderr, "ZAV_KEEP_TEST_DATA: kept %s\n", m_strPath.c_str());
        return;
    }
    std::error_code ec;
    for (fs::recursive_directory_iterator it(m_strPath, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code ecEntry;
        if (it->is_directory(ecEntry) && !it->is_symlink(ecEntry))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ecEntry);
    }
    fs::remove_all(m_strPath, ec);
}
