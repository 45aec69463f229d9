#include "main/supervise.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "main/session_folder.h"
#include "support/test_env.h"

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

using namespace std::chrono_literals;

[[noreturn]] void wait_forever() {
    for (;;) ::pause();
}

// Each case runs in a forked child, since the timers end the process; the
// test process itself has no other thread at that point.
TEST(SessionEndThreads, ExitTimerEndsTheProcessWithItsStatus) {
    EXPECT_EXIT(
        {
            start_exit_timer(20ms, 7);
            wait_forever();
        },
        ::testing::ExitedWithCode(7), "");
}

// The waiter takes the lock once the last shared holder lets go, and marks the
// session ended before it ends the process.
TEST(SessionEndThreads, LockWaiterEndsOnceTheLastHolderLetsGo) {
    vt::TempDir tmp;
    const std::string folder = tmp.path();
    const std::string lock = folder + "/copies.lock";
    vt::write_file(lock, "", 0600);
    EXPECT_EXIT(
        {
            const int holder = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
            const int other = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
            if (holder < 0 || other < 0 || ::flock(holder, LOCK_SH) != 0 ||
                ::flock(other, LOCK_SH) != 0) {
                ::_exit(90);
            }
            const int mine = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
            const SessionFolder session = SessionFolder::open_if_own(folder);
            start_lock_waiter(session, mine, 9);
            // Let go one after the other on threads of their own; the waiter
            // must not end before both have.
            std::thread([holder] {
                std::this_thread::sleep_for(10ms);
                ::close(holder);
            }).detach();
            std::thread([other, folder] {
                std::this_thread::sleep_for(40ms);
                if (::access((folder + "/ended").c_str(), F_OK) == 0) ::_exit(91);
                ::close(other);
            }).detach();
            wait_forever();
        },
        ::testing::ExitedWithCode(9), "");
    EXPECT_TRUE(vt::path_exists(folder + "/ended"));
}

// The grace timer and the lock waiter can fire at the same moment: one of
// them ends the process with the status, and the other never gets to run any
// exit code of its own.
TEST(SessionEndThreads, TimerAndWaiterFiringTogetherEndOnce) {
    vt::TempDir tmp;
    const std::string folder = tmp.path();
    const std::string lock = folder + "/copies.lock";
    vt::write_file(lock, "", 0600);
    for (int round = 0; round < 10; ++round) {
        EXPECT_EXIT(
            {
                const int mine = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
                const SessionFolder session = SessionFolder::open_if_own(folder);
                start_lock_waiter(session, mine, 5);
                start_exit_timer(0ms, 5);
                start_exit_timer(0ms, 5);
                wait_forever();
            },
            ::testing::ExitedWithCode(5), "");
    }
}

}  // namespace
}  // namespace vorn
