// Extraction never writes outside its folder and never creates links, devices or set-id files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "zip/zip_archiver.h"
#include "zip/zip_test_util.h"

namespace {

class ZipSafety : public ZipSandbox {
protected:
    void SetUp() override {
        ZipSandbox::SetUp();
        m_strOut = Path("game/inner");
        ASSERT_TRUE(CreateFolderPath(m_strOut));
    }
    bool Extract(const std::vector<RawEntry>& entries, uint16_t uIndex = 0, bool bKeep = true) {
        std::string strArchive = Path("in.zip");
        WriteWholeFile(strArchive, BuildArchive(entries));
        CZipArchiver zip;
        zip.Open(strArchive, ZipOpenMode::ReadOnly);
        return zip.ExtractEntry(uIndex, m_strOut, bKeep);
    }
    std::string m_strOut;
};

TEST_F(ZipSafety, NamesThatClimbOutAreRefusedBeforeTouchingAnything) {
    // A read-only file outside the folder must keep its mode: the name is judged before the
    // target's attributes are reset.
    std::string strOutside = MakeFile("game/victim.txt", "keep");
    chmod(strOutside.c_str(), 0444);
    for (const char* szName : {"../victim.txt", "a/../../victim.txt", "..\\victim.txt",
                               "C:..\\victim.txt", "./../victim.txt", "..", "../"}) {
        SCOPED_TRACE(szName);
        EXPECT_FALSE(Extract({StoredEntry(szName, "evil")}));
        EXPECT_EQ(ReadWholeFile(strOutside), "keep");
        struct stat st {};
        ASSERT_EQ(stat(strOutside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0444u);
    }
    EXPECT_FALSE(IsSafeEntryName("x/../../y"));
    EXPECT_TRUE(IsSafeEntryName("x/../y"));
    EXPECT_TRUE(IsSafeEntryName("WTF/..hidden"));
    EXPECT_FALSE(IsSafeEntryName(std::string("a\0/../..", 8)));
}

// The names Windows cannot hold are refused by its rules and only by them; the build's own rules
// are Windows' on Windows.
TEST_F(ZipSafety, NamesWindowsCannotHoldAreRefusedByItsRules) {
    const char* const szFit[] = {"WTF/Config.wtf",
                                 "Interface/AddOns/설정.lua",
                                 ".hidden",
                                 "..hidden/x",
                                 "com10.txt",
                                 "CONSOLE",
                                 "NULL.lua",
                                 "xCON",
                                 "LPT",
                                 "COM0",
                                 "a\x7F-b",
                                 "C:/Games/x.txt",
                                 "a/./b",
                                 "Fonts/ a"};
    const char* const szUnfit[] = {"...",         "WTF/...",     "a.",
                                   "a/b./c",      "a ",          "folder /x",
                                   "CON",         "con",         "Con.txt",
                                   "WTF/AUX.lua", "prn.tar.gz",  "nul ",
                                   "NUL .txt",    "COM1",        "com9.log",
                                   "LPT1",        "lpt5.x",      "CONIN$",
                                   "conout$.txt", "COM\xC2\xB9", "LPT\xC2\xB3.txt",
                                   "a<b",         "a>b",         "x/C:y",
                                   "file:stream", "a./../b.txt", "a\"b",
                                   "a|b",         "a?b",         "a*b",
                                   "a\x01-b",     "a\x1F-b",     "tab\tname"};
    for (const char* szName : szFit) {
        SCOPED_TRACE(szName);
        EXPECT_TRUE(IsSafeEntryName(szName, true, ENameRules::Windows));
        EXPECT_TRUE(IsSafeEntryName(szName, true, ENameRules::Posix));
    }
    for (const char* szName : szUnfit) {
        SCOPED_TRACE(szName);
        EXPECT_FALSE(IsSafeEntryName(szName, true, ENameRules::Windows));
        EXPECT_TRUE(IsSafeEntryName(szName, true, ENameRules::Posix));
        EXPECT_EQ(IsSafeEntryName(szName), kNativeNameRules == ENameRules::Posix);
    }
    // Without the stored folders only the file name lands, and only it is judged.
    EXPECT_TRUE(IsSafeEntryName("CON/ok.txt", false, ENameRules::Windows));
    EXPECT_FALSE(IsSafeEntryName("ok/CON", false, ENameRules::Windows));
    EXPECT_FALSE(IsSafeEntryName("../x", true, ENameRules::Windows));

    // An archive holding one is refused before anything is written, by ExtractAll and by the
    // loop of ExtractEntry that the restore runs after its own check of every name.
    std::string strArchive = Path("names.zip");
    WriteWholeFile(strArchive,
                   BuildArchive({StoredEntry("ok.txt", "1"), StoredEntry("sub/aux.txt", "2")}));
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::ReadOnly);
    const bool bWindows = kNativeNameRules == ENameRules::Windows;
    EXPECT_EQ(zip.ExtractAll(m_strOut + "/all"), bWindows ? 1u : 2u);
    EXPECT_EQ(PathKind(m_strOut + "/all"), bWindows ? 0 : -1);
    EXPECT_TRUE(zip.ExtractEntry(0, m_strOut + "/one"));
    EXPECT_EQ(zip.ExtractEntry(1, m_strOut + "/one"), !bWindows);
    EXPECT_EQ(PathKind(m_strOut + "/one/sub"), bWindows ? 0 : -1);
}

TEST_F(ZipSafety, DrivesAndLeadingSeparatorsLandInsideTheFolder) {
    EXPECT_TRUE(Extract({StoredEntry("/abs.txt", "1")}));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/abs.txt"), "1");
    EXPECT_TRUE(Extract({StoredEntry("C:\\Games\\x.txt", "2")}));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/Games/x.txt"), "2");
    EXPECT_TRUE(Extract({StoredEntry("a/../inside.txt", "3")}));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/inside.txt"), "3");
    // keepPath false keeps only the last part, whatever came before it.
    EXPECT_TRUE(Extract({StoredEntry("../../flat.txt", "4")}, 0, false));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/flat.txt"), "4");
}

TEST_F(ZipSafety, UnixLinkEntryBecomesARegularFileHoldingTheLinkText) {
    RawEntry link = StoredEntry("link", "/etc/passwd");
    link.uVersionMadeBy = 0x0314;       // Unix host
    link.uExternal = (0120777u << 16);  // symbolic link
    ASSERT_TRUE(Extract({link}));
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(m_strOut + "/link")));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/link"), "/etc/passwd");
}

