// The game folder's lock: one holder at a time, across objects and processes, and never left
// held by a process that died.
#include "platform/folder_lock.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

TEST(FolderLock, OneHolderAtATimeAndTheNextOnceItIsReleased) {
    CSandbox box;
    const std::string strPath = box.Path() + "/zav.lock";
    CFolderLock first, second;
    ASSERT_EQ(first.TryLock(strPath), CFolderLock::EResult::Taken);
    EXPECT_EQ(second.TryLock(strPath), CFolderLock::EResult::Held);
    EXPECT_FALSE(second.IsHeld());

    CFolderLock moved = std::move(first);  // handed to a worker: still held
    EXPECT_EQ(second.TryLock(strPath), CFolderLock::EResult::Held);
    moved.Unlock();
    EXPECT_EQ(second.TryLock(strPath), CFolderLock::EResult::Taken);

    CFolderLock missing;
    EXPECT_EQ(missing.TryLock(box.Path() + "/no/such/folder/zav.lock"),
              CFolderLock::EResult::Failed);
    EXPECT_FALSE(missing.ErrorText().empty());
}

#ifndef _WIN32
TEST(FolderLock, AnotherProcessIsKeptOutAndACrashReleasesIt) {
    CSandbox box;
    const std::string strPath = box.Path() + "/zav.lock";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CFolderLock lock;
        const char c = lock.TryLock(strPath) == CFolderLock::EResult::Taken ? 'y' : 'n';
        (void)!::write(fds[1], &c, 1);
        ::pause();  // killed while holding it
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    CFolderLock mine;
    EXPECT_EQ(mine.TryLock(strPath), CFolderLock::EResult::Held);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(mine.TryLock(strPath), CFolderLock::EResult::Taken);
    ::close(fds[0]);
    ::close(fds[1]);
}
#endif

}  // namespace
