// The registry stand-in: the program's own REGEDIT4 file and the read-only Wine lookup.
#include "platform/registry.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "platform/registry_file.h"
#include "support/app_sandbox.h"

namespace {

// The value the game's installer writes: its install path.
constexpr const char* kInstallPathValue =
    "SOFTWARE\\Blizzard Entertainment\\World of Warcraft\\InstallPath";

namespace fs = std::filesystem;

class Registry : public CAppSandbox {
protected:
    std::string Read(const char* szName = kInstallPathValue, int nSize = 260) {
        char szOut[600] = "untouched";
        int nLength = RegReadString(szName, szOut, nSize, ERegRoot::LocalMachine);
        if (nLength < 0)
            return "<" + std::to_string(nLength) + ">";
        EXPECT_EQ(static_cast<size_t>(nLength), std::strlen(szOut));
        return szOut;
    }
    std::string OwnFile() const { return Root() + "/config/zav/registry.reg"; }

    // A Wine prefix whose drive C: is drive_c, with the given system.reg text.
    void MakePrefix(const std::string& strSystemReg) {
        fs::create_directories(Root() + "/wine/dosdevices");
        fs::create_directories(Root() + "/wine/drive_c");
        fs::create_directory_symlink("../drive_c", Root() + "/wine/dosdevices/c:");
        WriteWholeFile(Root() + "/wine/system.reg", strSystemReg);
    }
    static std::string WineHeader() {
        return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    }
};

TEST_F(Registry, WrittenValueReadsBackThroughAnEscapedRegedit4File) {
    const std::string strPath = "/home/게이머/Games/W\"o\\W/";
    EXPECT_FALSE(fs::exists(Root() + "/config"));
    ASSERT_EQ(RegWriteString(kInstallPathValue, strPath.c_str(), ERegRoot::LocalMachine), 1);
    EXPECT_EQ(Read(), strPath);

    std::string strFile = ReadWholeFile(OwnFile());
    EXPECT_EQ(strFile,
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Blizzard Entertainment\\World of "
              "Warcraft]\n\"InstallPath\"=\"/home/게이머/Games/W\\\"o\\\\W/\"\n\n");
    // Replaced atomically: no temporary file stays behind.
    EXPECT_EQ(Tree(Root() + "/config/zav"), std::vector<std::string>{"registry.reg"});
}

TEST_F(Registry, RewriteKeepsOtherKeysAndValues) {
    WriteWholeFile(OwnFile(),
                   "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Keep\"=\"me\"\r\n"
                   "\"Count\"=dword:00000003\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Blizzard "
                   "Entertainment\\World of Warcraft]\r\n\"InstallPath\"=\"/old/\"\r\n");
    EXPECT_EQ(Read(), "/old/");
    ASSERT_EQ(RegWriteString(kInstallPathValue, "/new/", ERegRoot::LocalMachine), 1);
    EXPECT_EQ(Read(), "/new/");
    char szOut[32] = {};
    EXPECT_EQ(RegReadString("Software\\Other\\Keep", szOut, 32, ERegRoot::CurrentUser), 2);
    EXPECT_STREQ(szOut, "me");
    EXPECT_NE(ReadWholeFile(OwnFile()).find("\"Count\"=dword:00000003"), std::string::npos);
}

TEST_F(Registry, MissingEmptyAndTooLongValuesAreNotFound) {
    EXPECT_EQ(Read(), "<-1>");
    ASSERT_EQ(RegWriteString(kInstallPathValue, "", ERegRoot::LocalMachine), 1);
    EXPECT_EQ(Read(), "<-1>");
    ASSERT_EQ(RegWriteString(kInstallPathValue, "/games/wow/", ERegRoot::LocalMachine), 1);
    EXPECT_EQ(Read(kInstallPathValue, 12), "/games/wow/");
    EXPECT_EQ(Read(kInstallPathValue, 11), "<-1>");  // no room for the NUL
    EXPECT_EQ(Read("NoBackslash"), "<-1>");
}

TEST_F(Registry, FailedWriteKeepsTheOldFile) {
    ASSERT_EQ(RegWriteString(kInstallPathValue, "/first/", ERegRoot::LocalMachine), 1);
    // A folder squatting on the temporary name makes the new file impossible to write.
    std::string strTemp = OwnFile() + ".tmp-" + std::to_string(getpid());
    fs::create_directories(strTemp + "/x");
    EXPECT_EQ(RegWriteString(kInstallPathValue, "/second/", ERegRoot::LocalMachine), 0);
    EXPECT_EQ(Read(), "/first/");
}

TEST_F(Registry, RelativeConfigHomeIsIgnored) {
    m_env.Set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(RegistryFilePath(), Root() + "/home/.config/zav/registry.reg");
    ASSERT_EQ(RegWriteString(kInstallPathValue, "/g/", ERegRoot::LocalMachine), 1);
    EXPECT_TRUE(fs::exists(Root() + "/home/.config/zav/registry.reg"));
}

TEST_F(Registry, WineValueUnderEitherKeyIsMappedThroughDosdevices) {
    for (const char* szKey : {"Software\\\\Blizzard Entertainment\\\\World of Warcraft",
                              "Software\\\\Wow6432Node\\\\Blizzard Entertainment\\\\World of "
                              "Warcraft"}) {
        fs::remove_all(Root() + "/wine");
        MakePrefix(WineHeader() +
                   "[Software\\\\Other] 1700000000\n\"InstallPath\"=\"D:\\\\x\"\n\n[" + szKey +
                   "] 1700000001\n#time=1d9\n\"InstallPath\"=\"C:\\\\Program Files "
                   "(x86)\\\\World of Warcraft\\\\\"\n\"InstallVersion\"=dword:00000001\n");
        fs::create_directories(Root() + "/wine/drive_c/Program Files (x86)/World of Warcraft");
        EXPECT_EQ(Read(), Root() + "/wine/drive_c/Program Files (x86)/World of Warcraft/") << szKey;
    }
    // Only the program's own file is ever written.
    std::string strBefore = ReadWholeFile(Root() + "/wine/system.reg");
    ASSERT_EQ(RegWriteString(kInstallPathValue, "/mine/", ERegRoot::LocalMachine), 1);
    EXPECT_EQ(Read(), "/mine/");  // the own file is read first
    EXPECT_EQ(ReadWholeFile(Root() + "/wine/system.reg"), strBefore);
}

TEST_F(Registry, WineEscapesCaseAndTrailingSeparator) {
    // \xac8c\xc784 is "게임"; the folder's case differs from the registry's.
    MakePrefix(WineHeader() +
               "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
               "\"installpath\"=\"c:\\\\\\xac8c\\xc784\\\\wow\"\n");
    fs::create_directories(Root() + "/wine/drive_c/게임/WoW");
    EXPECT_EQ(Read(), Root() + "/wine/drive_c/게임/WoW");
}

TEST_F(Registry, MissingPrefixOrDriveLinkIsNotFound) {
    EXPECT_EQ(Read(), "<-1>");
    MakePrefix(WineHeader() +
               "[Software\\\\Blizzard Entertainment\\\\World of Warcraft] 1\n"
               "\"InstallPath\"=\"E:\\\\WoW\\\\\"\n");
    EXPECT_EQ(Read(), "<-1>");  // no dosdevices/e:
    m_env.Set("WINEPREFIX", Root() + "/nowhere");
    EXPECT_EQ(Read(), "<-1>");
}

TEST(RegistryText, ParsesWineKeysAndStrings) {
    SRegDocument document = ParseRegistryText(
        "WINE REGISTRY Version 2\n[A\\\\B] 123\n\"V\"=str(2):\"x\\\\y\\\"z\"\n@=\"def\"\n"
        "\"N\"=hex:01,02\n",
        ERegDialect::Wine);
    ASSERT_NE(document.FindKey("a\\b"), nullptr);
    const SRegEntry* pEntry = document.FindEntry("A\\B", "v");
    ASSERT_NE(pEntry, nullptr);
    EXPECT_EQ(RegStringData(pEntry->strData, ERegDialect::Wine), "x\\y\"z");
    EXPECT_EQ(RegStringData(document.FindEntry("A\\B", "")->strData, ERegDialect::Wine), "def");
    EXPECT_EQ(RegStringData(document.FindEntry("A\\B", "N")->strData, ERegDialect::Wine),
              std::nullopt);
    // A surrogate pair in \x escapes becomes one character.
    EXPECT_EQ(RegStringData("\"\\xd83d\\xde00\"", ERegDialect::Wine), "\xF0\x9F\x98\x80");
}

}  // namespace
