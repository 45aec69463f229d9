#include "main/supervise.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(Supervise, PhrasesForLiveCopies) {
    const struct {
        size_t n;
        const char* run;
        const char* stop;
    } cases[] = {
        {0, "other copies run", "the other copies"},
        {1, "1 other copy runs", "the other copy"},
        {2, "2 other copies run", "the 2 other copies"},
        {12, "12 other copies run", "the 12 other copies"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_phrase(c.n), c.run);
        EXPECT_EQ(stop_phrase(c.n), c.stop);
    }
}

TEST(Supervise, CommandStatusFromRealChildren) {
    const struct {
        int exit_code;  // -1: die of `sig`
        int sig;
        int status;
    } cases[] = {{0, 0, 0}, {3, 0, 3}, {255, 0, 255}, {-1, SIGKILL, 137}, {-1, SIGTERM, 143}};
    for (const auto& c : cases) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.exit_code >= 0) ::_exit(c.exit_code);
            ::signal(c.sig, SIG_DFL);
            ::raise(c.sig);
            ::_exit(99);
        }
        int wait_status = 0;
        ASSERT_EQ(::waitpid(pid, &wait_status, 0), pid);
        EXPECT_EQ(command_status(wait_status), c.status);
    }
}

}  // namespace
}  // namespace vorn
