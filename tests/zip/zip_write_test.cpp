// Archives as written: the record layout byte for byte, flags, methods, names and limits.
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <filesystem>

#include "zip/zip_archiver.h"
#include "zip/zip_bytes.h"
#include "zip/zip_names.h"
#include "zip/zip_test_util.h"

namespace {

class ZipWrite : public ZipSandbox {
protected:
    // Packs the files (paths relative to the sandbox) and returns the archive's bytes.
    std::string Pack(const std::vector<std::string>& files, int iLevel = -1, bool bKeep = true) {
        std::string strArchive = Path("out.zip");
        EXPECT_EQ(chdir(m_strRoot.c_str()), 0);
        CZipArchiver zip;
        zip.Open(strArchive, ZipOpenMode::Create);
        for (const auto& f : files)
            EXPECT_TRUE(zip.AddFile(f, iLevel, bKeep, 65535)) << f;
        zip.Close();
        return ReadWholeFile(strArchive);
    }
};

TEST_F(ZipWrite, EmptyArchiveIsTheEndRecordAlone) {
    std::string bytes = Pack({});
    ASSERT_EQ(bytes.size(), 22u);
    EXPECT_EQ(U32At(bytes, 0), 0x06054b50u);
    for (size_t i = 4; i < 22; ++i)
        EXPECT_EQ(bytes[i], 0) << i;
}

TEST_F(ZipWrite, EmptyFileBecomesDeflatedEntryOfTwoBytesWithExactLayout) {
    MakeFile("WTF/empty.txt", "");
    ASSERT_EQ(chdir(m_strRoot.c_str()), 0);
    CZipArchiver zip;
    zip.Open("out.zip", ZipOpenMode::Create);
    ASSERT_TRUE(zip.AddFile("WTF/empty.txt", -1, true, 65535));
    zip.Close();
    std::string b = ReadWholeFile("out.zip");
    const std::string name = "WTF/empty.txt";
    const size_t nLocal = 30 + name.size(), nData = 2, nCentral = 46 + name.size();
    ASSERT_EQ(b.size(), nLocal + nData + nCentral + 22);
    // Local header.
    EXPECT_EQ(U32At(b, 0), 0x04034b50u);
    EXPECT_EQ(U16At(b, 4), 20);
    EXPECT_EQ(U16At(b, 6), 0);
    EXPECT_EQ(U16At(b, 8), 8);
    EXPECT_EQ(U32At(b, 14), 0u);
    EXPECT_EQ(U32At(b, 18), 2u);
    EXPECT_EQ(U32At(b, 22), 0u);
    EXPECT_EQ(U16At(b, 26), name.size());
    EXPECT_EQ(U16At(b, 28), 0);
    EXPECT_EQ(b.substr(30, name.size()), name);
    EXPECT_EQ(b.substr(nLocal, 2), std::string("\x03\x00", 2));
    // Central header.
    const size_t c = nLocal + nData;
    EXPECT_EQ(U32At(b, c), 0x02014b50u);
    EXPECT_EQ(U16At(b, c + 4), 20);
    EXPECT_EQ(U16At(b, c + 6), 20);
    EXPECT_EQ(U16At(b, c + 8), 0);
    EXPECT_EQ(U16At(b, c + 10), 8);
    EXPECT_EQ(U16At(b, c + 12), U16At(b, 10));
    EXPECT_EQ(U16At(b, c + 14), U16At(b, 12));
    EXPECT_EQ(U32At(b, c + 20), 2u);
    EXPECT_EQ(U16At(b, c + 28), name.size());
    EXPECT_EQ(U16At(b, c + 30), 0);
    EXPECT_EQ(U16At(b, c + 32), 0);
    EXPECT_EQ(U16At(b, c + 34), 0);
    EXPECT_EQ(U16At(b, c + 36), 0);
    EXPECT_EQ(U32At(b, c + 38), 0x20u);
    EXPECT_EQ(U32At(b, c + 42), 0u);
    // End record.
    const size_t e = c + nCentral;
    EXPECT_EQ(U32At(b, e), 0x06054b50u);
    EXPECT_EQ(U16At(b, e + 8), 1);
    EXPECT_EQ(U16At(b, e + 10), 1);
    EXPECT_EQ(U32At(b, e + 12), nCentral);
    EXPECT_EQ(U32At(b, e + 16), c);
    EXPECT_EQ(U16At(b, e + 20), 0);
}

TEST_F(ZipWrite, FlagsFollowTheLevelAndLevelZeroStoresTheBytesUnchanged) {
    const std::string data = "Interface data, Interface data, Interface data\n";
    MakeFile("a.txt", data);
    const std::pair<int, uint16_t> cases[] = {{-1, 0}, {1, 6}, {2, 4}, {3, 0}, {6, 0},
                                              {7, 0},  {8, 2}, {9, 2}, {0, 0}};
    for (auto [iLevel, uFlags] : cases) {
        std::string b = Pack({"a.txt"}, iLevel);
        SCOPED_TRACE(iLevel);
        EXPECT_EQ(U16At(b, 6), uFlags);
        EXPECT_EQ(U16At(b, 8), iLevel == 0 ? 0 : 8);
        EXPECT_EQ(U32At(b, 14), Crc(data));
        EXPECT_EQ(U32At(b, 22), data.size());
        if (iLevel == 0) {
            EXPECT_EQ(U32At(b, 18), data.size());
            const size_t nNameLen = U16At(b, 26);
            EXPECT_EQ(b.substr(30 + nNameLen, data.size()), data);
        }
    }
}

TEST_F(ZipWrite, StoredNameKeepsOrDropsTheFolders) {
    EXPECT_EQ(StoredName("Cache/WDB/koKR/x.wdb", true), "Cache/WDB/koKR/x.wdb");
    EXPECT_EQ(StoredName("Cache/WDB/koKR/x.wdb", false), "x.wdb");
    // On Windows '\\' is a separator, and archives take '/' for it.
#ifdef _WIN32
    EXPECT_EQ(StoredName("C:\\Games\\WTF\\Config.wtf", true), "Games/WTF/Config.wtf");
#else
    EXPECT_EQ(StoredName("C:\\Games\\WTF\\Config.wtf", true), "Games\\WTF\\Config.wtf");
#endif
    EXPECT_EQ(StoredName("//abs/file", true), "abs/file");
    EXPECT_EQ(StoredName("WTF/", true), "WTF/");
    EXPECT_EQ(StoredName("WTF/", false), "");
}

TEST_F(ZipWrite, RefusalsLeaveTheArchiveUnchanged) {
    MakeFile("a.txt", "x");
    std::filesystem::create_directory(Path("folder"));
    CZipArchiver zip;
    EXPECT_FALSE(zip.AddFile(Path("a.txt")));  // nothing open
    zip.Open(Path("out.zip"), ZipOpenMode::Create);
    EXPECT_FALSE(zip.AddFile(Path("a.txt"), -1, true, 0));
    EXPECT_FALSE(zip.AddFile(Path("folder") + "/"));
    EXPECT_FALSE(zip.AddFile(Path("folder")));
    EXPECT_FALSE(zip.AddFile(Path("missing.txt")));
    EXPECT_EQ(zip.EntryCount(), 0);
    zip.Close();
    EXPECT_EQ(ReadWholeFile(Path("out.zip")).size(), 22u);
}

// The writer and the reader each answer only their own calls: an archive being created refuses
// the reading calls, one opened read-only the writing calls, with the face's own results.
TEST_F(ZipWrite, EachSideRefusesTheOthersCalls) {
    MakeFile("a.txt", "alpha");
    CZipArchiver writer;
    writer.Open(Path("out.zip"), ZipOpenMode::Create);
    ASSERT_TRUE(writer.AddFile(Path("a.txt"), -1, false));
    char buffer[8] = {};
    EXPECT_FALSE(writer.OpenEntryForReading(0));
    EXPECT_EQ(writer.ReadEntryData(buffer, sizeof buffer), 0u);
    EXPECT_EQ(writer.CloseEntryForReading(), 0);
    EXPECT_FALSE(writer.ExtractEntry(0, Path("x")));
    EXPECT_EQ(writer.ExtractAll(Path("x")), 0u);
    EXPECT_FALSE(writer.TestEntry(0));
    writer.Close();

    CZipArchiver reader;
    reader.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
    CZipEntryHeader header;
    header.SetFileName("b.txt");
    EXPECT_FALSE(reader.AddFile(Path("a.txt")));
    EXPECT_EQ(reader.AddFiles({Path("a.txt")}), 0u);
    EXPECT_FALSE(reader.OpenEntryForWriting(header, -1, Path("a.txt")));
    EXPECT_FALSE(reader.WriteEntryData("x", 1));
    EXPECT_FALSE(reader.CloseEntryForWriting());
    EXPECT_EQ(reader.GetEntryState(), CZipArchiver::kNone);
    reader.Close();
    EXPECT_FALSE(std::filesystem::exists(Path("x")));
    CZipArchiver check;
    check.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
    ASSERT_EQ(check.EntryCount(), 1);
    ASSERT_TRUE(check.ExtractEntry(0, Path("y")));
    EXPECT_EQ(ReadWholeFile(Path("y/a.txt")), "alpha");
}

// Headers are written through a cursor that refuses to write past the room made for them.
TEST(ZipWriteCursor, WritingPastItsRangeThrowsAndLeavesTheBytesAfterIt) {
    uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0xEE, 0xEE};
    const std::string strArchive = "out.zip";
    CZipWriteCursor cursor(bytes, 6, strArchive);
    cursor.U32(0x04034b50);
    EXPECT_FALSE(cursor.Full());
    cursor.U16(0x0814);
    EXPECT_TRUE(cursor.Full());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 6),
              std::string("PK\x03\x04\x14\x08", 6));
    try {
        cursor.U16(1);
        ADD_FAILURE() << "no exception";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.m_iCause, CZipException::Generic);
    }
    EXPECT_THROW(cursor.Bytes("x", 1), CZipException);
    EXPECT_EQ(bytes[6], 0xEE);
    EXPECT_EQ(bytes[7], 0xEE);
}

