#include "main/cli.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace vorn {
namespace {

std::expected<Mode, UsageError> parse(std::initializer_list<std::string_view> args) {
    std::vector<std::string_view> v(args);
    return parse_command_line(v);
}

TEST(Cli, UsageErrors) {
    struct Case {
        std::vector<std::string_view> args;
        std::string message;
    };
    const std::string copy_id_tail = " is not a copy ID, which is 1 to 64 lowercase hex digits";
    const Case cases[] = {
        {{}, "missing -- before the command"},
        {{"--"}, "no command after --"},
        {{"--shell"}, "missing -- before the command"},
        {{"--tcp", "8080"}, "8080 has no ="},
        {{"--tcp"}, "--tcp needs a value"},
        {{"--unix", "/a=b=8080", "--", "x"}, "b=8080 is not a port number"},
        {{"--tcp", "0=/s", "--", "x"}, "0 is not a port number"},
        {{"--tcp", "65536=/s", "--", "x"}, "65536 is not a port number"},
        {{"--tcp", "-1=/s", "--", "x"}, "-1 is not a port number"},
        {{"--tcp", "=/s", "--", "x"}, " is not a port number"},
        {{"--tcp", "+=/s", "--", "x"}, "+ is not a port number"},
        {{"--tcp", "++1=/s", "--", "x"}, "++1 is not a port number"},
        {{"--tcp", " 80=/s", "--", "x"}, " 80 is not a port number"},
        {{"--copy-id", "ABC", "--join", "--", "x"}, "ABC" + copy_id_tail},
        {{"--copy-id",
          std::string_view("0123456789012345678901234567890123456789012345678901234567890123"
                           "4")},
         "01234567890123456789012345678901234567890123456789012345678901234" + copy_id_tail},
        {{"--copy-id", "abc", "--", "x"}, "--copy-id names a joined copy, so it needs --join"},
        {{"--join", "--tcp", "1=/s", "--", "x"},
         "--join takes no listeners, since the session's relay already runs"},
        {{"--join", "--unix", "/s=1", "--", "x"},
         "--join takes no listeners, since the session's relay already runs"},
        {{"--copy-id", "abc", "--tcp", "1=/s", "--", "x"},
         "--copy-id names a joined copy, so it needs --join"},
        {{"--copy-id", "abc", "--"}, "no command after --"},
        {{"--hangup"}, "--hangup needs a value"},
        {{"--hangup", "xyz", "extra"}, "xyz" + copy_id_tail},
        {{"--hangup", "abc", "extra"}, "--hangup takes only the copy ID"},
        {{"--shell", "--hangup", "abc"}, "--hangup takes only the copy ID"},
        {{"--shell", "--hangup"}, "--hangup needs a value"},
        {{"--check"}, "--check needs a value"},
        {{"--check", "ls", "extra"}, "--check takes only the command"},
        {{"--shell", "--check", "ls"}, "--check takes only the command"},
        {{"--tcp=80=/s", "--", "x"}, "unknown argument --tcp=80=/s"},
        {{"-h"}, "unknown argument -h"},
        {{"--help"}, "unknown argument --help"},
        {{"--SHELL", "--", "x"}, "unknown argument --SHELL"},
        {{"bad\xff", "--", "x"}, "unknown argument bad\xef\xbf\xbd"},
        {{"--tcp", "8\xff=/s", "--", "x"}, "8\xef\xbf\xbd is not a port number"},
        {{"--tcp", "x\xff", "--", "x"}, "x\xef\xbf\xbd has no ="},
        // The first error wins; nothing after it is looked at.
        {{"--bogus", "--tcp"}, "unknown argument --bogus"},
    };
    for (const auto& c : cases) {
        const auto r = parse_command_line(c.args);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error().message, c.message);
    }
}

