#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// The entry program's own PATH: absent when unset, which is not the same as empty.
using PathValue = std::optional<std::string>;

inline constexpr std::string_view kDefaultPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The PATH value, or the default PATH when it is absent.
std::string_view effective_path(const PathValue& path_value);

enum class FileClass { runnable, not_runnable, absent };

// Follows links; runnable needs a regular file with an execute bit that
// access(X_OK) grants.
FileClass classify_path(const std::string& path);

struct Resolution {
    enum class Kind { found, not_executable, not_found };
    Kind kind = Kind::not_found;
    std::string path;  // the program path (found) or the first non-runnable candidate
};

Resolution resolve_command(std::string_view word, const PathValue& path_value);

// For a resolution other than found: the explaining launcher message, then
// exit 127 (not found) or 126 (not executable).
[[noreturn]] void exit_unresolvable(const Resolution& resolution, std::string_view word,
                                    const PathValue& path_value);

// "{program} has no execute bit. Run chmod 755 on it in the Containerfile."
// (message bodies here are without the "[launch] " prefix; paths are given as
// bytes and shown in their display form)
std::string no_execute_bit_message(std::string_view program);

// Why a file that is there cannot run: the no-execute-bit message, or, for a
// file with an execute bit on a file system mounted noexec, that mount.
std::string not_runnable_message(const std::string& program);

struct Fault {
    enum class Kind { missing_name, carriage_return, env_needs_s };
    Kind kind;
    std::string name;         // missing_name
    std::string interpreter;  // env_needs_s
    std::string words;        // env_needs_s
};

// Looks at the program's #! line (at most 256 bytes are read).
std::optional<Fault> inspect_program(const std::string& program, const PathValue& path_value);

// The same judgement over the first bytes of a program file; only the first
// 256 of them count, as only they would have been read.
std::optional<Fault> inspect_head(std::string_view head, const PathValue& path_value);

std::string fault_message(std::string_view program, const Fault& fault);

// Where the kernel's program handlers registered with binfmt_misc are shown.
inline constexpr std::string_view kBinfmtMiscFolder = "/proc/sys/fs/binfmt_misc";

// The error number with which starting the program would fail, found by
// reading it as the kernel's program handlers do: the binfmt_misc handlers
// that misc_folder shows, ELF programs of the kernel's machine with their
// program loader, #! scripts with their interpreter, in turn as far as the kernel
// follows them. 0 when it would start, or when what decides it cannot be
// read. The program must be runnable as classify_path judges it.
int predict_start_error(const std::string& program,
                        std::string_view misc_folder = kBinfmtMiscFolder);

// The program failed to start with the system error `error`: explain, exit 126.
[[noreturn]] void exit_start_failure(const std::string& program, int error,
                                     const PathValue& path_value);

// The whole of --check: prints the program path and exits 0, or explains and
// exits 126 or 127 with the words and status the launch would end with: the
// same resolution and inspection, and the start failure it would meet.
[[noreturn]] void check_command(std::string_view word, const PathValue& path_value);

}  // namespace vorn