TEST_F(ZipWrite, SecondOpenOnAnOpenArchiveChangesNothing) {
    MakeFile("a.txt", "x");
    CZipArchiver zip;
    zip.Open(Path("one.zip"), ZipOpenMode::Create);
    ASSERT_TRUE(zip.AddFile(Path("a.txt")));
    zip.Open(Path("two.zip"), ZipOpenMode::Create);
    EXPECT_EQ(zip.GetArchivePath(), Path("one.zip"));
    EXPECT_EQ(zip.EntryCount(), 1);
    zip.Close();
    EXPECT_EQ(PathKind(Path("two.zip")), 0);
}

TEST_F(ZipWrite, The65536thFileIsRefused) {
    MakeFile("a", "");
    CZipArchiver zip;
    zip.Open(Path("many.zip"), ZipOpenMode::Create);
    for (int i = 0; i < 65535; ++i)
        ASSERT_TRUE(zip.AddFile(Path("a"), 0, false, 65535)) << i;
    EXPECT_FALSE(zip.AddFile(Path("a"), 0, false, 65535));
    zip.Close();
    CZipArchiver reader;
    reader.Open(Path("many.zip"), ZipOpenMode::ReadOnly);
    EXPECT_EQ(reader.EntryCount(), 65535);
}

TEST_F(ZipWrite, EntryLeftOpenIsFinishedEmptyByClose) {
    // A source that cannot be read after its entry was opened: Close still writes a valid
    // directory in which that entry is empty.
    std::string strFile = MakeFile("gone.txt", "data that never arrives");
    CZipArchiver zip;
    zip.Open(Path("out.zip"), ZipOpenMode::Create);
    CZipEntryHeader header;
    header.SetFileName("gone.txt");
    ASSERT_TRUE(zip.OpenEntryForWriting(header, -1, strFile));
    EXPECT_FALSE(zip.AddFile(strFile));  // an entry is open
    zip.Close();
    CZipArchiver reader;
    reader.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
    ASSERT_EQ(reader.EntryCount(), 1);
    CZipEntryHeader h;
    reader.GetFileInfo(0, h);
    EXPECT_EQ(h.m_uCrc32, 0u);
    EXPECT_EQ(h.m_uUncomprSize, 0u);
    EXPECT_TRUE(reader.TestArchive());
}

