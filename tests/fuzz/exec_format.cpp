// What the kernel's program handlers make of a file, over arbitrary bytes:
// the input is at once a program file (ELF header, program header table and
// loader name, #! line), a program loader, and a binfmt_misc handler entry.

#include <cerrno>
#include <string>

#include "fuzz_support.h"
#include "main/exec_format.h"

namespace {

vorn::ReadAt reader(std::string_view file) {
    return [file](uint64_t offset, size_t size) -> std::optional<std::string> {
        if (offset >= file.size()) return std::string();
        return std::string(file.substr(static_cast<size_t>(offset), size));
    };
}

bool has_any_of(std::string_view s, std::string_view bytes) {
    return s.find_first_of(bytes) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view file = input.view();

    if (const auto header = vorn::parse_elf_header(file)) {
        VFUZZ_CHECK(
            file.starts_with("\x7f"
                             "ELF"));
        if (vorn::elf_runs_here(*header)) {
            const auto loader = vorn::elf_loader(*header, reader(file));
            if (loader && *loader) {
                // A name the file holds, NUL-terminated, within the kernel's bound.
                VFUZZ_CHECK((*loader)->size() < 4096);
                VFUZZ_CHECK(!has_any_of(**loader, std::string_view("\0", 1)));
                VFUZZ_CHECK(file.find(**loader + '\0') != std::string_view::npos);
            } else if (!loader) {
                VFUZZ_CHECK(loader.error() == ENOEXEC || loader.error() == EIO ||
                            loader.error() == EINVAL);
            }
            // The same bytes as the program's loader.
            const int error = vorn::loader_error(*header, reader(file));
            VFUZZ_CHECK(error == 0 || error == EIO || error == ELIBBAD);
        }
    }

    const auto interpreter = vorn::hash_bang_interpreter(file);
    if (interpreter) {
        VFUZZ_CHECK(file.starts_with("#!"));
        VFUZZ_CHECK(interpreter->size() <= vorn::kExecHeadSize - 3);
        VFUZZ_CHECK(!has_any_of(*interpreter, std::string_view(" \t\n\0", 4)));
        VFUZZ_CHECK(file.substr(0, vorn::kExecHeadSize).find(*interpreter) !=
                    std::string_view::npos);
    } else {
        VFUZZ_CHECK(interpreter.error() == ENOEXEC);
    }

    if (const auto handler = vorn::parse_misc_handler(file)) {
        VFUZZ_CHECK(file.starts_with("enabled") || file.starts_with("disabled"));
        VFUZZ_CHECK(handler->by_extension == handler->magic.empty());
        const bool takes = vorn::misc_handler_takes(*handler, file, "/srv/app.vorn");
        if (!handler->enabled) VFUZZ_CHECK(!takes);
        if (handler->by_extension)
            VFUZZ_CHECK(takes == (handler->enabled && handler->extension == "vorn"));
    }
    return 0;
}
