// The clipboard shims through the real binary, started as xclip, xsel and
// wl-paste, against a fake clipboard service on a socket in the test's folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "support/fake_clipboard.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/sockets.h"
#include "support/test_env.h"

namespace {

const std::string kNotAvailable =
    "the Mac clipboard is not available in this session, because the session started without a "
    "terminal.";
const std::string kUnreadable = "the Mac clipboard sent an answer that cannot be read";
const std::string kCutShort = "the image arrived cut short";

std::string cannot_write(const std::string& shim) {
    return shim + ": the container cannot write the Mac clipboard.\n";
}

std::string only_images(const std::string& shim) {
    return shim + ": only images pass from the Mac clipboard into the container, not text.\n";
}

vt::Spec shim_spec(const vt::TestEnv& env, const std::string& shim, std::vector<std::string> args) {
    auto spec = env.spec(std::move(args));
    spec.argv0 = shim;
    return spec;
}

vt::Result run_shim(const vt::TestEnv& env, const std::string& shim,
                    std::vector<std::string> args) {
    return vt::run(shim_spec(env, shim, std::move(args)));
}

std::string clip_sock(const vt::TestEnv& env) {
    return *env.get("VORN_CLIP_SOCK");
}

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void close_write() {
        if (write >= 0) ::close(write);
        write = -1;
    }
};

TEST(ClipboardShims, RefusalsNeverConnect) {
    struct Case {
        std::string shim;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"xclip", {}, cannot_write("xclip")},
        {"xclip", {"file.txt"}, cannot_write("xclip")},
        {"xclip", {"-i"}, cannot_write("xclip")},
        {"xclip", {"-o", "-t", "image/png", "-filter"}, cannot_write("xclip")},
        {"xclip", {"-t", "image/png"}, cannot_write("xclip")},
        {"xclip", {"-o", "-t", "image/png", ""}, cannot_write("xclip")},
        {"xclip", {"-o", "-t", "image/png", "\xff-o"}, cannot_write("xclip")},
        // -display swallows the -o after it.
        {"xclip", {"-display", "-o", "-t", "image/png"}, cannot_write("xclip")},
        {"xclip", {"-o"}, only_images("xclip")},
        {"xclip", {"-o", "-t", "text/plain"}, only_images("xclip")},
        {"xclip", {"-o", "-t", "-o"}, only_images("xclip")},
        {"xclip", {"-o", "-t", "image/png", "-t"}, only_images("xclip")},
        {"xclip", {"-o", "-t", "image/png\xff"}, only_images("xclip")},
        {"xclip", {"-o", "-t", "Image/png"}, only_images("xclip")},
        {"xclip",
         {"-o", "-selection", "primary"},
         "xclip: only the clipboard selection comes from the Mac, not primary.\n"},
        {"xclip",
         {"-o", "-selection"},
         "xclip: only the clipboard selection comes from the Mac, not .\n"},
        {"xclip",
         {"-sel", "cl", "-o", "-t", "image/png"},
         "xclip: only the clipboard selection comes from the Mac, not cl.\n"},
        {"xclip",
         {"-se", "c\xff", "-o", "-t", "image/png"},
         "xclip: only the clipboard selection comes from the Mac, not .\n"},
        {"xclip", {"-h"}, "xclip: -h is not supported here.\n"},
        {"xclip", {"-o", "-O"}, "xclip: -O is not supported here.\n"},
        {"xclip", {"-o", "-t", "image/png", "-"}, "xclip: - is not supported here.\n"},
        {"wl-paste", {}, only_images("wl-paste")},
        {"wl-paste", {"-t", "text/plain"}, only_images("wl-paste")},
        {"wl-paste", {"-t", "image/png", "-t"}, only_images("wl-paste")},
        {"wl-paste", {"--type="}, only_images("wl-paste")},
        {"wl-paste", {"-t", "--type=image/png"}, only_images("wl-paste")},
        {"wl-paste", {"image/png"}, "wl-paste: image/png is not supported here.\n"},
        {"wl-paste", {"--list"}, "wl-paste: --list is not supported here.\n"},
        {"wl-paste", {"-l", "\xff"}, "wl-paste:  is not supported here.\n"},
        {"wl-paste",
         {"-l", "-p"},
         "wl-paste: only the clipboard selection comes from the Mac, not the primary selection.\n"},
        {"wl-paste",
         {"--primary", "--watch"},
         "wl-paste: only the clipboard selection comes from the Mac, not the primary selection.\n"},
        {"wl-paste",
         {"-t", "image/png", "--watch", "cat"},
         "wl-paste: --watch is not supported here.\n"},
        {"wl-paste", {"-w"}, "wl-paste: --watch is not supported here.\n"},
        {"xsel", {}, only_images("xsel")},
        {"xsel", {"-o"}, only_images("xsel")},
        {"xsel", {"-b", "--input=x", "-ia"}, only_images("xsel")},
        {"xsel", {"-b", "-i"}, cannot_write("xsel")},
        {"xsel", {"--append", "-o"}, cannot_write("xsel")},
        {"xsel", {"--input"}, cannot_write("xsel")},
        {"/usr/local/bin/xsel", {"-a"}, cannot_write("xsel")},
    };
    vt::TestEnv env;
    vt::FakeClipboard service(clip_sock(env), {{"OK 5\nhello"}});
    for (const auto& c : cases) {
        const auto r = run_shim(env, c.shim, c.args);
        EXPECT_TRUE(r.exited) << c.err;
        EXPECT_EQ(r.code, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "") << c.err;
    }
    EXPECT_EQ(service.connections(), 0);
}

