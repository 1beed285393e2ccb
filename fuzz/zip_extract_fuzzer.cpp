// Opens an arbitrary byte string as an archive, verifies it and extracts every entry into a
// scratch folder that is emptied after each input, once entry by entry and once through
// ExtractAll on two threads.
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "zip/zip_archiver.h"

namespace {

std::string g_strRoot;

int RemoveOne(const char* pPath, const struct stat*, int, struct FTW*) {
    ::remove(pPath);
    return 0;
}

void EmptyFolder(const std::string& strFolder) {
    nftw(strFolder.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

// As zavzip extract: every entry on two threads, in entry order.
void ExtractInOrder(const std::string& strArchive, const std::string& strDest) {
    CZipArchiver zip;
    try {
        zip.Open(strArchive, ZipOpenMode::ReadOnly);
        zip.ExtractAll(strDest, 2);
        zip.Close();
    } catch (const CException&) {
        // Rejected inputs are the expected outcome for most byte strings.
    }
}

void ExtractAll(const std::string& strArchive, const std::string& strDest) {
    CZipArchiver zip;
    try {
        zip.Open(strArchive, ZipOpenMode::ReadOnly);
        zip.TestArchive();
    } catch (const CException&) {
        // Rejected inputs are the expected outcome for most byte strings.
    }
    try {
        for (int i = 0; i < zip.EntryCount(); ++i) {
            if (!zip.ExtractEntry(static_cast<uint16_t>(i), strDest, i % 2 == 0, 4096))
                break;
        }
        zip.Close();
    } catch (const CException&) {
        // As above: the archive object is then only destroyed.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (g_strRoot.empty()) {
        char szTemplate[] = "/tmp/zav-zip-fuzz-XXXXXX";
        if (mkdtemp(szTemplate) == nullptr)
            abort();
        g_strRoot = szTemplate;
        atexit([] { EmptyFolder(g_strRoot); });
    }
    const std::string strArchive = g_strRoot + "/input.zip";
    const std::string strDest = g_strRoot + "/out";
    FILE* pFile = std::fopen(strArchive.c_str(), "wb");
    if (pFile == nullptr)
        abort();
    if (nSize)
        std::fwrite(pData, 1, nSize, pFile);
    std::fclose(pFile);
    ExtractAll(strArchive, strDest);
    EmptyFolder(strDest);
    ExtractInOrder(strArchive, strDest);
    EmptyFolder(strDest);
    return 0;
}
