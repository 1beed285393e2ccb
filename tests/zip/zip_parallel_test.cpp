// AddFiles: compressing on worker threads writes the same bytes as AddFile one by one.
#include <unistd.h>

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
        return ReadFileBytes("seq.zip");
    }
    std::string Parallel(const std::vector<std::string>& files, int iLevel, unsigned nThreads,
                         size_t nBudget, size_t* pAdded = nullptr) {
        CZipArchiver zip;
        zip.Open("par.zip", ZipOpenMode::Create);
        size_t nAdded = zip.AddFiles(files, iLevel, true, 65535, nThreads, nBudget);
        if (pAdded)
            *pAdded = nAdded;
        zip.Close();
        return ReadFileBytes("par.zip");
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

}  // namespace