TEST(ClipboardShims, SendOneRequestLine) {
    struct Case {
        std::string shim;
        std::vector<std::string> args;
        std::string request;
    };
    const Case cases[] = {
        {"xclip", {"-selection", "clipboard", "-t", "image/png", "-o"}, "IMAGE image/png\n"},
        {"xclip", {"-o", "-t", "TARGETS"}, "TYPES\n"},
        {"xclip", {"-se", "c", "-target", "image/", "-out"}, "IMAGE image/\n"},
        {"xclip",
         {"-o", "-t", "image/svg+xml", "-quiet", "-d", ":0", "-loops", "3", "-r", "-noutf8"},
         "IMAGE image/svg+xml\n"},
        {"xclip",
         {"-o", "-t", "text/plain", "-t", "image/png", "-sel", "clip"},
         "IMAGE image/png\n"},
        {"wl-paste", {"-l"}, "TYPES\n"},
        {"wl-paste", {"-t", "text/plain", "--list-types"}, "TYPES\n"},
        {"wl-paste", {"--type=image/jpeg"}, "IMAGE image/jpeg\n"},
        {"wl-paste", {"-n", "-t", "image/png"}, "IMAGE image/png\n"},
        {"wl-paste", {"--type", "image/a b", "--no-newline"}, "IMAGE image/a b\n"},
        {"wl-paste", {"--type=", "--type=image/gif"}, "IMAGE image/gif\n"},
    };
    for (const auto& c : cases) {
        vt::TestEnv env;
        vt::FakeClipboard service(clip_sock(env), {{"OK 0\n"}});
        const auto r = run_shim(env, c.shim, c.args);
        EXPECT_EQ(r.status(), 0) << c.request << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(service.requests(), std::vector<std::string>{c.request});
    }
}

