// The system-call wrappers every part uses, and the placeholders that keep a
// closed standard stream closed.
#include "base/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace vorn {
namespace {

TEST(HoldClosedStandardStreams, ClosedOnesStayClosedToUseAndToLaterOpens) {
    // Each step returns a distinct code, so that a failure names its check.
    const int failed = vt::in_child([] {
                           ::close(0);
                           ::close(2);
                           hold_closed_standard_streams();
                           for (int fd : {0, 2}) {
                               const int flags = ::fcntl(fd, F_GETFD);
                               if (flags < 0) return 10 + fd;  // taken
                               if ((flags & FD_CLOEXEC) == 0)
                                   return 20 + fd;  // gone for the command
                               char c = 'x';
                               if (::write(fd, &c, 1) != -1 || errno != EBADF) return 30 + fd;
                               if (::read(fd, &c, 1) != -1 || errno != EBADF) return 40 + fd;
                           }
                           // The open stream is left as it was.
                           if ((::fcntl(1, F_GETFD) & FD_CLOEXEC) != 0) return 50;
                           // What the program opens next lands above the standard streams.
                           const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                           return next > 2 ? 0 : 60;
                       }).status();
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

TEST(RetryOnEintr, RetriesOnlyAnInterruptedCall) {
    struct Case {
        std::vector<std::pair<int, int>> answers;  // result and errno of each call in turn
        int result;
        size_t calls;
    };
    const Case cases[] = {
        {{{-1, EINTR}, {-1, EINTR}, {5, 0}}, 5, 3},
        {{{-1, EINTR}, {-1, EAGAIN}, {5, 0}}, -1, 2},
        {{{-1, EBADF}}, -1, 1},
        // A success is a success whatever errno still says.
        {{{0, EINTR}}, 0, 1},
        {{{7, EINTR}}, 7, 1},
    };
    for (const auto& c : cases) {
        size_t calls = 0;
        const int result = retry_on_eintr([&] {
            const auto [value, error] = c.answers.at(calls++);
            errno = error;
            return value;
        });
        EXPECT_EQ(result, c.result) << c.answers.size();
        EXPECT_EQ(calls, c.calls) << c.answers.size();
    }
}

TEST(ReadUpTo, StopsAtTheLimitOrAtTheEnd) {
    const std::string content = "0123456789";
    struct Case {
        size_t limit;
        uint64_t offset;
        std::string from_start;  // read_up_to over two packets
        std::string at_offset;   // read_up_to_at over a file
    };
    const Case cases[] = {
        {0, 0, "", ""},
        {4, 0, "0123", "0123"},
        {10, 3, content, "3456789"},
        {64, 0, content, content},
        {2, 8, "01", "89"},
        {5, 10, "01234", ""},
        {5, 99, "01234", ""},
    };
    char name[] = "/tmp/vorn-read-up-to-XXXXXX";
    const int file = ::mkstemp(name);
    ASSERT_GE(file, 0);
    ::unlink(name);
    ASSERT_EQ(::write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    for (const auto& c : cases) {
        // Each read takes one packet at most: the reads must go on past the
        // first piece.
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(::write(fds[1], content.data(), 3), 3);
        ASSERT_EQ(::write(fds[1], content.data() + 3, content.size() - 3),
                  static_cast<ssize_t>(content.size() - 3));
        ::close(fds[1]);
        EXPECT_EQ(read_up_to(fds[0], c.limit), c.from_start) << c.limit;
        ::close(fds[0]);
        EXPECT_EQ(read_up_to_at(file, c.offset, c.limit), c.at_offset)
            << c.offset << " " << c.limit;
    }
    // The file's own offset is left where the write put it.
    EXPECT_EQ(::lseek(file, 0, SEEK_CUR), static_cast<off_t>(content.size()));
    ::close(file);
    EXPECT_FALSE(read_up_to(-1, 4).has_value());
    EXPECT_EQ(read_up_to(-1, 4).error().code, EBADF);
}

}  // namespace
}  // namespace vorn
