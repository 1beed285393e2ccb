// AddFiles / AddFilesAs: compressing on worker threads writes the same bytes as adding the
// files one by one on this thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "zip/zip_archiver.h"
#include "zip/zip_test_util.h"

namespace {

class ZipParallel : public ZipSandbox {
protected:
    void SetUp() override {
        ZipSandbox::SetUp();
        ASSERT_EQ(chdir(m_strRoot.c_str()), 0);
        uint32_t v = 7;
        std::string noise;
        for (int i = 0; i < 400000; ++i) {
            v = v * 1664525 + 1013904223;
            noise += static_cast<char>(v >> 24);
        }
        m_files = {MakeFile("t/empty", ""), MakeFile("t/noise.bin", noise),
                   MakeFile("t/text.txt", std::string(300000, 'a') + "tail"),
                   MakeFile("t/한글.txt", "내용"), MakeFile("t/exact", std::string(65535, 'e'))};
        for (int i = 0; i < 40; ++i)
            m_files.push_back(MakeFile("t/small" + std::to_string(i), std::to_string(i * i)));
        for (auto& f : m_files)
            f = f.substr(m_strRoot.size() + 1);
    }
    std::string Sequential(const std::vector<std::string>& files, int iLevel) {
        CZipArchiver zip;
        zip.Open("seq.zip", ZipOpenMode::Create);
        for (const auto& f : files)
            if (!zip.AddFile(f, iLevel, true, 65535))
                break;
        zip.Close();
        return ReadWholeFile("seq.zip");
    }
    std::string Parallel(const std::vector<std::string>& files, int iLevel, unsigned nThreads,
                         size_t nBudget, size_t* pAdded = nullptr) {
        CZipArchiver zip;
        zip.Open("par.zip", ZipOpenMode::Create);
        size_t nAdded = zip.AddFiles(files, iLevel, true, 65535, nThreads, nBudget);
        if (pAdded)
            *pAdded = nAdded;
        zip.Close();
        return ReadWholeFile("par.zip");
    }
    std::vector<std::string> m_files;
};

TEST_F(ZipParallel, ArchiveIsByteIdenticalToSequentialAdding) {
    for (int iLevel : {-1, 0, 9}) {
        SCOPED_TRACE(iLevel);
        const std::string expected = Sequential(m_files, iLevel);
        // A budget smaller than one file makes the workers wait for the writer.
        EXPECT_EQ(Parallel(m_files, iLevel, 2, 16384), expected);
        EXPECT_EQ(Parallel(m_files, iLevel, 3, size_t{8} << 20), expected);
    }
    EXPECT_EQ(RunShell("unzip -tqq par.zip"), 0);
}

TEST_F(ZipParallel, StopsWhereAddFileWouldRefuse) {
    std::vector<std::string> files = m_files;
    files.insert(files.begin() + 3, "t/missing");
    const std::string expected = Sequential(files, -1);
    size_t nAdded = 0;
    EXPECT_EQ(Parallel(files, -1, 2, 65536, &nAdded), expected);
    EXPECT_EQ(nAdded, 3u);
}

TEST_F(ZipParallel, SourceReadFailureOnAWorkerReachesTheCaller) {
    // /proc/self/mem is a regular file whose first read fails (EIO): the same failure AddFile
    // throws on this thread comes out of AddFiles from the worker.
    std::vector<std::string> files = {m_files[1], "/proc/self/mem", m_files[2]};
    CZipArchiver seq;
    seq.Open("seq.zip", ZipOpenMode::Create);
    ASSERT_TRUE(seq.AddFile(files[0]));
    EXPECT_THROW(seq.AddFile(files[1]), CFileException);
    CZipArchiver par;
    par.Open("par.zip", ZipOpenMode::Create);
    EXPECT_THROW(par.AddFiles(files, -1, true, 65535, 2, 16384), CFileException);
}

// Adds one file under strName step by step, the way a caller of OpenEntryForWriting does:
// source opened first (a refusal writes nothing), then header, data chunks, close.
bool AddOneAs(CZipArchiver& zip, const SZipSource& file, int iLevel) {
    int nFd = open(file.strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (nFd < 0)
        return false;
    struct Closer {
        int n;
        ~Closer() { close(n); }
    } closer{nFd};
    struct stat st {};
    if (fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    CZipEntryHeader header;
    header.SetFileName(file.strName);
    if (!zip.OpenEntryForWriting(header, iLevel, file.strPath))
        return false;
    std::vector<char> chunk(65535);
    for (;;) {
        ssize_t n = read(nFd, chunk.data(), chunk.size());
        if (n < 0)
            throw CFileException(errno, file.strPath);
        if (n > 0)
            zip.WriteEntryData(chunk.data(), static_cast<uint32_t>(n));
        if (static_cast<size_t>(n) < chunk.size())
            break;
    }
    return zip.CloseEntryForWriting();
}

class ZipParallelAs : public ZipParallel {
protected:
    void SetUp() override {
        ZipParallel::SetUp();
        // Absolute paths, names unrelated to them: Korean, one CP949 cannot hold (stored as
        // UTF-8), one with folders that do not exist on disk.
        for (size_t i = 0; i < m_files.size(); ++i) {
            std::string strName = "설정/" + std::to_string(i) + "_한글.lua";
            if (i == 2)
                strName = "Fonts/\xF0\x9F\x8E\xAE.ttf";
            if (i == 3)
                strName = "Cache/WDB/koKR/없는폴더/item.wdb";
            m_sources.push_back({Path(m_files[i]), strName});
        }
    }
    std::string Sequential(const std::vector<SZipSource>& files, int iLevel) {
        CZipArchiver zip;
        zip.Open(Path("seq.zip"), ZipOpenMode::Create);
        for (const auto& f : files)
            if (!AddOneAs(zip, f, iLevel))
                break;
        zip.Close();
        return ReadWholeFile(Path("seq.zip"));
    }
    std::vector<SZipSource> m_sources;
};

TEST_F(ZipParallelAs, ArchiveIsByteIdenticalToAddingEachFileUnderItsName) {
    for (int iLevel : {-1, 0, 9}) {
        SCOPED_TRACE(iLevel);
        const std::string expected = Sequential(m_sources, iLevel);
        for (auto [nThreads, nBudget] :
             {std::pair<unsigned, size_t>{1, 0}, {2, 16384}, {3, size_t{8} << 20}}) {
            CZipArchiver zip;
            zip.Open(Path("par.zip"), ZipOpenMode::Create);
            EXPECT_EQ(zip.AddFilesAs(m_sources, iLevel, 65535, nThreads, nBudget),
                      m_sources.size());
            zip.Close();
            EXPECT_EQ(ReadWholeFile(Path("par.zip")), expected) << nThreads << " threads";
        }
    }
    CZipArchiver zip;
    zip.Open(Path("par.zip"), ZipOpenMode::ReadOnly);
    CZipEntryHeader header;
    ASSERT_TRUE(zip.GetFileInfo(2, header));
    EXPECT_EQ(header.GetFileName(), m_sources[2].strName);
    EXPECT_NE(header.m_uFlag & CZipEntryHeader::kFlagUtf8, 0);
    ASSERT_TRUE(zip.GetFileInfo(0, header));
    EXPECT_EQ(header.GetFileName(), m_sources[0].strName);
    EXPECT_EQ(header.m_uFlag & CZipEntryHeader::kFlagUtf8, 0);
}

TEST_F(ZipParallelAs, RefusalInTheMiddleWritesNothingAndTheRestCanFollow) {
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    MakeFile("folder/x", "x");
    for (const char* szBad : {"missing", "pipe", "folder"}) {
        SCOPED_TRACE(szBad);
        std::vector<SZipSource> files = m_sources;
        files.insert(files.begin() + 4, {Path(szBad), "bad"});
        std::vector<SZipSource> skipped = m_sources;  // what adding around the refusal gives
        const std::string expected = Sequential(skipped, -1);

        CZipArchiver zip;
        zip.Open(Path("par.zip"), ZipOpenMode::Create);
        ASSERT_EQ(zip.AddFilesAs(files, -1, 65535, 2, 16384), 4u);
        EXPECT_EQ(zip.GetEntryState(), CZipArchiver::kNone);
        EXPECT_EQ(zip.EntryCount(), 4);
        std::vector<SZipSource> rest(files.begin() + 5, files.end());
        EXPECT_EQ(zip.AddFilesAs(rest, -1, 65535, 2, 16384), rest.size());
        zip.Close();
        EXPECT_EQ(ReadWholeFile(Path("par.zip")), expected);
    }
}

TEST_F(ZipParallelAs, ReadFailureFinishesTheEntryAsClosingAfterTheSequenceWould) {
    std::vector<SZipSource> files = {m_sources[1], {"/proc/self/mem", "mem.bin"}, m_sources[2]};
    CZipArchiver seq;
    seq.Open(Path("seq.zip"), ZipOpenMode::Create);
    ASSERT_TRUE(AddOneAs(seq, files[0], -1));
    EXPECT_THROW(AddOneAs(seq, files[1], -1), CFileException);
    seq.Close();
    CZipArchiver par;
    par.Open(Path("par.zip"), ZipOpenMode::Create);
    EXPECT_THROW(par.AddFilesAs(files, -1, 65535, 2, 16384), CFileException);
    EXPECT_NO_THROW(par.Close());
    EXPECT_EQ(ReadWholeFile(Path("par.zip")), ReadWholeFile(Path("seq.zip")));
    EXPECT_EQ(RunShell("unzip -tqq " + Path("par.zip")), 0);

    // The path-named AddFiles leaves the same readable archive as AddFile followed by Close.
    std::vector<std::string> paths = {m_files[1], "/proc/self/mem", m_files[2]};
    CZipArchiver seq2;
    seq2.Open("seq2.zip", ZipOpenMode::Create);
    ASSERT_TRUE(seq2.AddFile(paths[0]));
    EXPECT_THROW(seq2.AddFile(paths[1]), CFileException);
    seq2.Close();
    CZipArchiver par2;
    par2.Open("par2.zip", ZipOpenMode::Create);
    EXPECT_THROW(par2.AddFiles(paths, -1, true, 65535, 2, 16384), CFileException);
    EXPECT_NO_THROW(par2.Close());
    EXPECT_EQ(ReadWholeFile("par2.zip"), ReadWholeFile("seq2.zip"));
}

TEST_F(ZipParallelAs, ProgressRunsOnTheCallingThreadForEveryFileAndDuringLargeOnes) {
    // 4 MiB that do not compress: several MiB of output within one entry.
    uint32_t v = 11;
    std::string noise;
    for (int i = 0; i < (4 << 20); ++i) {
        v = v * 1664525 + 1013904223;
        noise += static_cast<char>(v >> 24);
    }
    std::vector<SZipSource> files = {{MakeFile("big.bin", noise), "big.bin"}};
    files.insert(files.end(), m_sources.begin(), m_sources.end());
    const std::thread::id caller = std::this_thread::get_id();
    size_t nCalls = 0;
    bool bOtherThread = false;
    CZipArchiver zip;
    zip.Open(Path("par.zip"), ZipOpenMode::Create);
    EXPECT_EQ(zip.AddFilesAs(files, -1, 65535, 2, 16384,
                             [&] {
                                 ++nCalls;
                                 bOtherThread |= std::this_thread::get_id() != caller;
                             }),
              files.size());
    zip.Close();
    EXPECT_GE(nCalls, files.size() + 3);
    EXPECT_FALSE(bOtherThread);
}

}  // namespace
