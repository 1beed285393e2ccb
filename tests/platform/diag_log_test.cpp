// The diagnostic log: where it lives, its lines, its size cap, and what it must never hold.
#include "platform/diag_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/app_sandbox.h"
#include "support/file_io.h"

namespace {

namespace fs = std::filesystem;

class DiagLogTest : public CAppSandbox {
protected:
    void TearDown() override { OpenDiagLog(""); }
    std::string LogPath() const { return Root() + "/state/zav/zav.log"; }
};

TEST_F(DiagLogTest, LivesUnderTheStateFolderAndWritesOneStampedLinePerCall) {
    m_env.Set("XDG_STATE_HOME", Root() + "/state");
    EXPECT_EQ(DefaultDiagLogPath(), LogPath());
    m_env.Unset("XDG_STATE_HOME");
    EXPECT_EQ(DefaultDiagLogPath(), Root() + "/home/.local/state/zav/zav.log");

    DiagLog("nothing is written before the log is opened");
    OpenDiagLog(LogPath());
    DiagLog("backup: cannot add WTF/a.lua: No space left on device");
    DiagLog("second");
    const std::string strText = ReadWholeFile(LogPath());
    EXPECT_TRUE(std::regex_match(
        strText, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} backup: cannot add "
                            "WTF/a\\.lua: No space left on device\n[^\n]+ second\n")))
        << strText;
}

TEST_F(DiagLogTest, PastItsCapTheLogStartsAgainKeepingOneOlderFile) {
    OpenDiagLog(LogPath());
    const std::string strLine(999, 'x');
    for (int i = 0; i < 1100; ++i)
        DiagLog(strLine);
    DiagLog("after the rotation");
    ASSERT_TRUE(fs::exists(LogPath() + ".1"));
    EXPECT_LE(fs::file_size(LogPath() + ".1"), kDiagLogMaxBytes + 2048);
    EXPECT_LT(fs::file_size(LogPath()), kDiagLogMaxBytes);
    EXPECT_NE(ReadWholeFile(LogPath()).find("after the rotation"), std::string::npos);
    EXPECT_FALSE(fs::exists(LogPath() + ".2"));
}

}  // namespace
