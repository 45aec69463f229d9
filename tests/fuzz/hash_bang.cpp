// The #! inspection over a program file's first bytes, once over the bytes
// themselves and once through a real file, which must agree.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/io.h"
#include "base/path.h"
#include "fuzz_support.h"
#include "main/check.h"

namespace {

constexpr size_t kLimit = 256;

// A private folder for the one program file, removed when the run ends.
const std::string& program_path() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                             "/vorn-fuzz-hash-bang.XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) std::abort();
        static std::string removed_at_exit;
        removed_at_exit = folder;
        std::atexit([] {
            (void)::unlink((removed_at_exit + "/program").c_str());
            (void)::rmdir(removed_at_exit.c_str());
        });
        return folder + "/program";
    }();
    return path;
}

void write_program(std::string_view bytes) {
    const int fd = ::open(program_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !vorn::write_all(fd, bytes)) std::abort();
    ::close(fd);
}

bool same_fault(const std::optional<vorn::Fault>& a, const std::optional<vorn::Fault>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->kind == b->kind && a->name == b->name && a->interpreter == b->interpreter &&
           a->words == b->words;
}

bool has_blank(std::string_view s) {
    return s.find_first_of(" \t") != std::string_view::npos;
}

// The #! line as the kernel sees it: after "#!", up to a line feed or NUL,
// spaces and tabs trimmed.
std::string_view trimmed_line(std::string_view head) {
    std::string_view line = head.substr(0, kLimit).substr(2);
    line = line.substr(0, line.find_first_of(std::string_view("\n\0", 2)));
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vfuzz::HeapBytes input(data, size);
    const std::string_view head = input.view();
    // A PATH that is there on every machine, so that env's words can be found.
    static const vorn::PathValue path_value = std::string("/usr/bin:/bin");

    const auto fault = vorn::inspect_head(head, path_value);

    write_program(head);
    VFUZZ_CHECK(same_fault(vorn::inspect_program(program_path(), path_value), fault));

    if (!fault) return 0;
    VFUZZ_CHECK(head.starts_with("#!"));
    const std::string_view line = trimmed_line(head);
    VFUZZ_CHECK(!line.empty());
    switch (fault->kind) {
        case vorn::Fault::Kind::carriage_return:
            VFUZZ_CHECK(line.back() == '\r');
            break;
        case vorn::Fault::Kind::missing_name:
            VFUZZ_CHECK(!fault->name.empty() && !has_blank(fault->name));
            VFUZZ_CHECK(line.find(fault->name) != std::string_view::npos);
            VFUZZ_CHECK(vorn::classify_path(fault->name) != vorn::FileClass::runnable ||
                        fault->name.find('/') == std::string::npos);
            break;
        case vorn::Fault::Kind::env_needs_s:
            VFUZZ_CHECK(line.starts_with(fault->interpreter));
            VFUZZ_CHECK(vorn::final_component(fault->interpreter) == "env");
            VFUZZ_CHECK(has_blank(fault->words) && !fault->words.starts_with('-'));
            VFUZZ_CHECK(fault->words.find('=') == std::string::npos);
            VFUZZ_CHECK(line.ends_with(fault->words));
            break;
    }
    // Whatever the file holds, the message about it is one line.
    VFUZZ_CHECK(vfuzz::is_one_line_text(vorn::fault_message("/srv/app/run", *fault)));
    return 0;
}
