#include "main/check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/error.h"
#include "base/exit.h"
#include "base/io.h"
#include "base/path.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "main/exec_format.h"
#include "main/message.h"

namespace vorn {
namespace {

// The kernel looks at no more than this of a file for its #! line, so neither
// do we: a longer line is cut off by the kernel in ways we cannot judge.
constexpr size_t kHashBangLimit = 256;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool has_blank(std::string_view s) {
    return s.find_first_of(" \t") != std::string_view::npos;
}

// One element of the search path joined with the command word; an empty
// element stands for the current directory.
std::string candidate(std::string_view element, std::string_view word) {
    if (element.empty()) {
        std::string out("./");
        out.append(word);
        return out;
    }
    return join_path(element, word);
}

// Up to kHashBangLimit bytes from the start of the file; nothing when it
// cannot be opened or read. O_NONBLOCK keeps a FIFO that took the program's
// place from stalling us; for regular files it changes nothing.
std::optional<std::string> read_head(const std::string& program) {
    if (has_nul(program)) return std::nullopt;
    UniqueFd fd(::open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return std::nullopt;
    auto head = read_up_to(fd.get(), kHashBangLimit);
    if (!head) return std::nullopt;
    return std::move(*head);
}

// The kernel follows at most this many #! and binfmt_misc hand-overs in a
// row; the next one fails with ELOOP.
constexpr int kMaxHandOvers = 5;

// A /proc file that describes a binfmt_misc handler fits in a page.
constexpr size_t kMiscEntryLimit = 4096;

UniqueFd open_for_reading(int folder_fd, const std::string& path) {
    return UniqueFd(
        ::openat(folder_fd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

ReadAt reader_of(int fd) {
    return [fd](uint64_t offset, size_t size) -> std::optional<std::string> {
        auto bytes = read_up_to_at(fd, offset, size);
        if (!bytes) return std::nullopt;
        return std::move(*bytes);
    };
}

// What the kernel's open of a program, interpreter or loader for execution
// fails with: a regular file that this process may execute, on a file
// system that allows it.
int exec_open_error(const std::string& path) {
    // The kernel walks an empty name (from "#!" with nothing after it) to the
    // current folder.
    const char* name = path.empty() ? "." : path.c_str();
    struct stat st;
    if (::stat(name, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EACCES;
    return ::access(name, X_OK) == 0 ? 0 : errno;
}

std::vector<MiscHandler> misc_handlers(std::string_view folder) {
    std::vector<MiscHandler> handlers;
    UniqueFd dir(::open(std::string(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return handlers;
    const auto read_entry = [&](const char* name) -> std::string {
        UniqueFd fd = open_for_reading(dir.get(), name);
        if (!fd) return {};
        return reader_of(fd.get())(0, kMiscEntryLimit).value_or("");
    };
    if (!read_entry("status").starts_with("enabled")) return handlers;
    (void)list_folder(dir.get(), [&](const char* name) {
        const std::string_view entry(name);
        if (entry == "status" || entry == "register" || entry.starts_with('.')) return;
        if (auto handler = parse_misc_handler(read_entry(name))) {
            handlers.push_back(std::move(*handler));
        }
    });
    return handlers;
}

// What the kernel is given to go by: its handlers, and its own machine.
struct Kernel {
    std::vector<MiscHandler> handlers;
    uint16_t machine = kThisMachine;
};

int start_error_of(const std::string& program, const Kernel& kernel, int hand_overs);

// The kernel opens the file a program hands over to, then runs it in turn.
int hand_over_error(const std::string& next, const Kernel& kernel, int hand_overs) {
    if (const int error = exec_open_error(next)) return error;
    return start_error_of(next, kernel, hand_overs + 1);
}

int start_error_of(const std::string& program, const Kernel& kernel, int hand_overs) {
    if (hand_overs > kMaxHandOvers) return ELOOP;
    UniqueFd fd = open_for_reading(AT_FDCWD, program);
    if (!fd) return 0;
    const ReadAt read_at = reader_of(fd.get());
    const auto head = read_at(0, kExecHeadSize);
    if (!head) return 0;

    // binfmt_misc handlers come first, before the kernel's own formats.
    for (const MiscHandler& handler : kernel.handlers) {
        if (!misc_handler_takes(handler, *head, program)) continue;
        // With the F flag the kernel opened the interpreter when the handler
        // was registered, perhaps outside this container: it is not looked
        // for here.
        if (handler.flags.find('F') != std::string::npos) return 0;
        return hand_over_error(handler.interpreter, kernel, hand_overs);
    }

    if (const auto elf = parse_elf_header(*head); elf && elf_runs_here(*elf, kernel.machine)) {
        const auto loader = elf_loader(*elf, read_at);
        if (!loader) return loader.error();
        if (!*loader) return 0;
        if (const int error = exec_open_error(**loader)) return error;
        UniqueFd loader_fd = open_for_reading(AT_FDCWD, **loader);
        return loader_fd ? loader_error(*elf, reader_of(loader_fd.get()), kernel.machine) : 0;
    }

    // Neither an ELF program of this machine nor a #! script: ENOEXEC.
    const auto interpreter = hash_bang_interpreter(*head);
    if (!interpreter) return interpreter.error();
    return hand_over_error(*interpreter, kernel, hand_overs);
}

}  // namespace

std::string_view effective_path(const PathValue& path_value) {
    return path_value ? std::string_view(*path_value) : kDefaultPath;
}

FileClass classify_path(const std::string& path) {
    // The system would see the path cut at the NUL, which is another file.
    if (has_nul(path)) return FileClass::absent;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FileClass::absent;
    if ((st.st_mode & 0111) == 0) return FileClass::not_runnable;
    return ::access(path.c_str(), X_OK) == 0 ? FileClass::runnable : FileClass::not_runnable;
}

Resolution resolve_command(std::string_view word, const PathValue& path_value) {
    using Kind = Resolution::Kind;
    if (word.empty()) return {};
    if (word.find('/') != std::string_view::npos) {
        std::string path(word);
        switch (classify_path(path)) {
            case FileClass::runnable:
                return {Kind::found, std::move(path)};
            case FileClass::not_runnable:
                return {Kind::not_executable, std::move(path)};
            case FileClass::absent:
                break;
        }
        return {};
    }
    std::string_view rest = effective_path(path_value);
    std::optional<std::string> first_not_runnable;
    for (;;) {
        const size_t colon = rest.find(':');
        const std::string_view element = rest.substr(0, colon);
        std::string path = candidate(element, word);
        switch (classify_path(path)) {
            case FileClass::runnable:
                return {Kind::found, std::move(path)};
            case FileClass::not_runnable:
                if (!first_not_runnable) first_not_runnable = std::move(path);
                break;
            case FileClass::absent:
                break;
        }
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    if (first_not_runnable) return {Kind::not_executable, std::move(*first_not_runnable)};
    return {};
}

std::string no_execute_bit_message(std::string_view program) {
    return display_form(program) + " has no execute bit. Run chmod 755 on it in the Containerfile.";
}

std::string not_runnable_message(const std::string& program) {
    struct stat st;
    struct statvfs fs;
    // Execute bits that the file system refuses to honour: chmod would not help.
    if (!has_nul(program) && ::stat(program.c_str(), &st) == 0 && (st.st_mode & 0111) != 0 &&
        ::statvfs(program.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
        return "cannot run " + display_form(program) +
               ", because the file system that holds it is mounted noexec.";
    }
    return no_execute_bit_message(program);
}

void exit_unresolvable(const Resolution& resolution, std::string_view word,
                       const PathValue& path_value) {
    if (resolution.kind == Resolution::Kind::not_executable) {
        end_with_launch_message(126, not_runnable_message(resolution.path));
    }
    if (word.find('/') != std::string_view::npos) {
        end_with_launch_message(127, display_form(word) +
                                         " is not an executable file in this image. The image "
                                         "needs the command it runs.");
    }
    end_with_launch_message(127, display_form(word) + " is not on the image's PATH (" +
                                     display_form(effective_path(path_value)) +
                                     "). Install it in the image, or set "
                                     "launch.container.clients.<client>.command.");
}

std::optional<Fault> inspect_program(const std::string& program, const PathValue& path_value) {
    const auto head = read_head(program);
    if (!head) return std::nullopt;
    return inspect_head(*head, path_value);
}

std::optional<Fault> inspect_head(std::string_view head, const PathValue& path_value) {
    if (head.size() > kHashBangLimit) head = head.substr(0, kHashBangLimit);
    if (head.size() < 2 || !head.starts_with("#!")) return std::nullopt;

    std::string_view line = head.substr(2);
    const size_t end = line.find_first_of(std::string_view("\n\0", 2));
    if (end != std::string_view::npos) {
        line = line.substr(0, end);
    } else if (head.size() == kHashBangLimit) {
        return std::nullopt;  // the line goes on past what the kernel reads
    }

    line = trim_blanks(line);
    if (line.empty()) return std::nullopt;
    // Checked before the interpreter: with CRLF endings the interpreter's name
    // carries the carriage return, and "not in the image" would mislead.
    if (line.back() == '\r') return Fault{Fault::Kind::carriage_return, {}, {}, {}};

    const size_t blank = line.find_first_of(" \t");
    const std::string interpreter(line.substr(0, blank));
    if (classify_path(interpreter) != FileClass::runnable) {
        return Fault{Fault::Kind::missing_name, interpreter, {}, {}};
    }
    const auto last = final_component(interpreter);
    if (!last || *last != "env") return std::nullopt;

    const std::string_view words =
        blank == std::string_view::npos ? std::string_view() : trim_blanks(line.substr(blank));
    // Options and assignments change what env does with the rest; leave those to env.
    if (words.empty() || words.front() == '-' || words.find('=') != std::string_view::npos) {
        return std::nullopt;
    }
    if (resolve_command(words, path_value).kind == Resolution::Kind::found) return std::nullopt;
    if (has_blank(words)) {
        return Fault{Fault::Kind::env_needs_s, {}, interpreter, std::string(words)};
    }
    return Fault{Fault::Kind::missing_name, std::string(words), {}, {}};
}

std::string fault_message(std::string_view program, const Fault& fault) {
    const std::string shown = display_form(program);
    switch (fault.kind) {
        case Fault::Kind::missing_name:
            return shown + " names " + display_form(fault.name) +
                   " in its #! line, which is not in the image.";
        case Fault::Kind::carriage_return:
            return shown +
                   " has a #! line that ends in a carriage return, from Windows line endings. "
                   "Convert the file to Unix line endings.";
        case Fault::Kind::env_needs_s: {
            const std::string words = display_form(fault.words);
            return shown + " has \"" + words +
                   "\" after env in its #! line, and env receives it as one command name. "
                   "Write #!" +
                   display_form(fault.interpreter) + " -S " + words +
                   " to pass it as separate words.";
        }
    }
    return shown;
}

int predict_start_error(const std::string& program, std::string_view misc_folder) {
    Kernel kernel{misc_handlers(misc_folder)};
    kernel.machine = kernel_machine(kernel.handlers, [](const std::string& path) {
        UniqueFd fd = open_for_reading(AT_FDCWD, path);
        return fd ? reader_of(fd.get())(0, kExecHeadSize) : std::nullopt;
    });
    return start_error_of(program, kernel, 0);
}

namespace {

std::string start_failure_message(const std::string& program, int error,
                                  const PathValue& path_value) {
    if (error != ENOENT) {
        return "cannot run " + display_form(program) + " (" + error_text(Error::system(error)) +
               ").";
    }
    // ENOENT for a file that exists means the kernel could not find what the
    // file asks for: its #! interpreter or its ELF program loader.
    if (const auto fault = inspect_program(program, path_value)) {
        return fault_message(program, *fault);
    }
    return "cannot run " + display_form(program) +
           ", because its #! interpreter or its program loader is not in the image.";
}

}  // namespace

void exit_start_failure(const std::string& program, int error, const PathValue& path_value) {
    end_with_launch_message(126, start_failure_message(program, error, path_value));
}

void check_command(std::string_view word, const PathValue& path_value) {
    const Resolution resolution = resolve_command(word, path_value);
    if (resolution.kind != Resolution::Kind::found) exit_unresolvable(resolution, word, path_value);
    if (const auto fault = inspect_program(resolution.path, path_value)) {
        end_with_launch_message(126, fault_message(resolution.path, *fault));
    }
    // What the launch would only learn from execve, told without running it.
    if (const int error = predict_start_error(resolution.path)) {
        exit_start_failure(resolution.path, error, path_value);
    }
    std::string answer = display_form(resolution.path);
    answer.push_back('\n');
    // The status is the answer a script tests; a lost line changes nothing about it.
    (void)write_all(STDOUT_FILENO, answer);
    exit_process(0);
}

}  // namespace vorn