TEST_F(ZipWrite, DestroyingWithoutCloseLeavesNoDirectory) {
    MakeFile("a.txt", "abc");
    {
        CZipArchiver zip;
        zip.Open(Path("out.zip"), ZipOpenMode::Create);
        ASSERT_TRUE(zip.AddFile(Path("a.txt")));
    }
    std::string b = ReadWholeFile(Path("out.zip"));
    EXPECT_EQ(b.find("PK\x01\x02"), std::string::npos);
    EXPECT_EQ(b.find("PK\x05\x06"), std::string::npos);
    CZipArchiver reader;
    try {
        reader.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
        ADD_FAILURE() << "opened an archive without directory";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.m_iCause, CZipException::EndRecordNotFound);
    }
}

TEST_F(ZipWrite, DosTimeAndDateFollowLocalTime) {
    uint16_t uDate = 0, uTime = 0;
    struct tm parts {};
    parts.tm_year = 2023 - 1900, parts.tm_mon = 11, parts.tm_mday = 31;
    parts.tm_hour = 23, parts.tm_min = 59, parts.tm_sec = 59, parts.tm_isdst = -1;
    DosDateTimeFromTime(mktime(&parts), uDate, uTime);
    EXPECT_EQ(uTime, 0xBF7D);
    EXPECT_EQ(uDate, (2023 - 1980) * 512 + 12 * 32 + 31);
    parts.tm_year = 1979 - 1900, parts.tm_mon = 5, parts.tm_mday = 15;
    DosDateTimeFromTime(mktime(&parts), uDate, uTime);
    EXPECT_EQ(uDate >> 9, 0);
    EXPECT_EQ(uDate & 0x1FF, 6 * 32 + 15);
    // The file's own time lands in the entry.
    std::string strFile = MakeFile("t.txt", "t");
    struct utimbuf times {};
    parts.tm_year = 2020 - 1900, parts.tm_mon = 0, parts.tm_mday = 2;
    parts.tm_hour = 3, parts.tm_min = 4, parts.tm_sec = 6;
    times.modtime = times.actime = mktime(&parts);
    utime(strFile.c_str(), &times);
    std::string b = Pack({"t.txt"});
    EXPECT_EQ(U16At(b, 10), 3 * 2048 + 4 * 32 + 3);
    EXPECT_EQ(U16At(b, 12), 40 * 512 + 1 * 32 + 2);
}

