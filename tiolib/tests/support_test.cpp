// The test support itself where a fault would hide others: a failed assertion must not
// leave an engine handle (its disk threads and member streams) behind, and a child
// process must never pass for a success it did not report.
#include "child_process.h"
#include "files.h"
#include "handles.h"
#include "striped_volume.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tio_test;

namespace {

std::string g_config_path;

// A test body that opens a write-mode handle and then fails an assertion.
void write_handle_then_failed_assertion() {
    Handle writer = open_at(g_config_path, 1, 0);
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->worker_count, 3) << "the handle is open";
    ASSERT_TRUE(false) << "an assertion that fails";
}

TEST(HandleOwner, AFailedAssertionClosesTheHandle) {
    ScratchDir dir;
    const Geometry geometry{.members = 5, .workers = 3};
    StripedVolume volume(dir, geometry);
    g_config_path = volume.config_path();
    // The thread sanitizer starts a thread of its own with the program's first one.
    std::thread([] {}).join();
    const int descriptors = open_fd_count();
    const int threads = thread_count();
    EXPECT_FATAL_FAILURE(write_handle_then_failed_assertion(), "an assertion that fails");
    EXPECT_EQ(open_fd_count(), descriptors) << "member streams left open";
    EXPECT_EQ(thread_count(), threads) << "disk threads left running";
}

TEST(HandleOwner, MovesOwnershipAndClosesOnce) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    const int descriptors = open_fd_count();
    Handle first = open_at(volume.config_path(), -1, 0);
    ASSERT_TRUE(first);
    Handle second = std::move(first);
    EXPECT_FALSE(first);
    ASSERT_TRUE(second);
    second = open_at(volume.config_path(), -1, 0);  // the handle it held is closed
    ASSERT_TRUE(second);
    EXPECT_EQ(open_fd_count(), descriptors + 4);
    EXPECT_EQ(second.close(), 0);
    EXPECT_FALSE(second);
    EXPECT_EQ(open_fd_count(), descriptors);
}

TEST(RunInChild, AnExceptionEndsTheChildWithItsOwnCode) {
    const ChildResult result = run_in_child([]() -> int { throw std::runtime_error("escaped"); }, 30);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.exit_code, kEscapedException);
}

// A user that may start no process: run_in_child cannot fork.
TEST(RunInChild, AChildThatCannotStartIsNoSuccess) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user that may start no process";
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit none{0, 0};
        if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0) _exit(10);
        const ChildResult result = run_in_child([] { return 0; }, 10);
        _exit(result.exited ? 11 : result.stdout_text.rfind("fork(", 0) == 0 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no unprivileged user, 11: reported as run, 12: no reason";
}

}  // namespace
