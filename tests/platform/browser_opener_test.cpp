// The detached launch behind the browser opener.
#include "platform/browser_opener.h"

#include <chrono>
#include <thread>

#include "support/app_sandbox.h"

namespace {

class BrowserOpener : public CAppSandbox {};

TEST_F(BrowserOpener, ArgumentsReachTheProgramUntouchedByAnyShell) {
    const std::string strOut = Root() + "/opened.txt";
    const std::string strTrap = Root() + "/trap";
    const std::string strUrl = "http://127.0.0.1:8080/board/powerbbs.php?come_idx=1206&x=$(touch " +
                               strTrap + ")'\"; touch " + strTrap;
    ASSERT_TRUE(LaunchDetached({"sh", "-c", "printf %s \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"",
                                "opener", strUrl, strOut}));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(strOut) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ReadWholeFile(strOut), strUrl);
    EXPECT_FALSE(std::filesystem::exists(strTrap));
}

TEST_F(BrowserOpener, MissingProgramIsReported) {
    EXPECT_FALSE(LaunchDetached({"zav-no-such-opener-program"}));
    EXPECT_FALSE(LaunchDetached({}));
}

}  // namespace
