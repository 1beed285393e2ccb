// zavzip: the archive layer on the command line.
//   zavzip pack [-j N] ARCHIVE FOLDER...   every file of each folder, depth-first, names
//                                          relative; compressed on N threads (default: one
//                                          per core, at most 16), the same archive for any N
//   zavzip list ARCHIVE                    one tab-separated line per entry
//   zavzip extract [-j N] ARCHIVE DEST     every entry, stopping at the first refusal; files
//                                          written on N threads (default as for pack)
// Exit codes: 0 done, 1 extraction stopped early, 2 usage, 3 archive error, 4 file error (also
// an archive larger than the room of DEST, refused before anything is written).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/native_text.h"
#include "zip/zip_archiver.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>
#endif

namespace {

int Usage() {
    std::fputs(
        "usage: zavzip pack [-j THREADS] ARCHIVE FOLDER...\n"
        "       zavzip list ARCHIVE\n"
        "       zavzip extract [-j THREADS] ARCHIVE DEST\n",
        stderr);
    return 2;
}

// Walks strFolder depth-first in listing order and hands every file (links followed) to
// onFile; stops when onFile returns false. Paths are UTF-8, joined with '/'.
template <typename OnFile>
bool WalkFolder(const std::string& strFolder, OnFile&& onFile) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(PathFromUtf8(strFolder), ec);
    if (ec)
        throw CFileException(ec.value(), strFolder);
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            throw CFileException(ec.value(), strFolder);
        std::string strPath = strFolder + "/" + Utf8FromPath(it->path().filename());
        std::error_code ecEntry;
        const fs::file_status status = it->status(ecEntry);
        if (ecEntry)
            continue;  // vanished since the listing
        if (fs::is_directory(status)) {
            if (!WalkFolder(strPath, onFile))
                return false;
        } else if (!onFile(strPath)) {
            return false;
        }
    }
    return true;
}

std::string TrimFolder(std::string strFolder) {
    while (strFolder.size() > 1 && (strFolder.back() == '/' || strFolder.back() == '\\'))
        strFolder.pop_back();
    return strFolder;
}

int Pack(const std::string& strArchive, int argc, char** argv, unsigned nThreads) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    std::vector<std::string> paths;
    for (int i = 0; i < argc; ++i) {
        WalkFolder(TrimFolder(argv[i]), [&](const std::string& strPath) {
            paths.push_back(strPath);
            return true;
        });
    }
    const size_t nAdded = zip.AddFiles(paths, -1, true, 65535, nThreads);
    if (nAdded < paths.size())
        std::fprintf(stderr, "zavzip: cannot add %s\n", paths[nAdded].c_str());
    zip.Close();
    return nAdded == paths.size() ? 0 : 1;
}

int List(const std::string& strArchive) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::ReadOnly);
    CZipEntryHeader h;
    for (int i = 0; i < zip.EntryCount(); ++i) {
        zip.GetFileInfo(static_cast<uint16_t>(i), h);
        std::printf("%d\t%u\t%u\t%08" PRIx32 "\t%" PRIu32 "\t%" PRIu32 "\t%08" PRIx32 "\t%s\n", i,
                    unsigned{h.m_uMethod}, unsigned{h.m_uFlag}, h.m_uCrc32, h.m_uComprSize,
                    h.m_uUncomprSize, h.m_uExternalAttr, h.GetFileName().c_str());
    }
    zip.Close();
    return 0;
}

int Extract(const std::string& strArchive, const std::string& strDest, unsigned nThreads) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::ReadOnly);
    uint64_t nAvailable = 0;
    if (!HasRoomFor(strDest, zip.DeclaredSize(), &nAvailable)) {
        std::fprintf(stderr, "zavzip: %s: %" PRIu64 " bytes to extract, %" PRIu64 " available\n",
                     strDest.c_str(), zip.DeclaredSize(), nAvailable);
        return 4;
    }
    const size_t nDone = zip.ExtractAll(strDest, nThreads);
    if (nDone < static_cast<size_t>(zip.EntryCount())) {
        std::fprintf(stderr, "stopped at entry %zu\n", nDone);
        return 1;
    }
    zip.Close();
    return 0;
}

// The thread count of "-j N" at argv[i] (then i moves past it), 0 when there is none, -1 when
// it is not a number from 1 to 64.
int ThreadOption(int argc, char** argv, int& i) {
    if (i + 1 >= argc || std::strcmp(argv[i], "-j") != 0)
        return 0;
    const int nThreads = std::atoi(argv[i + 1]);
    i += 2;
    return nThreads >= 1 && nThreads <= 64 ? nThreads : -1;
}

// The command line as UTF-8. On Windows it is read in UTF-16 (the ANSI form would lose Korean
// names on a system whose code page is not 949), the console is told to show UTF-8 and the
// output is binary.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    static_cast<void>(argc);
    static_cast<void>(argv);
    SetConsoleOutputCP(CP_UTF8);
    // Lines end in LF as on every system, so the output is the same byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    int nArgs = 0;
    wchar_t** ppArgs = CommandLineToArgvW(GetCommandLineW(), &nArgs);
    std::vector<std::string> args;
    for (int i = 0; ppArgs != nullptr && i < nArgs; ++i)
        args.push_back(Utf8FromWide(ppArgs[i]));
    LocalFree(ppArgs);
    return args;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

int Run(int argc, char** argv) {
    if (argc < 3)
        return Usage();
    std::string strCommand = argv[1];
    int i = 2;
    const int nThreads = ThreadOption(argc, argv, i);
    if (nThreads < 0)
        return Usage();
    try {
        if (strCommand == "pack" && argc - i >= 2)
            return Pack(argv[i], argc - i - 1, argv + i + 1, static_cast<unsigned>(nThreads));
        if (strCommand == "list" && argc == 3)
            return List(argv[2]);
        if (strCommand == "extract" && argc - i == 2)
            return Extract(argv[i], argv[i + 1], static_cast<unsigned>(nThreads));
    } catch (const CZipException& e) {
        std::fprintf(stderr, "zavzip: CZipException cause %d\n", e.m_iCause);
        return 3;
    } catch (const CFileException& e) {
        std::fprintf(stderr, "zavzip: %s: %s\n", e.m_strFileName.c_str(),
                     std::strerror(e.m_nOsError));
        return 4;
    }
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    pointers.reserve(args.size() + 1);
    for (std::string& strArg : args)
        pointers.push_back(strArg.data());
    pointers.push_back(nullptr);
    return Run(static_cast<int>(args.size()), pointers.data());
}
