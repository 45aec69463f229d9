// The system-call wrappers every part uses, and the placeholders that keep a
// closed standard stream closed.
#include "base/io.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace vorn {
namespace {

// Runs body in a forked child, whose exit status it returns: 0 means every
// check in body held.
int in_child(int (*body)()) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HoldClosedStandardStreams, ClosedOnesStayClosedToUseAndToLaterOpens) {
    // Each step returns a distinct code, so that a failure names its check.
    const int failed = in_child([] {
        ::close(0);
        ::close(2);
        hold_closed_standard_streams();
        for (int fd : {0, 2}) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags < 0) return 10 + fd;                  // taken
            if ((flags & FD_CLOEXEC) == 0) return 20 + fd;  // gone for the command
            char c = 'x';
            if (::write(fd, &c, 1) != -1 || errno != EBADF) return 30 + fd;
            if (::read(fd, &c, 1) != -1 || errno != EBADF) return 40 + fd;
        }
        // The open stream is left as it was.
        if ((::fcntl(1, F_GETFD) & FD_CLOEXEC) != 0) return 50;
        // What the program opens next lands above the standard streams.
        const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return next > 2 ? 0 : 60;
    });
    EXPECT_EQ(failed, 0);
}

TEST(ReadRetry, ASuccessfulReadReturnsWhateverErrnoSaidBefore) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    ::close(fds[1]);
    char buf[8];
    errno = EINTR;
    EXPECT_EQ(read_retry(fds[0], buf, sizeof buf), 3);
    ::close(fds[0]);
}

}  // namespace
}  // namespace vorn
