// The superuser's home read from passwd-file text.

#include <string>

#include "fuzz_support.h"
#include "main/ssh_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view content = input.view();

    const auto home = vorn::root_home_from_passwd(content);
    if (home) {
        // One field of one line.
        VFUZZ_CHECK(home->find_first_of(":\n") == std::string::npos);
        VFUZZ_CHECK(content.find(*home) != std::string_view::npos);
    }

    // Lines that do not qualify, put in front, change nothing: too few
    // fields, another user ID, a user ID that is only nearly "0", no fields.
    const std::string content_text(content);
    for (const char* line : {"root:x:0:0:root:/short\n", "u:x:1000:1000::/home/u:/bin/sh\n",
                             "r:x: 0:0::/spaced:/bin/sh\n", "r:x:00:0::/zeros:/bin/sh\n", "\n"}) {
        VFUZZ_CHECK(vorn::root_home_from_passwd(line + content_text) == home);
    }
    // A qualifying line in front wins, with as many fields as it likes.
    VFUZZ_CHECK(vorn::root_home_from_passwd("r:x:0:0::/first:/bin/sh:more\n" + content_text) ==
                "/first");
    // Lines after the first qualifying one are never looked at.
    if (home)
        VFUZZ_CHECK(vorn::root_home_from_passwd(content_text + "\nr:x:0:0::/later:s") == home);
    return 0;
}