TEST(Cli, LaunchOptions) {
    {
        const auto r =
            parse({"--tcp", "8080=/a=b", "--tcp", "+80=/s", "--tcp", "00080=", "--unix",
                   "rel.sock=0443", "--clipboard", "--shell", "--shell", "--", "--tcp", "1=x"});
        ASSERT_TRUE(r.has_value()) << r.error().message;
        const auto& o = std::get<LaunchOptions>(*r);
        EXPECT_EQ(o.tcp_specs, (std::vector<TcpSpec>{{8080, "/a=b"}, {80, "/s"}, {80, ""}}));
        EXPECT_EQ(o.unix_specs, (std::vector<UnixSpec>{{"rel.sock", 443}}));
        EXPECT_EQ(o.command, (std::vector<std::string>{"--tcp", "1=x"}));
        EXPECT_TRUE(o.clipboard);
        EXPECT_TRUE(o.shell);
        EXPECT_FALSE(o.join);
        EXPECT_FALSE(o.copy_id);
    }
    {
        const auto r = parse({"--copy-id", "a", "--copy-id", "b", "--join", "--", "x"});
        ASSERT_TRUE(r.has_value());
        const auto& o = std::get<LaunchOptions>(*r);
        EXPECT_EQ(o.copy_id, "b");
        EXPECT_TRUE(o.join);
    }
    {
        const auto r = parse({"--shell", "--"});
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(std::get<LaunchOptions>(*r).command.empty());
    }
    {
        // A value is taken whatever it is, even "--".
        const auto r = parse({"--tcp", "1=--", "--", "\xff\xfe", "a b"});
        ASSERT_TRUE(r.has_value());
        const auto& o = std::get<LaunchOptions>(*r);
        EXPECT_EQ(o.tcp_specs[0].socket_path, "--");
        EXPECT_EQ(o.command, (std::vector<std::string>{"\xff\xfe", "a b"}));
    }
}

TEST(Cli, CheckAndHangupModes) {
    EXPECT_EQ(std::get<CheckMode>(*parse({"--check", "--"})).command, "--");
    EXPECT_EQ(std::get<CheckMode>(*parse({"--check", ""})).command, "");
    EXPECT_EQ(std::get<CheckMode>(*parse({"--check", "\xff"})).command, "\xff");
    EXPECT_EQ(std::get<HangupMode>(*parse({"--hangup", "00ff"})).copy_id, "00ff");
}

TEST(Cli, PortsAndCopyIds) {
    EXPECT_EQ(parse_port("1"), 1);
    EXPECT_EQ(parse_port("65535"), 65535);
    EXPECT_EQ(parse_port("+0080"), 80);
    EXPECT_EQ(parse_port("000000000000000000000001"), 1);
    for (std::string_view bad :
         {"", "0", "+", "65536", "99999999999999999999", "-1", "1 ", "0x10", "+-1", "１"}) {
        EXPECT_FALSE(parse_port(bad).has_value()) << bad;
    }
    EXPECT_TRUE(is_copy_id("0"));
    EXPECT_TRUE(is_copy_id(std::string(64, 'f')));
    EXPECT_FALSE(is_copy_id(std::string(65, 'f')));
    EXPECT_FALSE(is_copy_id(""));
    EXPECT_FALSE(is_copy_id("ABC"));
    EXPECT_FALSE(is_copy_id("g"));
}

TEST(Cli, ShimNames) {
    struct Case {
        std::string_view argv0;
        std::optional<std::string_view> shim;
    };
    const Case cases[] = {
        {"xclip", "xclip"},
        {"/usr/local/bin/xclip", "xclip"},
        {"/opt/vorn/bin/wl-paste", "wl-paste"},
        {"xsel/", "xsel"},
        {"./xsel/.", "xsel"},
        {"xclip.sh", std::nullopt},
        {"XCLIP", std::nullopt},
        {"xclip/..", std::nullopt},
        {"", std::nullopt},
        {"/", std::nullopt},
        {"vorn-entry", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(shim_name(c.argv0), c.shim) << c.argv0;
}

}  // namespace
}  // namespace vorn
