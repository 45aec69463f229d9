// Unix socket addresses: what fits, and the answers for what cannot be one.
#include "base/socket_address.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace vorn {
namespace {

TEST(UnixSocketAddress, FitsThePathWithItsTerminatorOrNamesTheFault) {
    constexpr size_t kRoom = sizeof(sockaddr_un{}.sun_path);
    struct Case {
        std::string path;
        int code;             // 0 for an address
        std::string message;  // the program's own error
    };
    const Case cases[] = {
        {"/tmp/c.sock", 0, ""},
        {"c.sock", 0, ""},
        {std::string(kRoom - 1, 'x'), 0, ""},
        {std::string(kRoom, 'x'), ENAMETOOLONG, ""},
        {std::string(kRoom + 50, 'x'), ENAMETOOLONG, ""},
        {"", ENOENT, ""},
        {std::string("a\0b", 3), 0, kNulInPath},
    };
    for (const auto& c : cases) {
        const auto address = unix_socket_address(c.path);
        if (c.code == 0 && c.message.empty()) {
            ASSERT_TRUE(address.has_value()) << c.path;
            EXPECT_EQ(address->addr.sun_family, AF_UNIX);
            EXPECT_EQ(address->length, offsetof(sockaddr_un, sun_path) + c.path.size() + 1);
            EXPECT_EQ(std::string(address->addr.sun_path), c.path);
        } else {
            ASSERT_FALSE(address.has_value()) << c.path;
            EXPECT_EQ(address.error().code, c.code) << c.path;
            EXPECT_EQ(address.error().message, c.message) << c.path;
        }
    }
}

}  // namespace
}  // namespace vorn
