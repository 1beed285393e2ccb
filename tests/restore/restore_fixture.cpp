#include "restore_fixture.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/native_text.h"
#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

namespace restore_test {

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

void PackFolder(const std::string& strGameFolder, const std::string& strFolder,
                const std::string& strArchive) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    const fs::path game = PathFromUtf8(strGameFolder);
    for (const auto& entry :
         fs::recursive_directory_iterator(PathFromUtf8(strGameFolder + strFolder))) {
        if (!entry.is_regular_file())
            continue;
        CZipEntryHeader header;
        const std::string strPath = Utf8FromPath(entry.path());
        header.SetFileName(GenericUtf8FromPath(fs::relative(entry.path(), game)));
        if (!zip.OpenEntryForWriting(header, -1, strPath))
            throw std::runtime_error("cannot add " + strPath);
        const std::string strData = ReadWholeFile(strPath);
        zip.WriteEntryData(strData.data(), static_cast<uint32_t>(strData.size()));
        zip.CloseEntryForWriting();
    }
    zip.Close();
}

void PackEntries(const std::string& strArchive,
                 const std::vector<std::pair<std::string, std::string>>& vecEntries) {
    CSandbox source;
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    int i = 0;
    for (const auto& [strName, strData] : vecEntries) {
        const std::string strSource = source.Path() + "/f" + std::to_string(i++);
        WriteWholeFile(strSource, strData);
        CZipEntryHeader header;
        header.SetFileName(strName);
        if (!zip.OpenEntryForWriting(header, -1, strSource))
            throw std::runtime_error("cannot add " + strName);
        zip.WriteEntryData(strData.data(), static_cast<uint32_t>(strData.size()));
        zip.CloseEntryForWriting();
    }
    zip.Close();
}

void MarkEncrypted(const std::string& strArchive) {
    std::string strData = ReadWholeFile(strArchive);
    auto mark = [&](const char* szSignature, size_t nFlagOffset) {
        for (size_t nAt = strData.find(szSignature, 0, 4); nAt != std::string::npos;
             nAt = strData.find(szSignature, nAt + 4, 4))
            strData[nAt + nFlagOffset] = static_cast<char>(strData[nAt + nFlagOffset] | 0x01);
    };
    mark("PK\x03\x04", 6);
    mark("PK\x01\x02", 8);
    WriteWholeFile(strArchive, strData);
}

void FillGameFolder(const SGame& game) {
    WriteWholeFile(game.Path("WTF/Config.wtf"), "SET locale \"koKR\"\n");
    WriteWholeFile(game.Path("WTF/Account/GAMER/하늘바다/달빛궁수/macros-cache.txt"), "MACRO 1\n");
    WriteWholeFile(game.Path("WTF/Account/GAMER/SavedVariables/Addon.lua"), RandomBytes(40000, 1));
    WriteWholeFile(game.Path("Interface/AddOns/Bag/Bag.toc"), "## Title: Bag\n");
    WriteWholeFile(game.Path("Interface/AddOns/Bag/Bag.lua"), "local a = 1\n");
    WriteWholeFile(game.Path("Fonts/FRIZQT__.TTF"), RandomBytes(30000, 2));
    WriteWholeFile(game.Path("Cache/WDB/koKR/itemcache.wdb"), RandomBytes(20000, 3));
    WriteWholeFile(game.Path("Cache/Other/keep.bin"), "cache outside koKR\n");
    WriteWholeFile(game.Path("Wow.exe"), "MZ");
    for (const char* szFolder : {"Ralum/Temp", "Ralum/Recent", "Ralum/Original"})
        fs::create_directories(PathFromUtf8(game.Path(szFolder)));
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

}  // namespace restore_test
