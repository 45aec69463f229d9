#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <thread>

#include "base/text.h"
#include "base/unique_fd.h"
#include "clipboard/fetch.h"
#include "clipboard/shims.h"

namespace vorn {
namespace {

// Code points as UTF-8.
std::string utf8(uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return out;
}

TEST(ClipboardAnswer, TrimsEveryWhiteSpaceCodePointAndNothingElse) {
    const uint32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                              0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                              0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                              0x2029, 0x202F, 0x205F, 0x3000};
    for (uint32_t cp : white) {
        EXPECT_EQ(trim_trailing_white_space("x" + utf8(cp) + utf8(cp)), "x") << std::hex << cp;
    }
    // Look-alikes and neighbours that are not White_Space.
    const uint32_t kept[] = {0x08,   0x0E,   0x1C,   0x1F,   0x84,    0x86,
                             0x9F,   0xA1,   0x180E, 0x200B, 0x200C,  0x2027,
                             0x202A, 0x2060, 0x3001, 0xFEFF, 0x1F600, 0x10FFFF};
    for (uint32_t cp : kept) {
        const std::string text = "x" + utf8(cp);
        EXPECT_EQ(trim_trailing_white_space(text + " \n"), text) << std::hex << cp;
    }
    EXPECT_EQ(trim_trailing_white_space(""), "");
    EXPECT_EQ(trim_trailing_white_space(" \t\r\n"), "");
    EXPECT_EQ(trim_trailing_white_space("  lead kept \r\n"), "  lead kept");
    EXPECT_EQ(trim_trailing_white_space("a b"), "a b");
}

TEST(ClipboardAnswer, Parse) {
    struct Case {
        std::string line;
        Answer expected;
    };
    const Case cases[] = {
        {"OK 5\n", AnswerOk{5}},
        {"OK +5\r\n", AnswerOk{5}},
        {"OK 0", AnswerOk{0}},
        {"OK 000123\n", AnswerOk{123}},
        {"OK 18446744073709551615\n", AnswerOk{UINT64_MAX}},
        {"OK 00000000000000000000018446744073709551615\n", AnswerOk{UINT64_MAX}},
        {"OK 7\xe3\x80\x80\n", AnswerOk{7}},
        {"OK 18446744073709551616\n", AnswerUnreadable{}},
        {"OK 99999999999999999999\n", AnswerUnreadable{}},
        {"OK -5\n", AnswerUnreadable{}},
        {"OK +\n", AnswerUnreadable{}},
        {"OK ++5\n", AnswerUnreadable{}},
        {"OK +-5\n", AnswerUnreadable{}},
        {"OK\n", AnswerUnreadable{}},
        {"OK \n", AnswerUnreadable{}},
        {"OK 5x\n", AnswerUnreadable{}},
        {"OK 5 6\n", AnswerUnreadable{}},
        {"OK \xef\xbc\x95\n", AnswerUnreadable{}},  // a full-width digit five
        {"OK  5\n", AnswerUnreadable{}},
        {"OK\t5\n", AnswerUnreadable{}},
        {"ok 5\n", AnswerUnreadable{}},
        {" OK 5\n", AnswerUnreadable{}},
        {"", AnswerUnreadable{}},
        {"\n", AnswerUnreadable{}},
        {"TYPES\n", AnswerUnreadable{}},
        {"ERR nothing here\n", AnswerErr{"nothing here"}},
        {"ERR nothing here \t\xc2\xa0\r\n", AnswerErr{"nothing here"}},
        {"ERR  padded\n", AnswerErr{" padded"}},
        {"ERR OK 5\n", AnswerErr{"OK 5"}},
        {"ERR \n", AnswerUnreadable{}},
        {"ERR\n", AnswerUnreadable{}},
        {"ERR", AnswerUnreadable{}},
        {"err x\n", AnswerUnreadable{}},
        {"ERRx\n", AnswerUnreadable{}},
    };
    for (const auto& c : cases) {
        const Answer got = parse_answer(c.line);
        ASSERT_EQ(got.index(), c.expected.index()) << c.line;
        if (const auto* ok = std::get_if<AnswerOk>(&got)) {
            EXPECT_EQ(ok->size, std::get<AnswerOk>(c.expected).size) << c.line;
        }
        if (const auto* err = std::get_if<AnswerErr>(&got)) {
            EXPECT_EQ(err->text, std::get<AnswerErr>(c.expected).text) << c.line;
        }
    }
}

TEST(ClipboardRequest, WireBytes) {
    EXPECT_EQ(request_bytes(ClipboardRequest::list_types()), "TYPES\n");
    EXPECT_EQ(request_bytes(ClipboardRequest::image("image/png")), "IMAGE image/png\n");
    EXPECT_EQ(request_bytes(ClipboardRequest::image("image/x y\"z")), "IMAGE image/x y\"z\n");
}

ShimCommand parse(std::string_view shim, std::initializer_list<std::string_view> args) {
    std::vector<std::string_view> v(args);
    return parse_shim_args(shim, v);
}

TEST(ShimArgs, Requests) {
    struct Case {
        std::string_view shim;
        std::vector<std::string_view> args;
        ClipboardRequest expected;
    };
    const Case cases[] = {
        {"xclip", {"-o", "-t", "image/png"}, ClipboardRequest::image("image/png")},
        {"xclip", {"-t", "image/png", "-o"}, ClipboardRequest::image("image/png")},
        {"xclip", {"-out", "-target", "TARGETS"}, ClipboardRequest::list_types()},
        {"xclip", {"-o", "-t", "image/png", "-t", "TARGETS"}, ClipboardRequest::list_types()},
        {"xclip", {"-o", "-t", "image/"}, ClipboardRequest::image("image/")},
        {"xclip", {"-o", "-t", "image/-o"}, ClipboardRequest::image("image/-o")},
        {"xclip",
         {"-selection", "c", "-sel", "clip", "-se", "clipboard", "-o", "-t", "image/a"},
         ClipboardRequest::image("image/a")},
        // -display and -loops take the next argument, whatever it looks like.
        {"xclip",
         {"-o", "-t", "image/a", "-d", "-i", "-l", "file.txt"},
         ClipboardRequest::image("image/a")},
        {"xclip", {"-o", "-t", "image/a", "-loops"}, ClipboardRequest::image("image/a")},
        {"xclip",
         {"-o", "-verbose", "-silent", "-quiet", "-rmlastnl", "-r", "-noutf8", "-t", "image/a"},
         ClipboardRequest::image("image/a")},
        {"wl-paste", {"-l"}, ClipboardRequest::list_types()},
        {"wl-paste", {"--list-types", "-t", "text/plain"}, ClipboardRequest::list_types()},
        {"wl-paste", {"-l", "--type="}, ClipboardRequest::list_types()},
        {"wl-paste", {"--type=image/jpeg"}, ClipboardRequest::image("image/jpeg")},
        {"wl-paste", {"--type=image/a=b"}, ClipboardRequest::image("image/a=b")},
        {"wl-paste", {"-t", "-l", "--type", "image/png"}, ClipboardRequest::image("image/png")},
        {"wl-paste",
         {"-n", "--no-newline", "-t", "image/png"},
         ClipboardRequest::image("image/png")},
    };
    for (const auto& c : cases) {
        const ShimCommand got = parse_shim_args(c.shim, c.args);
        ASSERT_TRUE(std::holds_alternative<ClipboardRequest>(got))
            << std::get<ShimRefusal>(got).line;
        EXPECT_EQ(std::get<ClipboardRequest>(got), c.expected) << c.expected.type;
    }
}

TEST(ShimArgs, FirstRefusalWins) {
    struct Case {
        std::string_view shim;
        std::vector<std::string_view> args;
        std::string line;
    };
    const std::string selection = "xclip: only the clipboard selection comes from the Mac, not ";
    const Case cases[] = {
        {"xclip", {"-h", "-i"}, "xclip: -h is not supported here."},
        {"xclip", {"-i", "-h"}, "xclip: the container cannot write the Mac clipboard."},
        {"xclip", {"-sel", "primary", "-h"}, selection + "primary."},
        {"xclip", {"-o", "-t", "image/png", "-sel", "-o"}, selection + "-o."},
        {"xclip", {"-o", "-t", "image/png", "-selection", "CLIPBOARD"}, selection + "CLIPBOARD."},
        {"xclip", {"-o", "-t", "image/png", "--out"}, "xclip: --out is not supported here."},
        {"xclip",
         {"-t", "image/png", "-loops", "-o"},
         "xclip: the container cannot write the Mac clipboard."},
        {"wl-paste", {"-x", "-p"}, "wl-paste: -x is not supported here."},
        {"wl-paste",
         {"--type"},
         "wl-paste: only images pass from the Mac clipboard into the container, not text."},
        {"wl-paste", {"--TYPE=image/png"}, "wl-paste: --TYPE=image/png is not supported here."},
        {"wl-paste",
         {"-t", "image/png", "-t", "\xff"},
         "wl-paste: only images pass from the Mac clipboard into the container, not text."},
        // A type is sent as one request line, so it cannot hold a line feed.
        {"xclip",
         {"-o", "-t", "image/png\nTYPES"},
         "xclip: only images pass from the Mac clipboard into the container, not text."},
        {"wl-paste",
         {"--type=image/png\n"},
         "wl-paste: only images pass from the Mac clipboard into the container, not text."},
        {"wl-paste",
         {"-t", "image/png\nIMAGE image/gif"},
         "wl-paste: only images pass from the Mac clipboard into the container, not text."},
        // Any name but the other two reads its arguments as xsel.
        {"other",
         {"-o"},
         "other: only images pass from the Mac clipboard into the container, not text."},
        {"other", {"x", "--append"}, "other: the container cannot write the Mac clipboard."},
    };
    for (const auto& c : cases) {
        const ShimCommand got = parse_shim_args(c.shim, c.args);
        ASSERT_TRUE(std::holds_alternative<ShimRefusal>(got)) << c.line;
        EXPECT_EQ(std::get<ShimRefusal>(got).line, c.line);
    }
    // "-d" as the last argument: nothing to skip, then the end rules apply.
    EXPECT_EQ(parse("xclip", {"-o", "-d"}),
              ShimCommand(ShimRefusal{
                  "xclip: only images pass from the Mac clipboard into the container, not text."}));
}

// The service side of a connected pair, played by a thread.
struct Pair {
    UniqueFd client, service;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        client.reset(fds[0]);
        service.reset(fds[1]);
    }
};

void wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
}

TEST(ClipboardExchange, FailuresOnTheConnection) {
    const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    {
        // The service is gone before the request: an error, never a SIGPIPE
        // that would end this very test program.
        Pair pair;
        pair.service.reset();
        const auto got =
            exchange_with_service(pair.client.get(), ClipboardRequest::list_types(), null.get());
        ASSERT_TRUE(std::holds_alternative<FetchFailed>(got));
        EXPECT_EQ(std::get<FetchFailed>(got).message,
                  "cannot ask the Mac clipboard (Broken pipe (os error 32))");
    }
    {
        // Closing with the request unread resets the connection.
        Pair pair;
        std::thread service([&] {
            wait_readable(pair.service.get());
            pair.service.reset();
        });
        const auto got =
            exchange_with_service(pair.client.get(), ClipboardRequest::list_types(), null.get());
        service.join();
        ASSERT_TRUE(std::holds_alternative<FetchFailed>(got));
        EXPECT_EQ(std::get<FetchFailed>(got).message,
                  "no answer from the Mac clipboard (Connection reset by peer (os error 104))");
    }
    {
        Pair pair;
        std::thread service([&] {
            wait_readable(pair.service.get());
            (void)!::write(pair.service.get(), "OK 10\nab", 8);
            pair.service.reset();
        });
        const auto got = exchange_with_service(pair.client.get(),
                                               ClipboardRequest::image("image/png"), null.get());
        service.join();
        ASSERT_TRUE(std::holds_alternative<FetchFailed>(got));
        EXPECT_EQ(std::get<FetchFailed>(got).message,
                  "the image did not arrive (Connection reset by peer (os error 104))");
    }
    {
        // Standard output open for reading only.
        Pair pair;
        const UniqueFd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::write(pair.service.get(), "OK 2\nab", 7), 7);
        const auto got = exchange_with_service(
            pair.client.get(), ClipboardRequest::image("image/png"), read_only.get());
        ASSERT_TRUE(std::holds_alternative<FetchFailed>(got));
        EXPECT_EQ(std::get<FetchFailed>(got).message,
                  "the image did not arrive (Bad file descriptor (os error 9))");
    }
}

TEST(ClipboardFetch, PathsThatCannotBeAddresses) {
    const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        // A leading NUL would name an abstract socket, which no file path means.
        {std::string("\0abstract", 9),
         "cannot reach the Mac clipboard (file name contained an unexpected NUL byte)"},
        {std::string(107, 'a'),
         "the Mac clipboard is not available in this session, because the "
         "session started without a terminal."},
        {std::string(108, 'a'),
         "cannot reach the Mac clipboard (File name too long (os error 36))"},
    };
    for (const auto& c : cases) {
        const auto got = fetch_clipboard(c.path, ClipboardRequest::list_types(), null.get());
        ASSERT_TRUE(std::holds_alternative<FetchFailed>(got));
        EXPECT_EQ(std::get<FetchFailed>(got).message, c.message);
    }
}

}  // namespace
}  // namespace vorn
