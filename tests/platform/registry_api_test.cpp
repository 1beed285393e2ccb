// RegReadString / RegWriteString as callers see them, on each system's own store: the
// registry on Windows, the program's own file on POSIX (kept inside a temporary folder).
#include <gtest/gtest.h>

#include "platform/native_text.h"
#include "platform/registry.h"
#include "support/env_guard.h"
#include "support/sandbox.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

class RegistryApi : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        m_env.Set("XDG_CONFIG_HOME", m_sandbox.Path("config"))
            .Set("WINEPREFIX", m_sandbox.Path("wine"));
#endif
        DeleteTestKeys();
    }
    void TearDown() override {
        DeleteTestKeys();
    }
    // A key of this test's own: the tests of this suite may run at once in one registry.
    static std::string Key() {
        return std::string("ZAV Test ") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    static void DeleteTestKeys() {
#ifdef _WIN32
        RegDeleteTreeW(HKEY_CURRENT_USER, WideFromUtf8("Software\\" + Key()).c_str());
        HKEY hSoftware = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                          &hSoftware) == ERROR_SUCCESS) {
            RegDeleteTreeW(hSoftware, WideFromUtf8(Key()).c_str());
            RegCloseKey(hSoftware);
        }
#endif
    }
    static std::string Read(const std::string& strName, ERegRoot eRoot, int nSize = 260) {
        char szOut[600] = "untouched";
        int nLength = RegReadString(strName.c_str(), szOut, nSize, eRoot);
        return nLength < 0 ? "<" + std::to_string(nLength) + ">" : std::string(szOut);
    }

    CSandbox m_sandbox{"zav-registry"};
    CEnvGuard m_env;
};

TEST_F(RegistryApi, KoreanValueUnderAKoreanNameReadsBack) {
    const std::string strName = "Software\\" + Key() + "\\게임 경로";
    const std::string strValue = "C:\\게임\\World of Warcraft\\";
    EXPECT_EQ(Read(strName, ERegRoot::CurrentUser), "<-1>");
    ASSERT_EQ(RegWriteString(strName.c_str(), strValue.c_str(), ERegRoot::CurrentUser), 1);
    EXPECT_EQ(Read(strName, ERegRoot::CurrentUser), strValue);
    // No room for the terminator: refused, never cut.
    EXPECT_EQ(Read(strName, ERegRoot::CurrentUser, static_cast<int>(strValue.size())), "<-1>");
    EXPECT_EQ(Read(strName, ERegRoot::CurrentUser, static_cast<int>(strValue.size()) + 1),
              strValue);
    // An empty value counts as missing.
    ASSERT_EQ(RegWriteString(strName.c_str(), "", ERegRoot::CurrentUser), 1);
    EXPECT_EQ(Read(strName, ERegRoot::CurrentUser), "<-1>");
}

TEST_F(RegistryApi, MachineValuesLiveInThe32BitViewAsTheInstallerWritesThem) {
#ifdef _WIN32
    const std::string strName = "SOFTWARE\\" + Key() + "\\InstallPath";
    if (RegWriteString(strName.c_str(), "D:\\Games\\WoW\\", ERegRoot::LocalMachine) != 1)
        GTEST_SKIP() << "writing HKEY_LOCAL_MACHINE needs administrator rights";
    EXPECT_EQ(Read(strName, ERegRoot::LocalMachine), "D:\\Games\\WoW\\");
    // Seen from the 64-bit view the key sits under Wow6432Node, and not at its own name.
    HKEY hKey = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8("SOFTWARE\\Wow6432Node\\" + Key()).c_str(),
                      0, KEY_READ | KEY_WOW64_64KEY, &hKey),
        ERROR_SUCCESS);
    RegCloseKey(hKey);
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8("SOFTWARE\\" + Key()).c_str(), 0,
                            KEY_READ | KEY_WOW64_64KEY, &hKey),
              ERROR_SUCCESS);
#else
    GTEST_SKIP() << "POSIX keeps the value in the program's own file; no 32-bit view there";
#endif
}

}  // namespace
