#include "zip/zip_test_util.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/mount.h>
#endif

#include <cstdio>

#include "zip/zip_archiver.h"

uint16_t U16At(const std::string& s, size_t nPos) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s.at(nPos)) |
                                 (static_cast<uint8_t>(s.at(nPos + 1)) << 8));
}

uint32_t U32At(const std::string& s, size_t nPos) {
    return U16At(s, nPos) | (static_cast<uint32_t>(U16At(s, nPos + 2)) << 16);
}

std::string RawDeflate(const std::string& strData, int iLevel) {
    z_stream zs{};
    deflateInit2(&zs, iLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, strData.size()) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strData.data()));
    zs.avail_in = static_cast<uInt>(strData.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

uint32_t Crc(const std::string& strData) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(strData.data()),
                                       static_cast<uInt>(strData.size())));
}

int RunShell(const std::string& strCommand) {
    int iStatus = std::system(strCommand.c_str());
#ifdef _WIN32
    return iStatus;  // the exit code itself
#else
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
#endif
}

namespace {
void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, static_cast<uint16_t>(v & 0xFFFF));
    Put16(s, static_cast<uint16_t>(v >> 16));
}
}  // namespace

void ZipSandbox::SetUp() {
    m_pSandbox = std::make_unique<CSandbox>("zav-zip-test");
    m_strRoot = m_pSandbox->Path();
}

void ZipSandbox::TearDown() {
    m_pSandbox.reset();
}

std::string ZipSandbox::MakeFile(const std::string& strRelative, const std::string& strData) {
    std::string strPath = Path(strRelative);
    CreateFolderPath(strPath.substr(0, strPath.find_last_of('/') + 1));
    WriteWholeFile(strPath, strData);
    return strPath;
}

CSmallDisk::CSmallDisk(const std::string& strPath, size_t nBytes) : m_strPath(strPath) {
    CreateFolderPath(strPath);
#ifdef _WIN32
    static_cast<void>(nBytes);
#else
    const std::string strOptions = "size=" + std::to_string(nBytes);
    m_bMounted = ::mount("zav-zip-test", strPath.c_str(), "tmpfs", 0, strOptions.c_str()) == 0;
#endif
}

CSmallDisk::~CSmallDisk() {
#ifndef _WIN32
    if (m_bMounted)
        ::umount2(m_strPath.c_str(), MNT_DETACH);
#endif
}

RawEntry StoredEntry(const std::string& strName, const std::string& strData) {
    RawEntry e;
    e.strName = strName;
    e.strData = strData;
    return e;
}

RawEntry DeflatedEntry(const std::string& strName, const std::string& strPlain) {
    RawEntry e;
    e.strName = strName;
    e.strData = RawDeflate(strPlain);
    e.uMethod = 8;
    e.bAutoSizes = false;
    e.uCrc = Crc(strPlain);
    e.uComprSize = static_cast<uint32_t>(e.strData.size());
    e.uUncomprSize = static_cast<uint32_t>(strPlain.size());
    return e;
}

std::string BuildArchive(std::vector<RawEntry> entries, const std::string& strPrefix,
                         const std::string& strComment, uint16_t uThisDisk) {
    std::string body;
    std::vector<uint32_t> offsets;
    for (RawEntry& e : entries) {
        if (e.bAutoSizes) {
            e.uCrc = Crc(e.strData);
            e.uComprSize = e.uUncomprSize = static_cast<uint32_t>(e.strData.size());
        }
        offsets.push_back(static_cast<uint32_t>(body.size()));
        bool bDescriptor = (e.uFlag & 8) != 0;
        Put32(body, 0x04034b50);
        Put16(body, 20);
        Put16(body, e.uFlag);
        Put16(body, static_cast<uint16_t>(e.iLocalMethod >= 0 ? e.iLocalMethod : e.uMethod));
        Put16(body, 0);
        Put16(body, 0x21);
        Put32(body, bDescriptor ? 0 : e.uCrc);
        Put32(body, bDescriptor ? 0 : e.uComprSize);
        Put32(body, bDescriptor ? 0 : e.uUncomprSize);
        Put16(body, static_cast<uint16_t>(e.iLocalNameLength >= 0 ? e.iLocalNameLength
                                                                  : e.strName.size()));
        Put16(body, 0);
        body += e.strName;
        body += e.strData;
        body += e.strAfterData;
    }
    std::string dir;
    for (size_t i = 0; i < entries.size(); ++i) {
        const RawEntry& e = entries[i];
        Put32(dir, 0x02014b50);
        Put16(dir, e.uVersionMadeBy);
        Put16(dir, 20);
        Put16(dir, e.uFlag);
        Put16(dir, e.uMethod);
        Put16(dir, 0);
        Put16(dir, 0x21);
        Put32(dir, e.uCrc);
        Put32(dir, e.uComprSize);
        Put32(dir, e.uUncomprSize);
        Put16(dir, static_cast<uint16_t>(e.strName.size()));
        Put16(dir, 0);
        Put16(dir, 0);
        Put16(dir, 0);
        Put16(dir, 0);
        Put32(dir, e.uExternal);
        Put32(dir, offsets[i]);
        dir += e.strName;
    }
    std::string end;
    Put32(end, 0x06054b50);
    Put16(end, uThisDisk);
    Put16(end, 0);
    Put16(end, static_cast<uint16_t>(entries.size()));
    Put16(end, static_cast<uint16_t>(entries.size()));
    Put32(end, static_cast<uint32_t>(dir.size()));
    Put32(end, static_cast<uint32_t>(body.size()));
    Put16(end, static_cast<uint16_t>(strComment.size()));
    return strPrefix + body + dir + end + strComment;
}