TEST(ClipboardShims, AnswerForms) {
    struct Case {
        std::vector<std::string> pieces;
        std::string out;
        std::string message;  // empty: the fetch is done
    };
    const std::string padded_ok = "OK 5" + std::string(1020, ' ');
    const Case cases[] = {
        {{"OK 5\n", "hello"}, "hello", ""},
        {{"OK +5\r\n", "hel", "lo"}, "hello", ""},
        {{"OK 0\n"}, "", ""},
        {{"OK 0005\n", "hello"}, "hello", ""},
        {{std::string("OK 2\n\xff\x00", 7)}, std::string("\xff\x00", 2), ""},
        // The answer line and the body's start in one piece, and a line that
        // comes in several.
        {{"OK 5\nhello"}, "hello", ""},
        {{"O", "K", " 5", "\r", "\nhe", "llo"}, "hello", ""},
        // Bytes beyond the size are never written.
        {{"OK 3\nabcdefghij"}, "abc", ""},
        // A line of 1024 bytes ends there: the rest of the read is the body.
        {{padded_ok + "hello"}, "hello", ""},
        {{"OK -5\nhello"}, "", kUnreadable},
        {{"OK\n"}, "", kUnreadable},
        {{"OK \n"}, "", kUnreadable},
        {{"OK 5x\nhello"}, "", kUnreadable},
        {{"ok 5\nhello"}, "", kUnreadable},
        {{" OK 5\nhello"}, "", kUnreadable},
        {{"OK  5\nhello"}, "", kUnreadable},
        {{"OK ++5\nhello"}, "", kUnreadable},
        {{"OK 18446744073709551616\n"}, "", kUnreadable},
        {{"ERR \n"}, "", kUnreadable},
        {{"ERR\n"}, "", kUnreadable},
        {{std::string(1100, 'A')}, "", kUnreadable},
        {{}, "", kUnreadable},
        {{"ERR no image on the clipboard \t\r\n"}, "", "no image on the clipboard"},
        {{"ERR \xe7\x94\xbb\xe5\x83\x8f \xe3\x80\x80\xc2\xa0\xc2\x85\n"},
         "",
         "\xe7\x94\xbb\xe5\x83\x8f"},
        // A zero-width space is not white space.
        {{"ERR x\xe2\x80\x8b \n"}, "", "x\xe2\x80\x8b"},
        {{"ERR  two words\n"}, "", " two words"},
        {{"\xff"
          "OK 5\nhello"},
         "",
         "no answer from the Mac clipboard (stream did not contain valid UTF-8)"},
        // The 1024-byte limit cuts a two-byte character in half.
        {{"ERR " + std::string(1019, 'a') + "\xc3\xa9\n"},
         "",
         "no answer from the Mac clipboard (stream did not contain valid UTF-8)"},
        {{"OK 10\n", "abcd"}, "abcd", kCutShort},
        {{"OK 5"}, "", kCutShort},
        {{"OK 18446744073709551615\nabc"}, "abc", kCutShort},
        // A gigantic size and then the end of the stream.
        {{"OK 18446744073709551615\n"}, "", kCutShort},
    };
    for (const auto& c : cases) {
        vt::TestEnv env;
        vt::FakeClipboard service(clip_sock(env), {c.pieces});
        const auto r = run_shim(env, "wl-paste", {"-t", "image/png"});
        const std::string label = c.pieces.empty() ? "(nothing)" : c.pieces[0].substr(0, 40);
        EXPECT_TRUE(r.exited) << label;
        EXPECT_EQ(r.code, c.message.empty() ? 0 : 1) << label;
        EXPECT_EQ(r.out, c.out) << label;
        EXPECT_EQ(r.err, c.message.empty() ? "" : "wl-paste: " + c.message + "\n") << label;
        EXPECT_EQ(service.requests(), std::vector<std::string>{"IMAGE image/png\n"}) << label;
    }
}

TEST(ClipboardShims, LargeImagePassesIntact) {
    constexpr uint64_t kSize = 48ull << 20;
    vt::TestEnv env;
    vt::FakeClipboard service(clip_sock(env), {{"OK " + std::to_string(kSize) + "\n"}, kSize});
    const auto r = run_shim(env, "xclip", {"-selection", "clipboard", "-t", "image/png", "-o"});
    EXPECT_EQ(r.status(), 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.size(), kSize);
    EXPECT_EQ(vt::checksum(r.out), vt::generated_checksum(kSize));
}

TEST(ClipboardShims, ReaderLeavingEarlyGives141WithoutMessage) {
    constexpr uint64_t kSize = 16ull << 20;
    vt::TestEnv env;
    vt::FakeClipboard service(clip_sock(env), {{"OK " + std::to_string(kSize) + "\n"}, kSize});
    Pipe out;
    auto spec = shim_spec(env, "wl-paste", {"-t", "image/png"});
    spec.stdout_fd = out.write;
    auto child = vt::Child::start(spec);
    out.close_write();
    // Take a little of the body, then leave while the shim is still writing.
    char buf[4096];
    size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = ::read(out.read, buf + got, sizeof buf - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    out.close_read();
    const auto r = child->wait();
    // Exited with 141 itself, not killed by SIGPIPE.
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 141);
    EXPECT_EQ(r.err, "");
}

TEST(ClipboardShims, OutputThatCannotBeWrittenFails) {
    vt::TestEnv env;
    vt::FakeClipboard service(clip_sock(env), {{"OK 5\nhello"}});
    auto spec = shim_spec(env, "xclip", {"-o", "-t", "image/png"});
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    spec.stdout_fd = full;
    const auto r = vt::run(spec);
    ::close(full);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "xclip: the image did not arrive (No space left on device (os error 28))\n");
}

TEST(ClipboardShims, UnwritableStandardErrorIsFatal) {
    vt::TestEnv env;
    Pipe err;
    err.close_read();
    auto spec = shim_spec(env, "xsel", {"-i"});
    spec.stderr_fd = err.write;
    const auto r = vt::run(spec);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGABRT);
}