TEST_F(ZipWrite, ReadOnlySourceGetsTheReadOnlyBit) {
    std::string strFile = MakeFile("ro.txt", "r");
    chmod(strFile.c_str(), 0444);
    std::string b = Pack({"ro.txt"});
    const size_t c = 30 + U16At(b, 26) + U32At(b, 18);
    EXPECT_EQ(U32At(b, c + 38), 0x21u);
}

// The names in an archive's bytes: every local header's, in file order, then every central
// header's.
std::vector<std::string> RawNames(const std::string& b) {
    std::vector<std::string> names;
    for (size_t p = 0; U32At(b, p) == 0x04034b50u;
         p += 30 + U16At(b, p + 26) + U16At(b, p + 28) + U32At(b, p + 18))
        names.push_back(b.substr(p + 30, U16At(b, p + 26)));
    for (size_t p = U32At(b, b.size() - 22 + 16); U32At(b, p) == 0x02014b50u;
         p += 46 + U16At(b, p + 28) + U16At(b, p + 30) + U16At(b, p + 32))
        names.push_back(b.substr(p + 46, U16At(b, p + 28)));
    return names;
}

TEST_F(ZipWrite, BackslashesInNamesAreStoredAsSlashesInBothHeaders) {
    // A path with '\' (folders on Windows, one file name on POSIX), a name given as the
    // backup's packer builds it on Windows, and one given to the step-by-step writer.
#ifdef _WIN32
    const std::string strSource = MakeFile("Fonts/a.ttf", "font");
#else
    const std::string strSource = MakeFile("Fonts\\a.ttf", "font");
#endif
    ASSERT_EQ(chdir(m_strRoot.c_str()), 0);
    CZipArchiver zip;
    zip.Open(Path("out.zip"), ZipOpenMode::Create);
    ASSERT_TRUE(zip.AddFile("Fonts\\a.ttf"));
    ASSERT_EQ(zip.AddFilesAs({{strSource, "WTF\\Account\\설정\\Macros.txt"}}, -1, 65535, 1), 1u);
    CZipEntryHeader header;
    header.SetFileName("Interface\\AddOns\\x.lua");
    ASSERT_TRUE(zip.OpenEntryForWriting(header, 0, strSource));
    ASSERT_TRUE(zip.WriteEntryData("font", 4));
    ASSERT_TRUE(zip.CloseEntryForWriting());
    zip.Close();
    const std::string strMacros = "WTF/Account/\xBC\xB3\xC1\xA4/Macros.txt";  // CP949
    EXPECT_EQ(RawNames(ReadWholeFile(Path("out.zip"))),
              (std::vector<std::string>{"Fonts/a.ttf", strMacros, "Interface/AddOns/x.lua",
                                        "Fonts/a.ttf", strMacros, "Interface/AddOns/x.lua"}));
}

