// The command line through the real binary: every usage error is one launcher
// message, the usage text and status 2.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/test_env.h"

namespace {

const std::string kUsage =
    "usage: vorn-entry [--tcp PORT=SOCK]... [--unix SOCK=PORT]... [--clipboard] [--shell] -- CMD "
    "[ARGS]...\n"
    "       vorn-entry [--clipboard] --join [--copy-id ID] [--shell] -- CMD [ARGS]...\n"
    "       vorn-entry --hangup ID\n"
    "       vorn-entry --check CMD\n";

TEST(Usage, ErrorsAreOneMessageThenUsageAndStatus2) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{}, "missing -- before the command"},
        {{"--"}, "no command after --"},
        {{"--tcp", "8080"}, "8080 has no ="},
        {{"--tcp", "=/s", "--", "x"}, " is not a port number"},
        {{"--unix", "/a=b=8080", "--", "x"}, "b=8080 is not a port number"},
        {{"--copy-id", "ABC", "--join", "--", "x"},
         "ABC is not a copy ID, which is 1 to 64 lowercase hex digits"},
        {{"--copy-id", "abc", "--", "x"}, "--copy-id names a joined copy, so it needs --join"},
        {{"--join", "--tcp", "1=/s", "--", "x"},
         "--join takes no listeners, since the session's relay already runs"},
        {{"--hangup"}, "--hangup needs a value"},
        {{"--hangup", "abc", "extra"}, "--hangup takes only the copy ID"},
        {{"--check", "ls", "extra"}, "--check takes only the command"},
        {{"--tcp=80=/s", "--", "x"}, "unknown argument --tcp=80=/s"},
        {{"\xff\x80-x", "--", "x"}, "unknown argument \xef\xbf\xbd\xef\xbf\xbd-x"},
        {{"a\nb"}, "unknown argument a\nb"},
    };
    vt::TestEnv env;
    for (const auto& c : cases) {
        const auto r = vt::run(env.spec(c.args));
        EXPECT_EQ(r.status(), 2) << c.message;
        EXPECT_EQ(r.err, "[launch] " + c.message + "\n" + kUsage);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Usage, ShimNamesAreMatchedOnTheFinalComponentOnly) {
    vt::TestEnv env;
    for (std::string argv0 : {"xclip.sh", "XCLIP", "/usr/bin/wl-paste/.."}) {
        auto spec = env.spec({"-o"});
        spec.argv0 = argv0;
        const auto r = vt::run(spec);
        EXPECT_EQ(r.status(), 2) << argv0;
        EXPECT_EQ(r.err, "[launch] unknown argument -o\n" + kUsage) << argv0;
    }
}

}  // namespace
