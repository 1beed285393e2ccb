// A temporary folder for one test, with HOME, XDG_CONFIG_HOME and WINEPREFIX pointing into
// it so that the registry stand-in never touches the real user's files. Restores the
// variables and removes the folder afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class CAppSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/zav-app-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_root = std::filesystem::canonical(szTemplate);
        Save("HOME", Root() + "/home");
        Save("XDG_CONFIG_HOME", Root() + "/config");
        Save("WINEPREFIX", Root() + "/wine");
        std::filesystem::create_directories(Root() + "/home");
    }
    void TearDown() override {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->bHad) {
                setenv(it->strName.c_str(), it->strValue.c_str(), 1);
            } else {
                unsetenv(it->strName.c_str());
            }
        }
        std::error_code ec;
        std::filesystem::permissions(m_root, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(m_root, ec);
    }

    // Sets an environment variable until the test ends.
    void Save(const std::string& strName, const std::string& strValue) {
        const char* szOld = getenv(strName.c_str());
        m_saved.push_back({strName, szOld != nullptr, szOld != nullptr ? szOld : ""});
        setenv(strName.c_str(), strValue.c_str(), 1);
    }

    std::string Root() const { return m_root.string(); }
    static void WriteText(const std::string& strPath, const std::string& strText) {
        std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
        std::ofstream(strPath, std::ios::binary) << strText;
    }
    static std::string ReadText(const std::string& strPath) {
        std::ifstream in(strPath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool IsDir(const std::string& strPath) { return std::filesystem::is_directory(strPath); }
    // Every path below root, relative, sorted.
    std::vector<std::string> Tree(const std::string& strRoot) const {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(strRoot)) {
            paths.push_back(std::filesystem::relative(entry.path(), strRoot).string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

private:
    struct SSaved {
        std::string strName;
        bool bHad;
        std::string strValue;
    };
    std::filesystem::path m_root;
    std::vector<SSaved> m_saved;
};