TEST(ClipboardShims, ConnectFailures) {
    vt::TestEnv env;
    struct Case {
        std::string socket;
        std::string message;
    };
    // A socket file whose listener has gone.
    const std::string stale = env.path("stale.sock");
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, stale.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    const std::string too_long = env.path(std::string(120, 'x') + ".sock");
    const Case cases[] = {
        {env.path("missing.sock"), kNotAvailable},
        {env.path("no-folder/clip.sock"), kNotAvailable},
        {stale, "the Mac clipboard does not answer. The session may be ending."},
        {too_long, "cannot reach the Mac clipboard (File name too long (os error 36))"},
        // An empty value is still the path, not a reason to try another.
        {"", "cannot reach the Mac clipboard (Invalid argument (os error 22))"},
    };
    for (const auto& c : cases) {
        env.set("VORN_CLIP_SOCK", c.socket);
        for (std::string shim : {"xclip", "wl-paste"}) {
            const auto r =
                run_shim(env, shim,
                         shim == "xclip" ? std::vector<std::string>{"-o", "-t", "TARGETS"}
                                         : std::vector<std::string>{"-l"});
            EXPECT_TRUE(r.exited) << c.message;
            EXPECT_EQ(r.code, 1) << c.message;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, shim + ": " + c.message + "\n");
        }
    }
}

TEST(ClipboardShims, ReachedThroughALaunchWithClipboard) {
    vt::TestEnv env;
    const std::string shims = *env.get("VORN_CLIP_BIN");
    vt::make_dirs(shims);
    for (const char* name : {"xclip", "xsel", "wl-paste"}) {
        ASSERT_EQ(::symlink(vt::vorn_entry_bin().c_str(), (shims + "/" + name).c_str()), 0);
    }
    const std::string png_signature = "\x89PNG\r\n\x1a\n";
    vt::FakeClipboard service(clip_sock(env), {{"OK 8\n" + png_signature}});
    const auto r = vt::run(env.spec(
        {"--clipboard", "--", "sh", "-c", "xclip -selection clipboard -t image/png -o; xsel -i"}));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1) << "the status of the xsel refusal";
    EXPECT_EQ(r.out, png_signature);
    EXPECT_EQ(r.err, cannot_write("xsel"));
    EXPECT_EQ(service.requests(), std::vector<std::string>{"IMAGE image/png\n"});
}

// A service that takes the request and never answers is waited for, like any
// peer of a socket; the shim then ends on SIGTERM, or on Ctrl-C at its
// terminal, the way any program does, having written nothing.
TEST(ClipboardShims, SilentServiceIsWaitedForUntilASignalEndsTheShim) {
    const std::string request = "IMAGE image/png\n";
    auto take_request = [&](int listener) {
        vt::UniqueFd held = vt::accept_within(listener);
        EXPECT_TRUE(held);
        std::string got;
        char buf[64];
        while (held && got.size() < request.size()) {
            const ssize_t n = ::recv(held.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(got, request);
        return held;
    };
    {
        vt::TestEnv env;
        vt::UniqueFd listener = vt::unix_listen(clip_sock(env));
        ASSERT_TRUE(listener);
        auto shim = vt::Child::start(shim_spec(env, "wl-paste", {"-t", "image/png"}));
        vt::UniqueFd held = take_request(listener.get());
        EXPECT_FALSE(shim->try_wait(vt::Millis(300)).has_value())
            << "the shim gave up on a silent service";
        shim->signal(SIGTERM);
        const auto r = shim->wait();
        EXPECT_EQ(r.signal, SIGTERM);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    {
        vt::TestEnv env;
        vt::UniqueFd listener = vt::unix_listen(clip_sock(env));
        ASSERT_TRUE(listener);
        auto shim = vt::PtyChild::start(
            shim_spec(env, "xclip", {"-selection", "clipboard", "-t", "image/png", "-o"}));
        vt::UniqueFd held = take_request(listener.get());
        EXPECT_FALSE(shim->try_wait(vt::Millis(300)).has_value())
            << "the shim gave up on a silent service";
        shim->type("\x03");
        const auto r = shim->wait();
        EXPECT_EQ(r.signal, SIGINT);
        EXPECT_EQ(shim->screen().find("xclip:"), std::string::npos) << shim->screen();
    }
}

}  // namespace
