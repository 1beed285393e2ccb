// Data up to the whole limit is deflated and inflated by libdeflate in one buffer, longer data
// streams through zlib: both paths and the edge between them, the fall back to zlib, the same
// bytes for every way of adding and every thread count, and ExtractAll against the loop of
// ExtractEntry it stands for.
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "zip/zip_archiver.h"
#include "zip/zip_test_util.h"

namespace {

constexpr size_t kLimit = 65536;

std::string Noise(size_t nSize, uint32_t v) {
    std::string s;
    for (size_t i = 0; i < nSize; ++i) {
        v = v * 1664525 + 1013904223;
        s += static_cast<char>(v >> 24);
    }
    return s;
}

std::string Text(size_t nSize) {
    std::string s;
    for (int i = 0; s.size() < nSize; ++i)
        s += "local frame" + std::to_string(i % 97) + " = CreateFrame(\"Frame\")\n";
    return s.substr(0, nSize);
}

std::string Libdeflate(const std::string& strData) {
    libdeflate_compressor* p = libdeflate_alloc_compressor(6);
    std::string out(libdeflate_deflate_compress_bound(p, strData.size()), '\0');
    out.resize(
        libdeflate_deflate_compress(p, strData.data(), strData.size(), out.data(), out.size()));
    libdeflate_free_compressor(p);
    return out;
}

// The stored data of entry uIndex of an archive's bytes.
std::string EntryData(const std::string& strArchive, const CZipEntryHeader& header) {
    const size_t nData = header.m_uOffset + 30 + U16At(strArchive, header.m_uOffset + 26) +
                         U16At(strArchive, header.m_uOffset + 28);
    return strArchive.substr(nData, header.m_uComprSize);
}

class ZipWhole : public ZipSandbox {
protected:
    void SetUp() override {
        ZipSandbox::SetUp();
        ASSERT_EQ(chdir(m_strRoot.c_str()), 0);  // the shell commands need a folder that exists
        m_data = {{"below", Text(kLimit - 1)},
                  {"at", Text(kLimit)},
                  {"above", Text(kLimit + 1)},
                  {"big", Text(3 * kLimit + 5)},
                  {"noise_at", Noise(kLimit, 3)},
                  {"noise_below", Noise(kLimit - 200, 4)},
                  {"empty", ""}};
        for (const auto& [strName, strData] : m_data)
            m_sources.push_back({MakeFile("src/" + strName, strData), strName});
    }
    // The archive of m_sources made one way: 0 AddFile, 1 step by step, else AddFilesAs on
    // that many threads with a look-ahead smaller than a file.
    std::string Pack(int iWay, int iLevel) {
        CZipArchiver zip;
        zip.SetWholeLimit(kLimit);
        zip.Open(Path("out.zip"), ZipOpenMode::Create);
        if (iWay >= 2) {
            EXPECT_EQ(zip.AddFilesAs(m_sources, iLevel, 65535, iWay - 1, 4096), m_sources.size());
        }
        for (const SZipSource& source : iWay < 2 ? m_sources : std::vector<SZipSource>{}) {
            if (iWay == 0) {
                EXPECT_EQ(symlink(source.strPath.c_str(), Path(source.strName).c_str()), 0);
                EXPECT_TRUE(zip.AddFile(Path(source.strName), iLevel, false));
                continue;
            }
            CZipEntryHeader header;
            header.SetFileName(source.strName);
            EXPECT_TRUE(zip.OpenEntryForWriting(header, iLevel, source.strPath));
            const std::string strData = ReadWholeFile(source.strPath);
            for (size_t n = 0; n < strData.size(); n += 1000)
                zip.WriteEntryData(strData.data() + n, static_cast<uint32_t>(std::min<size_t>(
                                                           1000, strData.size() - n)));
            EXPECT_TRUE(zip.CloseEntryForWriting());
        }
        zip.Close();
        for (const SZipSource& source : m_sources)
            unlink(Path(source.strName).c_str());
        return ReadWholeFile(Path("out.zip"));
    }
    std::vector<std::pair<std::string, std::string>> m_data;
    std::vector<SZipSource> m_sources;
};

TEST_F(ZipWhole, EveryWayOfAddingWritesTheSameBytesWhateverTheThreads) {
    for (int iLevel : {-1, 9}) {
        SCOPED_TRACE(iLevel);
        const std::string expected = Pack(0, iLevel);
        for (int iWay : {1, 2, 3, 5})
            EXPECT_EQ(Pack(iWay, iLevel), expected) << "way " << iWay;
    }
}

TEST_F(ZipWhole, DataUpToTheLimitIsLibdeflatesAndTheRestZlibs) {
    const std::string bytes = Pack(3, -1);
    const std::map<std::string, bool> viaLibdeflate = {
        {"below", true},
        {"at", true},
        {"above", false},
        {"big", false},
        {"noise_at", false},  // libdeflate's output would pass the limit:
                              // zlib's instead
        {"noise_below", true},
        {"empty", false}};  // zlib's two bytes
    CZipArchiver zip;
    zip.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
    ASSERT_EQ(zip.EntryCount(), static_cast<int>(m_data.size()));
    for (size_t i = 0; i < m_data.size(); ++i) {
        const auto& [strName, strData] = m_data[i];
        SCOPED_TRACE(strName);
        CZipEntryHeader header;
        ASSERT_TRUE(zip.GetFileInfo(static_cast<uint16_t>(i), header));
        EXPECT_EQ(header.m_uFlag & 6, 0);
        EXPECT_EQ(EntryData(bytes, header),
                  viaLibdeflate.at(strName) ? Libdeflate(strData) : RawDeflate(strData));
    }
    zip.Close();
    EXPECT_EQ(RunShell("unzip -tqq " + Path("out.zip")), 0);
    EXPECT_EQ(RunShell("python3 -c \"import zipfile,sys; "
                       "sys.exit(zipfile.ZipFile('" +
                       Path("out.zip") + "').testzip() is not None)\""),
              0);
}

TEST_F(ZipWhole, SourceLongerThanItsSizeSaysIsReadToItsEnd) {
    // /proc files say size 0; this one's contents stay the same while the process lives.
    const std::string strContent = ReadWholeFile("/proc/self/cmdline");
    ASSERT_GT(strContent.size(), 16u);
    for (size_t nLimit : {size_t{8}, kLimit}) {
        CZipArchiver zip;
        zip.SetWholeLimit(nLimit);
        zip.Open(Path("proc.zip"), ZipOpenMode::Create);
        ASSERT_EQ(zip.AddFilesAs({{"/proc/self/cmdline", "cmdline"}}, -1, 65535, 2), 1u);
        zip.Close();
        zip.Open(Path("proc.zip"), ZipOpenMode::ReadOnly);
        CZipEntryHeader header;
        ASSERT_TRUE(zip.GetFileInfo(0, header));
        EXPECT_EQ(header.m_uUncomprSize, strContent.size());
        // Past the limit while it was read: streamed through zlib from what was read so far.
        EXPECT_EQ(EntryData(ReadWholeFile(Path("proc.zip")), header),
                  nLimit < strContent.size() ? RawDeflate(strContent) : Libdeflate(strContent));
    }
}

// What extracting an archive gives: the entries done, or minus the cause thrown.
using Extractor = std::function<int(CZipArchiver&, const std::string&)>;
int Outcome(const std::string& strArchive, const std::string& strOut, const Extractor& extract) {
    CZipArchiver zip;
    zip.SetWholeLimit(kLimit);
    try {
        zip.Open(strArchive, ZipOpenMode::ReadOnly);
        return extract(zip, strOut);
    } catch (const CZipException& e) {
        return -e.m_iCause;
    } catch (const CFileException&) {
        return -100;
    }
}

int Loop(CZipArchiver& zip, const std::string& strOut) {
    int i = 0;
    while (i < zip.EntryCount() && zip.ExtractEntry(static_cast<uint16_t>(i), strOut))
        ++i;
    return i;
}

int All(CZipArchiver& zip, const std::string& strOut) {
    return static_cast<int>(zip.ExtractAll(strOut, 3));
}

TEST_F(ZipWhole, ExtractAllGivesWhatTheLoopGives) {
    RawEntry stored = StoredEntry("s/noise_above", Noise(kLimit + 1, 5));
    RawEntry viaLib = DeflatedEntry("l/at", "");
    viaLib.strData = Libdeflate(m_data[1].second);
    viaLib.uCrc = Crc(m_data[1].second);
    viaLib.uComprSize = static_cast<uint32_t>(viaLib.strData.size());
    viaLib.uUncomprSize = static_cast<uint32_t>(kLimit);
    // A stream longer than its declared size: libdeflate declines it, zlib refuses it at the
    // size.
    RawEntry longer = DeflatedEntry("cut.txt", "0123456789");
    longer.uUncomprSize = 4;
    longer.uCrc = Crc("0123");
    RawEntry badCrc = DeflatedEntry("bad.txt", "payload");
    badCrc.uCrc ^= 1;
    RawEntry corrupt = DeflatedEntry("corrupt.txt", Text(500));
    corrupt.strData[0] = '\xFF';
    RawEntry folder = StoredEntry("d/", "");
    std::vector<RawEntry> good;
    for (const auto& [strName, strData] : m_data)
        good.push_back(DeflatedEntry("z/" + strName, strData));
    good.insert(good.end(), {stored, viaLib, folder, StoredEntry("d/in.txt", "in")});
    const std::vector<std::pair<std::string, std::vector<RawEntry>>> cases = {
        {"good", good},
        {"same target twice", {StoredEntry("a.txt", "1"), StoredEntry("./a.txt", "2")}},
        {"file where a folder goes", {StoredEntry("x", "1"), StoredEntry("x/y", "2")}},
        {"bad crc", {good[0], good[1], badCrc, good[2], good[3]}},
        {"corrupt", {good[0], corrupt, good[1]}},
        {"longer than declared", {good[0], good[1], longer, good[2]}},
        {"unsafe name last", {good[0], good[1], StoredEntry("../out.txt", "!")}},
    };
    for (const auto& [strCase, entries] : cases) {
        SCOPED_TRACE(strCase);
        const std::string strArchive = Path(strCase + ".zip");
        WriteWholeFile(strArchive, BuildArchive(entries));
        const int iLoop = Outcome(strArchive, Path("loop/" + strCase), Loop);
        EXPECT_EQ(Outcome(strArchive, Path("all/" + strCase), All), iLoop);
        if (iLoop == static_cast<int>(entries.size())) {
            EXPECT_EQ(RunShell("diff -r '" + Path("loop/" + strCase) + "' '" +
                               Path("all/" + strCase) + "'"),
                      0);
        }
    }
    EXPECT_EQ(ReadWholeFile(Path("all/good/z/big")), m_data[3].second);
    EXPECT_EQ(ReadWholeFile(Path("all/same target twice/a.txt")), "2");
    // Every name is judged first: nothing of an archive with an unsafe entry is written.
    EXPECT_EQ(PathKind(Path("all/unsafe name last")), 0);
    EXPECT_EQ(PathKind(Path("out.txt")), 0);
}

TEST_F(ZipWhole, ExtractAllHandlesEveryTestDataFileAsTheLoopDoes) {
    const std::string strFolder = std::string(ZAV_SOURCE_DIR) + "/tests/zip/data/";
    for (const char* szName :
         {"mixed-entries.zip", "data-descriptor-with-signature.zip", "dotdot-entry.zip",
          "stored-size-mismatch.zip", "overlapping-local-headers.zip", "overlapping-data.zip"}) {
        SCOPED_TRACE(szName);
        EXPECT_EQ(Outcome(strFolder + szName, Path("all"), All),
                  Outcome(strFolder + szName, Path("loop"), Loop));
    }
}

// Every path under strRoot, relative, folders with a final '/'.
std::set<std::string> TreeOf(const std::string& strRoot) {
    namespace fs = std::filesystem;
    std::set<std::string> paths;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(strRoot, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string strPath = fs::relative(it->path(), strRoot).generic_string();
        paths.insert(it->is_directory() ? strPath + "/" : strPath);
    }
    return paths;
}

// A failing entry in the middle of an archive: whatever the threads, the destination ends with
// the entries before it and nothing of it or of those after it, and files it or they would
// have replaced are untouched.
TEST_F(ZipWhole, ExtractAllLeavesOnlyTheEntriesBeforeAFailure) {
    std::vector<RawEntry> entries;
    for (int i = 0; i < 30; ++i)
        entries.push_back(
            DeflatedEntry("early/" + std::to_string(i % 4) + "/" + std::to_string(i) + ".txt",
                          Text(static_cast<size_t>(100 + 997 * i))));
    entries.push_back(StoredEntry("early/folder/", ""));
    entries.push_back(DeflatedEntry("replaced.txt", "replaced in its turn"));
    const size_t nBad = entries.size();
    entries.push_back(DeflatedEntry("existing.txt", "never written"));
    for (int i = 0; i < 30; ++i)
        entries.push_back(DeflatedEntry("late/deep/" + std::to_string(i) + ".bin",
                                        Noise(static_cast<size_t>(50 + 3001 * i), 9)));
    entries.push_back(StoredEntry("late-folder/", ""));
    entries.push_back(DeflatedEntry("early/0/late.txt", "late"));
    entries.push_back(DeflatedEntry("kept.txt", "never written"));
    std::vector<std::pair<std::string, RawEntry>> faults;
    RawEntry crc = entries[nBad];
    crc.uCrc ^= 1;
    faults.emplace_back("crc", crc);
    RawEntry corrupt = entries[nBad];
    corrupt.strData[0] = '\xFF';
    faults.emplace_back("corrupt", corrupt);
    RawEntry shortData = StoredEntry("existing.txt", "short");
    shortData.bAutoSizes = false;
    shortData.uComprSize = 5;
    shortData.uUncomprSize = 50;
    faults.emplace_back("short", shortData);

    // The paths of the entries before nBad, and their folders, added to paths.
    auto WithEntriesBefore = [&](std::set<std::string> paths) {
        for (size_t i = 0; i < nBad; ++i) {
            const std::string& strPath = entries[i].strName;
            for (size_t n = strPath.find('/'); n != std::string::npos; n = strPath.find('/', n + 1))
                paths.insert(strPath.substr(0, n + 1));
            paths.insert(strPath);
        }
        return paths;
    };
    for (const auto& [strFault, bad] : faults) {
        std::vector<RawEntry> archive = entries;
        archive[nBad] = bad;
        const std::string strArchive = Path(strFault + ".zip");
        WriteWholeFile(strArchive, BuildArchive(archive));
        for (unsigned nThreads : {1u, 2u, 3u}) {
            for (size_t nWholeLimit : {kLimit, size_t{1000}}) {
                SCOPED_TRACE(strFault + ", " + std::to_string(nThreads) + " threads, limit " +
                             std::to_string(nWholeLimit));
                const std::string strOut = Path("out");
                std::filesystem::remove_all(strOut);
                MakeFile("out/existing.txt", "old");
                MakeFile("out/kept.txt", "old");
                MakeFile("out/replaced.txt", "old");
                MakeFile("out/early/0/mine.txt", "mine");
                CZipArchiver zip;
                zip.SetWholeLimit(nWholeLimit);
                zip.Open(strArchive, ZipOpenMode::ReadOnly);
                size_t nDone = 0;
                try {
                    nDone = zip.ExtractAll(strOut, nThreads, 4096);
                } catch (const CZipException&) {
                    nDone = nBad;
                }
                EXPECT_EQ(nDone, nBad);
                EXPECT_EQ(TreeOf(strOut), WithEntriesBefore({"existing.txt", "kept.txt",
                                                             "replaced.txt", "early/0/mine.txt"}));
                EXPECT_EQ(ReadWholeFile(strOut + "/existing.txt"), "old");
                EXPECT_EQ(ReadWholeFile(strOut + "/kept.txt"), "old");
                EXPECT_EQ(ReadWholeFile(strOut + "/replaced.txt"), "replaced in its turn");
                EXPECT_EQ(ReadWholeFile(strOut + "/early/1/29.txt"), Text(100 + 997 * 29));
            }
        }
    }
    // The system can fail an entry in its turn too: a folder where its file goes.
    WriteWholeFile(Path("good.zip"), BuildArchive(entries));
    for (unsigned nThreads : {1u, 3u}) {
        SCOPED_TRACE(nThreads);
        const std::string strOut = Path("out");
        std::filesystem::remove_all(strOut);
        MakeFile("out/existing.txt/inner.txt", "mine");
        CZipArchiver zip;
        zip.Open(Path("good.zip"), ZipOpenMode::ReadOnly);
        EXPECT_THROW(zip.ExtractAll(strOut, nThreads, 4096), CFileException);
        EXPECT_EQ(TreeOf(strOut), WithEntriesBefore({"existing.txt/", "existing.txt/inner.txt"}));
    }
}

TEST_F(ZipWhole, ExtractAllIntoAFolderItMadeTakesTheFolderBackWhenTheFirstEntryFails) {
    RawEntry bad = DeflatedEntry("a/b/first.txt", "first");
    bad.uCrc ^= 1;
    WriteWholeFile(Path("first.zip"),
                   BuildArchive({bad, DeflatedEntry("a/c/second.txt", Text(5000))}));
    for (unsigned nThreads : {1u, 2u}) {
        CZipArchiver zip;
        zip.Open(Path("first.zip"), ZipOpenMode::ReadOnly);
        EXPECT_THROW(zip.ExtractAll(Path("new/dest"), nThreads), CZipException);
        EXPECT_EQ(PathKind(Path("new")), 0) << nThreads;
    }
}

}  // namespace
