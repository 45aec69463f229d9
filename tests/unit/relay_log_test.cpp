#include "relay/relay_log.h"

#include <fcntl.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/error.h"
#include "support/test_env.h"

namespace vorn {
namespace {

UniqueFd open_log(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

TEST(RelayLog, CapDropsTheLineThatWouldPassItAndEveryLineAfter) {
    struct Case {
        const char* name;
        std::vector<size_t> lengths;  // without the newline
        size_t written_lines;
    };
    const size_t cap = kRelayLogCap;
    const Case cases[] = {
        {"short lines", {10, 20, 30}, 3},
        {"exactly the cap", {cap - 1}, 1},
        {"one byte over", {cap}, 0},
        {"fills up, then a tiny line", {cap / 2 - 1, cap / 2 - 1, 0}, 2},
        {"a dropped line ends the log", {100, cap, 0, 5}, 1},
        {"the rest would have fitted", {cap - 50, 100, 10}, 1},
    };
    for (const auto& c : cases) {
        vt::TempDir dir;
        const std::string path = dir / "log";
        RelayLog log;
        log.reset(open_log(path));
        std::string expected;
        for (size_t i = 0; i < c.lengths.size(); ++i) {
            const std::string line(c.lengths[i], static_cast<char>('a' + i));
            log.write_line(line);
            if (i < c.written_lines) expected += line + "\n";
        }
        const std::string got = vt::read_file(path);
        EXPECT_LE(got.size(), cap) << c.name;
        EXPECT_EQ(got.size(), expected.size()) << c.name;
        EXPECT_TRUE(got == expected) << c.name;
    }
}

TEST(RelayLog, LinesFromManyThreadsLandWholeAndResetStartsAfresh) {
    vt::TempDir dir;
    RelayLog log;
    log.reset(open_log(dir / "old"));
    log.write_line(std::string(kRelayLogCap, 'x'));  // dropped: the log is spent
    log.reset(open_log(dir / "log"));

    constexpr int kThreads = 8, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                // Long enough that a torn write would show.
                log.write_line("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                               std::string(200, static_cast<char>('A' + t)));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    std::istringstream in(vt::read_file(dir / "log"));
    std::set<std::string> seen;
    std::string line;
    while (std::getline(in, line)) {
        int t = -1, i = -1;
        char fill[256] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %255s", &t, &i, fill), 3) << line;
        EXPECT_EQ(std::string(fill), std::string(200, static_cast<char>('A' + t))) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    EXPECT_EQ(vt::read_file(dir / "old"), "");
}

// The lines that tell of a shortage are put together without memory, and
// read as every other error line of the program does.
TEST(RelayLog, SystemErrorLinesReadLikeEveryOtherError) {
    vt::TempDir dir;
    set_up_relay_log(open_log(dir / "log"));
    const std::pair<const char*, int> cases[] = {
        {"cannot start a thread", EAGAIN},
        {"cannot allocate a buffer", ENOMEM},
        {"", EMFILE},
        {"an error the system has no text for", 4095},
    };
    std::string expected;
    for (const auto& [what, code] : cases) {
        relay_log_system_error(what, code);
        expected += std::string(what) + " (" + error_text(Error::system(code)) + ")\n";
    }
    set_up_relay_log(UniqueFd());
    EXPECT_EQ(vt::read_file(dir / "log"), expected);
}

// A write that takes only part of a line (a signal arriving during the
// write here; a full disk does the same) goes on from where it stopped: the
// line lands whole, once, with its end.
TEST(RelayLog, ALineWrittenInPartsLandsWhole) {
    struct sigaction nothing {};
    nothing.sa_handler = [](int) {};
    sigemptyset(&nothing.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGUSR1, &nothing, &before), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    UniqueFd reader(fds[0]);
    std::string line(kRelayLogCap / 2, '\0');
    for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>('a' + i % 26);

    std::atomic<bool> written{false};
    std::thread writer([&, fd = fds[1]] {
        RelayLog log;
        log.reset(UniqueFd(fd));
        log.write_line(line);
        written = true;
    });
    // Signals keep cutting the writer's writes short while the reader takes
    // the line a pipe's worth at a time.
    std::thread interrupter([&] {
        while (!written) {
            ::pthread_kill(writer.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::read(reader.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    interrupter.join();
    writer.join();
    ::sigaction(SIGUSR1, &before, nullptr);
    EXPECT_EQ(got.size(), line.size() + 1);
    EXPECT_TRUE(got == line + "\n");
}

}  // namespace
}  // namespace vorn
