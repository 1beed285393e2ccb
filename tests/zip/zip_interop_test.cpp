// Interchange with the common tools: Info-ZIP zip/unzip and Python's zipfile, both ways, and
// the zavzip command line.
#include <sys/stat.h>
#include <unistd.h>

#include "zip/zip_archiver.h"
#include "zip/zip_test_util.h"

namespace {

class ZipInterop : public ZipSandbox {
protected:
    void SetUp() override {
        ZipSandbox::SetUp();
        ASSERT_EQ(chdir(m_strRoot.c_str()), 0);
        MakeFile("src/WTF/Account/Macros.txt", "/dance\n/wave\n");
        MakeFile("src/WTF/Config.wtf", std::string(200000, 'c') + "SET a \"b\"\n");
        MakeFile("src/WTF/empty.txt", "");
        MakeFile("src/Interface/AddOns/캐릭터/설정.lua", "local x = 1\n");
        std::string noise;
        uint32_t v = 12345;
        for (int i = 0; i < 300000; ++i) {
            v = v * 1103515245 + 12345;
            noise += static_cast<char>(v >> 24);
        }
        MakeFile("src/Fonts/font.ttf", noise);
    }
    std::string Zavzip(const std::string& strArgs) {
        return std::string(ZAVZIP_PATH) + " " + strArgs;
    }
};

TEST_F(ZipInterop, ArchivesWrittenHerePassUnzipAndPython) {
    ASSERT_EQ(chdir("src"), 0);
    ASSERT_EQ(RunShell(Zavzip("pack ../ours.zip WTF Interface Fonts")), 0);
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(RunShell("unzip -tqq ours.zip"), 0);
    EXPECT_EQ(RunShell("python3 -c \"import zipfile,sys; z=zipfile.ZipFile('ours.zip'); "
                       "sys.exit(z.testzip() is not None or len(z.namelist()) != 5)\""),
              0);
    // The Korean name is CP949 (bit 11 clear), which Python reads back through cp949.
    EXPECT_EQ(RunShell("python3 -c \"import zipfile,sys; z=zipfile.ZipFile('ours.zip'); "
                       "n=[i.filename.encode('cp437').decode('cp949') for i in z.infolist() "
                       "if i.flag_bits & 0x800 == 0 and i.filename.startswith('Interface')]; "
                       "sys.exit(n != ['Interface/AddOns/캐릭터/설정.lua'])\""),
              0);
    ASSERT_EQ(RunShell("unzip -qq -o ours.zip -d byunzip"), 0);
    EXPECT_EQ(ReadWholeFile("byunzip/WTF/Config.wtf"), ReadWholeFile("src/WTF/Config.wtf"));
    EXPECT_EQ(ReadWholeFile("byunzip/Fonts/font.ttf"), ReadWholeFile("src/Fonts/font.ttf"));
}

TEST_F(ZipInterop, ArchivesOfInfoZipAndPythonExtractHere) {
    ASSERT_EQ(RunShell("cd src && zip -qr -6 ../infozip.zip WTF Interface Fonts"), 0);
    // Streamed: Info-ZIP then writes data descriptors.
    ASSERT_EQ(RunShell("cd src && zip -qr - WTF > ../streamed.zip"), 0);
    ASSERT_EQ(
        RunShell(
            "python3 -c \"import zipfile; z=zipfile.ZipFile('py.zip','w',zipfile.ZIP_DEFLATED); "
            "z.write('src/WTF/Config.wtf','WTF/Config.wtf'); "
            "z.writestr('한글/파일.txt', '내용'); z.writestr('s.txt', 'st', zipfile.ZIP_STORED); "
            "z.close()\""),
        0);
    for (const char* szArchive : {"infozip.zip", "streamed.zip", "py.zip"}) {
        SCOPED_TRACE(szArchive);
        CZipArchiver zip;
        zip.Open(szArchive, ZipOpenMode::ReadOnly);
        EXPECT_TRUE(zip.TestArchive());
        for (int i = 0; i < zip.EntryCount(); ++i)
            ASSERT_TRUE(zip.ExtractEntry(static_cast<uint16_t>(i), std::string("x-") + szArchive));
        zip.Close();
        EXPECT_EQ(ReadWholeFile(std::string("x-") + szArchive + "/WTF/Config.wtf"),
                  ReadWholeFile("src/WTF/Config.wtf"));
    }
    EXPECT_EQ(ReadWholeFile("x-infozip.zip/Fonts/font.ttf"), ReadWholeFile("src/Fonts/font.ttf"));
    // Info-ZIP on Unix stores the UTF-8 bytes without bit 11; they are not CP949, so they are
    // read as UTF-8.
    EXPECT_EQ(ReadWholeFile("x-infozip.zip/Interface/AddOns/캐릭터/설정.lua"), "local x = 1\n");
    // Python marks its UTF-8 names with bit 11.
    EXPECT_EQ(ReadWholeFile("x-py.zip/한글/파일.txt"), "내용");
    EXPECT_EQ(ReadWholeFile("x-py.zip/s.txt"), "st");
}

TEST_F(ZipInterop, ZavzipListsAndExtractsWithItsExitCodes) {
    ASSERT_EQ(chdir("src"), 0);
    ASSERT_EQ(RunShell(Zavzip("pack ../ours.zip WTF Interface")), 0);
    ASSERT_EQ(chdir(".."), 0);
    ASSERT_EQ(RunShell(Zavzip("list ours.zip > list.txt")), 0);
    std::string list = ReadWholeFile("list.txt");
    EXPECT_NE(list.find("\t8\t0\t"), std::string::npos);
    EXPECT_NE(list.find("\t00000020\tWTF/Account/Macros.txt\n"), std::string::npos);
    EXPECT_NE(list.find("\t00000000\t2\t0\t00000020\tWTF/empty.txt\n"), std::string::npos);
    EXPECT_EQ(RunShell(Zavzip("extract -j 2 ours.zip dest")), 0);
    // The thread count changes nothing in the archive.
    ASSERT_EQ(chdir("src"), 0);
    ASSERT_EQ(RunShell(Zavzip("pack -j 1 ../one.zip WTF Interface")), 0);
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_EQ(ReadWholeFile("one.zip"), ReadWholeFile("ours.zip"));
    EXPECT_EQ(RunShell(Zavzip("pack -j 0 zero.zip src 2> /dev/null")), 2);
    EXPECT_EQ(ReadWholeFile("dest/WTF/Account/Macros.txt"), "/dance\n/wave\n");
    // Korean names make the round trip through their CP949 form.
    EXPECT_NE(list.find("\tInterface/AddOns/캐릭터/설정.lua\n"), std::string::npos);
    EXPECT_EQ(ReadWholeFile("dest/Interface/AddOns/캐릭터/설정.lua"), "local x = 1\n");

    WriteWholeFile("slip.zip",
                   BuildArchive({StoredEntry("ok.txt", "1"), StoredEntry("../bad.txt", "2")}));
    EXPECT_EQ(RunShell(Zavzip("extract slip.zip dest2 2> err.txt")), 1);
    EXPECT_EQ(ReadWholeFile("err.txt"), "stopped at entry 1\n");
    EXPECT_EQ(PathKind("bad.txt"), 0);

    // A small archive whose 200 entries all name one local header (200 MB from 1 KB) is
    // refused as it is opened, before anything is written.
    ASSERT_EQ(
        RunShell("python3 -c \"import struct, zlib; "
                 "c = zlib.compressobj(6, zlib.DEFLATED, -15); "
                 "d = c.compress(bytes(1 << 20)) + c.flush(); k = zlib.crc32(bytes(1 << 20)); "
                 "h = struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, 8, 0, 33, k, len(d), "
                 "1 << 20, 8, 0) + b'bomb.bin' + d; "
                 "e = b''.join(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, 0, 8, "
                 "0, 33, k, len(d), 1 << 20, 8, 0, 0, 0, 0, 32, 0) + b'bomb%04d' % i "
                 "for i in range(200)); "
                 "open('bomb.zip', 'wb').write(h + e + struct.pack('<IHHHHIIH', "
                 "0x06054b50, 0, 0, 200, 200, len(e), len(h), 0))\""),
        0);
    EXPECT_EQ(RunShell(Zavzip("extract bomb.zip bombed 2> err.txt")), 3);
    EXPECT_EQ(ReadWholeFile("err.txt"), "zavzip: CZipException cause 10\n");
    EXPECT_EQ(PathKind("bombed"), 0);

    WriteWholeFile("junk.zip", std::string(100, 'j'));
    EXPECT_EQ(RunShell(Zavzip("list junk.zip 2> err.txt")), 3);
    EXPECT_EQ(ReadWholeFile("err.txt"), "zavzip: CZipException cause 18\n");
    EXPECT_EQ(RunShell(Zavzip("list missing.zip 2> /dev/null")), 4);
    EXPECT_EQ(RunShell(Zavzip("bogus 2> /dev/null")), 2);
    EXPECT_EQ(RunShell(Zavzip("list 2> /dev/null")), 2);
}

}  // namespace