TEST_F(ZipWrite, KoreanNamesAreStoredInCp949AndOthersInUtf8) {
    // "설정" in CP949 is BC B3 C1 A4.
    MakeFile("설정.txt", "k");
    std::string b = Pack({"설정.txt"});
    EXPECT_EQ(U16At(b, 6) & 0x0800, 0);
    EXPECT_EQ(b.substr(30, U16At(b, 26)), std::string("\xBC\xB3\xC1\xA4.txt"));
    // A Thai letter has no CP949 form: stored as UTF-8 with bit 11, in both headers.
    MakeFile("\xE0\xB8\x81.txt", "t");
    b = Pack({"\xE0\xB8\x81.txt"});
    EXPECT_EQ(U16At(b, 6) & 0x0800, 0x0800);
    EXPECT_EQ(b.substr(30, U16At(b, 26)), "\xE0\xB8\x81.txt");
    const size_t c = 30 + U16At(b, 26) + U32At(b, 18);
    EXPECT_EQ(U16At(b, c + 8) & 0x0800, 0x0800);
    // Both read back as the UTF-8 names they came from.
    CZipArchiver zip;
    zip.Open(Path("out.zip"), ZipOpenMode::ReadOnly);
    CZipEntryHeader h;
    zip.GetFileInfo(0, h);
    EXPECT_EQ(h.GetFileName(), "\xE0\xB8\x81.txt");
}

}  // namespace

namespace {

std::string Decode(const std::string& raw, bool bUtf8) {
    return DecodeStoredName(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), bUtf8);
}

TEST(ZipNames, StoredNamesDecodeByFlagThenByWhatTheBytesAre) {
    EXPECT_EQ(Decode("\xBC\xB3\xC1\xA4.txt", false), "설정.txt");
    EXPECT_EQ(Decode("설정.txt", true), "설정.txt");
    EXPECT_EQ(Decode("WTF\\Account\\a.txt", false), "WTF/Account/a.txt");
    // UTF-8 bytes written without bit 11 that are not CP949.
    EXPECT_EQ(Decode("캐릭터/설정.lua", false), "캐릭터/설정.lua");
    // Neither CP949 nor UTF-8: the bad byte becomes U+FFFD, the rest survives.
    EXPECT_EQ(Decode("a\xFF"
                     "b",
                     false),
              "a\xEF\xBF\xBD"
              "b");
    bool bUtf8 = true;
    EXPECT_EQ(EncodeStoredName("Interface/설정.lua", bUtf8), "Interface/\xBC\xB3\xC1\xA4.lua");
    EXPECT_FALSE(bUtf8);
    EXPECT_EQ(EncodeStoredName("\xE0\xB8\x81", bUtf8), "\xE0\xB8\x81");
    EXPECT_TRUE(bUtf8);
}

}  // namespace
