// The environment as the entry reads it once for every part.
#include "main/environment.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vorn {
namespace {

using Value = std::optional<std::string>;

TEST(Environment, EachVariableIsItsFirstEntryAndEveryEntryIsKept) {
    struct Case {
        std::vector<const char*> entries;
        Value path, home, session_dir, passwd, rootfs, clip_bin, clip_sock;
    };
    const Case cases[] = {
        {{}, {}, {}, {}, {}, {}, {}, {}},
        {{"PATH=/bin", "HOME=/h", "VORN_ENTRY_SESSION_DIR=/s", "VORN_ENTRY_PASSWD=/p",
          "VORN_ENTRY_ROOTFS=/r", "VORN_CLIP_BIN=/c", "VORN_CLIP_SOCK=/k"},
         "/bin",
         "/h",
         "/s",
         "/p",
         "/r",
         "/c",
         "/k"},
        // Set but empty is not unset; a value may hold "=".
        {{"PATH=", "HOME=a=b"}, "", "a=b", {}, {}, {}, {}, {}},
        // The first of two entries counts, as for getenv.
        {{"PATH=/first", "PATH=/second"}, "/first", {}, {}, {}, {}, {}, {}},
        // An entry without "=" names nothing; names are matched whole.
        {{"PATH", "PATHX=/x", "XPATH=/y", "path=/z", "HOME"}, {}, {}, {}, {}, {}, {}, {}},
        {{"VORN_CLIP_SOCK=", "VORN_CLIP_SOCK=/later"}, {}, {}, {}, {}, {}, {}, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> envp = c.entries;
        envp.push_back(nullptr);
        const Environment env = read_environment(envp.data());
        const std::string shown = c.entries.empty() ? "(none)" : c.entries.front();
        EXPECT_EQ(env.path, c.path) << shown;
        EXPECT_EQ(env.home, c.home) << shown;
        EXPECT_EQ(env.session_dir, c.session_dir) << shown;
        EXPECT_EQ(env.passwd, c.passwd) << shown;
        EXPECT_EQ(env.rootfs, c.rootfs) << shown;
        EXPECT_EQ(env.clip_bin, c.clip_bin) << shown;
        EXPECT_EQ(env.clip_sock, c.clip_sock) << shown;
        ASSERT_EQ(env.entries.size(), c.entries.size()) << shown;
        for (size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ(env.entries[i], c.entries[i]) << shown;
        }
    }
    EXPECT_TRUE(read_environment(nullptr).entries.empty());
}

}  // namespace
}  // namespace vorn
