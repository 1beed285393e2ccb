#include "restore_fixture.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

namespace restore_test {

CTempFolder::CTempFolder() {
    std::string strTemplate = (fs::temp_directory_path() / "zav-restore-XXXXXX").string();
    if (::mkdtemp(strTemplate.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_strPath = strTemplate;
}

CTempFolder::~CTempFolder() {
    // A test that stopped early may have left a file system mounted inside.
    std::ifstream mounts("/proc/mounts");
    std::string strDevice, strMountPoint, strRest;
    while (mounts >> strDevice >> strMountPoint && std::getline(mounts, strRest)) {
        if (strMountPoint.rfind(m_strPath + "/", 0) == 0)
            ::umount2(strMountPoint.c_str(), MNT_DETACH);
    }
    std::error_code ec;
    // Tests may leave read-only folders behind.
    for (fs::recursive_directory_iterator it(m_strPath, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code ecEntry;
        if (it->is_directory(ecEntry) && !it->is_symlink(ecEntry))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ecEntry);
    }
    fs::remove_all(m_strPath, ec);
}

void WriteFile(const std::string& strPath, const std::string& strContent) {
    fs::create_directories(fs::path(strPath).parent_path());
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    if (!out)
        throw std::runtime_error("cannot write " + strPath);
}

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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
    for (fs::recursive_directory_iterator it(strRoot, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string strRel = it->path().lexically_relative(strRoot).generic_string();
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
            tree[strRel] = "L:" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[strRel] = "D";
        else
            tree[strRel] = "F:" + ReadFile(it->path().string());
    }
    return tree;
}

void PackFolder(const std::string& strGameFolder, const std::string& strFolder,
                const std::string& strArchive) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    for (const auto& entry : fs::recursive_directory_iterator(strGameFolder + strFolder)) {
        if (!entry.is_regular_file())
            continue;
        CZipEntryHeader header;
        header.SetFileName(fs::relative(entry.path(), strGameFolder).generic_string());
        if (!zip.OpenEntryForWriting(header, -1, entry.path().string()))
            throw std::runtime_error("cannot add " + entry.path().string());
        const std::string strData = ReadFile(entry.path().string());
        zip.WriteEntryData(strData.data(), static_cast<uint32_t>(strData.size()));
        zip.CloseEntryForWriting();
    }
    zip.Close();
}

void PackEntries(const std::string& strArchive,
                 const std::vector<std::pair<std::string, std::string>>& vecEntries) {
    CTempFolder source;
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    int i = 0;
    for (const auto& [strName, strData] : vecEntries) {
        const std::string strSource = source.Path() + "/f" + std::to_string(i++);
        WriteFile(strSource, strData);
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
    std::string strData = ReadFile(strArchive);
    auto mark = [&](const char* szSignature, size_t nFlagOffset) {
        for (size_t nAt = strData.find(szSignature, 0, 4); nAt != std::string::npos;
             nAt = strData.find(szSignature, nAt + 4, 4))
            strData[nAt + nFlagOffset] = static_cast<char>(strData[nAt + nFlagOffset] | 0x01);
    };
    mark("PK\x03\x04", 6);
    mark("PK\x01\x02", 8);
    WriteFile(strArchive, strData);
}

void FillGameFolder(const SGame& game) {
    WriteFile(game.Path("WTF/Config.wtf"), "SET locale \"koKR\"\n");
    WriteFile(game.Path("WTF/Account/GAMER/하늘바다/달빛궁수/macros-cache.txt"), "MACRO 1\n");
    WriteFile(game.Path("WTF/Account/GAMER/SavedVariables/Addon.lua"), RandomBytes(40000, 1));
    WriteFile(game.Path("Interface/AddOns/Bag/Bag.toc"), "## Title: Bag\n");
    WriteFile(game.Path("Interface/AddOns/Bag/Bag.lua"), "local a = 1\n");
    WriteFile(game.Path("Fonts/FRIZQT__.TTF"), RandomBytes(30000, 2));
    WriteFile(game.Path("Cache/WDB/koKR/itemcache.wdb"), RandomBytes(20000, 3));
    WriteFile(game.Path("Cache/Other/keep.bin"), "cache outside koKR\n");
    WriteFile(game.Path("Wow.exe"), "MZ");
    for (const char* szFolder : {"Ralum/Temp", "Ralum/Recent", "Ralum/Original"})
        fs::create_directories(game.Path(szFolder));
}

CTmpfsMount::CTmpfsMount(const std::string& strPath, size_t nBytes) : m_strPath(strPath) {
    std::error_code ec;
    fs::create_directories(strPath, ec);
    const std::string strOptions = "size=" + std::to_string(nBytes);
    if (::mount("zav-test", strPath.c_str(), "tmpfs", 0, strOptions.c_str()) == 0)
        m_bMounted = true;
    else
        m_strError = std::strerror(errno);
}

CTmpfsMount::~CTmpfsMount() {
    if (m_bMounted)
        ::umount2(m_strPath.c_str(), MNT_DETACH);
}

}  // namespace restore_test
