// The rule that tells a copy file "copy-{pid}" among a session folder's entries.

#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "main/copies.h"
#include "main/session_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view name = input.view();

    const auto pid = vorn::copy_file_pid(name);

    // "copy-", an optional sign, digits within the signed 32-bit range.
    std::string_view digits = name.starts_with("copy-") ? name.substr(5) : std::string_view();
    const bool negative = digits.starts_with('-');
    if (negative || digits.starts_with('+')) digits.remove_prefix(1);
    const bool is_copy_file = name.starts_with("copy-") && vfuzz::all_digits(digits) &&
                              vfuzz::at_most(digits, negative ? "2147483648" : "2147483647");
    VFUZZ_CHECK(pid.has_value() == is_copy_file);
    if (!pid) return 0;

    const int64_t value = *pid;
    VFUZZ_CHECK(std::to_string(value < 0 ? -value : value) == vfuzz::significant_digits(digits));
    VFUZZ_CHECK(value <= 0 || !negative);
    // The name a copy gives its own file is read back as its process ID.
    if (*pid > 0) VFUZZ_CHECK(vorn::copy_file_pid(vorn::copy_file_name(*pid)) == *pid);
    return 0;
}