TEST_F(ZipSafety, SetIdAndStickyBitsAreDropped) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX modes: Windows keeps only the read-only flag";
#endif
    RawEntry e = StoredEntry("tool", "#!/bin/sh\n");
    e.uVersionMadeBy = 0x0314;
    e.uExternal = (0106755u << 16);
    ASSERT_TRUE(Extract({e}));
    struct stat st {};
    ASSERT_EQ(stat((m_strOut + "/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(ZipSafety, DeviceModeBecomesARegularFile) {
    RawEntry e = StoredEntry("dev", "");
    e.uVersionMadeBy = 0x0314;
    e.uExternal = (020666u << 16);  // character device
    ASSERT_TRUE(Extract({e}));
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(m_strOut + "/dev")));
}

TEST_F(ZipSafety, ExistingLinkAtTheTargetIsReplacedNotFollowed) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    std::string strOutside = MakeFile("game/outside.txt", "untouched");
    std::filesystem::create_symlink(strOutside, m_strOut + "/a.txt");
    ASSERT_TRUE(Extract({StoredEntry("a.txt", "new")}));
    EXPECT_EQ(ReadWholeFile(strOutside), "untouched");
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(m_strOut + "/a.txt")));
    EXPECT_EQ(ReadWholeFile(m_strOut + "/a.txt"), "new");
    // ExtractAll renames its file over the link in its turn.
    std::filesystem::remove(m_strOut + "/a.txt");
    std::filesystem::create_symlink(strOutside, m_strOut + "/a.txt");
    CZipArchiver zip;
    zip.Open(Path("in.zip"), ZipOpenMode::ReadOnly);
    ASSERT_EQ(zip.ExtractAll(m_strOut, 2), 1u);
    EXPECT_EQ(ReadWholeFile(strOutside), "untouched");
    EXPECT_FALSE(std::filesystem::is_symlink(m_strOut + "/a.txt"));
}

TEST_F(ZipSafety, ExistingHardLinkAtTheTargetIsReplacedNotWrittenThrough) {
    if (!kHaveLinks)
        GTEST_SKIP() << kNoLinks;
    std::string strOutside = MakeFile("game/outside.txt", "untouched");
    std::filesystem::create_hard_link(strOutside, m_strOut + "/a.txt");
    ASSERT_TRUE(Extract({StoredEntry("a.txt", "new")}));
    EXPECT_EQ(ReadWholeFile(strOutside), "untouched");
    EXPECT_EQ(ReadWholeFile(m_strOut + "/a.txt"), "new");
}

TEST_F(ZipSafety, NameEndingInSlashIsAFolderWhateverItsAttributes) {
    RawEntry folder = StoredEntry("Interface/AddOns/", "");
    folder.uVersionMadeBy = 0x0314;
    folder.uExternal = (0100644u << 16);  // a Unix tool's mode without the 0x10 bit
    ASSERT_TRUE(Extract({folder}));
    EXPECT_EQ(PathKind(m_strOut + "/Interface/AddOns"), -1);
    // A DOS folder entry without the trailing slash is a folder by its 0x10 bit.
    RawEntry dosFolder = StoredEntry("Fonts", "");
    dosFolder.uExternal = 0x10;
    ASSERT_TRUE(Extract({dosFolder}));
    EXPECT_EQ(PathKind(m_strOut + "/Fonts"), -1);
}

TEST_F(ZipSafety, EntryWithoutFileNameIsRefused) {
    EXPECT_FALSE(Extract({StoredEntry("", "x")}));
    EXPECT_FALSE(Extract({StoredEntry("a/..", "x")}));
    EXPECT_FALSE(Extract({StoredEntry("a/.", "x")}));
    CZipArchiver zip;
    zip.Open(Path("in.zip"), ZipOpenMode::ReadOnly);
    EXPECT_FALSE(zip.TestArchive());  // verification refuses what extraction would
}

}  // namespace
