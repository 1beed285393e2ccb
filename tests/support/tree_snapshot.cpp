#include "support/tree_snapshot.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/native_text.h"
#include "support/file_io.h"

namespace fs = std::filesystem;

std::string RandomBytes(size_t nSize, uint32_t nSeed) {
    std::mt19937 rng(nSeed);
    std::string strData(nSize, '\0');
    for (char& c : strData)
        c = static_cast<char>(rng() & 0xFF);
    return strData;
}

TreeMap SnapshotTree(const std::string& strRoot, const std::vector<std::string>& vecSkip) {
    TreeMap tree;
    std::error_code ec;
    const fs::path root = PathFromUtf8(strRoot);
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string strRel = GenericUtf8FromPath(it->path().lexically_relative(root));
        bool bSkip = false;
        for (const std::string& strSkip : vecSkip) {
            if (strRel == strSkip || strRel.rfind(strSkip + "/", 0) == 0)
                bSkip = true;
        }
        if (bSkip) {
            if (it->is_directory() && !it->is_symlink())
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink())
            tree[strRel] = "L:" + Utf8FromPath(fs::read_symlink(it->path()));
        else if (it->is_directory())
            tree[strRel] = "D";
        else
            tree[strRel] = "F:" + ReadWholeFile(Utf8FromPath(it->path()));
    }
    return tree;
}

std::unique_ptr<CSandbox> SandboxOnAnotherFileSystem() {
#ifdef _WIN32
    return nullptr;  // no shared-memory file system
#else
    struct stat shm {};
    struct stat tmp {};
    if (::stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode) ||
        ::stat(fs::temp_directory_path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
        return nullptr;
    return std::make_unique<CSandbox>("zav-restore", "/dev/shm");
#endif
}

CTmpfsMount::CTmpfsMount(const std::string& strPath, size_t nBytes) : m_strPath(strPath) {
    std::error_code ec;
    fs::create_directories(PathFromUtf8(strPath), ec);
#ifdef _WIN32
    static_cast<void>(nBytes);
    m_strError = "Windows has no tmpfs";
#else
    const std::string strOptions = "size=" + std::to_string(nBytes);
    if (::mount("zav-test", strPath.c_str(), "tmpfs", 0, strOptions.c_str()) == 0)
        m_bMounted = true;
    else
        m_strError = std::strerror(errno);
#endif
}

bool CTmpfsMount::MakeReadOnly() {
#ifdef _WIN32
    return false;
#else
    return m_bMounted &&
           ::mount(nullptr, m_strPath.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
#endif
}

CTmpfsMount::~CTmpfsMount() {
#ifndef _WIN32
    if (m_bMounted)
        ::umount2(m_strPath.c_str(), MNT_DETACH);
#endif
}
