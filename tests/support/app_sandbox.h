// A sandbox folder for one test, with HOME, XDG_CONFIG_HOME and WINEPREFIX pointing into it so
// that the registry stand-in never touches the real user's files. The variables are restored
// and the folder removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/sandbox.h"

class CAppSandbox : public ::testing::Test {
protected:
    void SetUp() override {
        m_env.Set("HOME", Root() + "/home")
            .Set("XDG_CONFIG_HOME", Root() + "/config")
            .Set("WINEPREFIX", Root() + "/wine");
        std::filesystem::create_directories(Root() + "/home");
    }

    std::string Root() const { return m_sandbox.Path(); }
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

    CSandbox m_sandbox{"zav-app"};
    CEnvGuard m_env;  // variables set until the test ends
};
