// Helpers of the archive tests: a scratch folder per test, file helpers, and a builder of
// hand-made archives for the malformed cases.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/file_io.h"
#include "support/sandbox.h"

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s);
uint16_t U16At(const std::string& s, size_t nPos);
uint32_t U32At(const std::string& s, size_t nPos);
std::string RawDeflate(const std::string& strData, int iLevel = 6);
uint32_t Crc(const std::string& strData);
// Runs a shell command; returns its exit status.
int RunShell(const std::string& strCommand);

// A fresh folder under the system's temporary folder, removed after the test.
class ZipSandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& strRelative) const { return m_strRoot + "/" + strRelative; }
    // Writes a file (creating its folders) and returns its full path.
    std::string MakeFile(const std::string& strRelative, const std::string& strData);
    std::unique_ptr<CSandbox> m_pSandbox;
    std::string m_strRoot;
};

// A tmpfs of nBytes mounted at strPath (made when missing) for the life of the object; a test
// without mount rights (or on Windows) finds Mounted() false and skips.
class CSmallDisk {
public:
    CSmallDisk(const std::string& strPath, size_t nBytes);
    ~CSmallDisk();
    CSmallDisk(const CSmallDisk&) = delete;
    CSmallDisk& operator=(const CSmallDisk&) = delete;
    bool Mounted() const { return m_bMounted; }

private:
    std::string m_strPath;
    bool m_bMounted = false;
};

// One entry of a hand-made archive. Fields left alone give a consistent stored entry.
struct RawEntry {
    std::string strName;  // stored name bytes
    std::string strData;  // entry data as stored (already compressed for method 8)
    uint16_t uMethod = 0;
    uint16_t uFlag = 0;
    uint32_t uCrc = 0;
    uint32_t uComprSize = 0;
    uint32_t uUncomprSize = 0;
    uint32_t uExternal = 0x20;
    uint16_t uVersionMadeBy = 20;
    bool bAutoSizes = true;  // crc and sizes from strData (stored) / uUncomprSize kept
    // Local header overrides (-1: same as central).
    int iLocalMethod = -1;
    int iLocalNameLength = -1;
    // Bytes written after the data (a data descriptor, for instance).
    std::string strAfterData;
};

// Builds: [prefix] local headers+data, central directory, end record (+ comment).
std::string BuildArchive(std::vector<RawEntry> entries, const std::string& strPrefix = "",
                         const std::string& strComment = "", uint16_t uThisDisk = 0);
// A stored entry of strData named strName with correct CRC and sizes.
RawEntry StoredEntry(const std::string& strName, const std::string& strData);
// A deflated entry of strPlain named strName with correct CRC and sizes.
RawEntry DeflatedEntry(const std::string& strName, const std::string& strPlain);
