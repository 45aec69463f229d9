#pragma once

// What the kernel's program handlers make of a program file, read from its
// bytes alone: the ELF header and program loader, the #! line's interpreter,
// and the handlers registered with binfmt_misc. Nothing here opens a file;
// the caller hands in the bytes, so that every judgement can be tested and
// fuzzed on bytes of any shape.

#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// The kernel reads this much of a file to choose the handler that runs it,
// and sees zeros past the end of a shorter file.
inline constexpr size_t kExecHeadSize = 256;

// Up to `size` bytes of a file from `offset` on: fewer only where the file
// ends. nullopt when the file cannot be read at all.
using ReadAt = std::function<std::optional<std::string>(uint64_t offset, size_t size)>;

struct ElfHeader {
    bool is64 = false;
    bool big_endian = false;
    uint16_t type = 0;
    uint16_t machine = 0;
    uint64_t phoff = 0;
    uint16_t phentsize = 0;
    uint16_t phnum = 0;
};

// The header of an ELF file from its first bytes; nullopt when they do not
// begin with the ELF magic and a known class and byte order.
std::optional<ElfHeader> parse_elf_header(std::string_view head);

// The machine this program is built for, as ELF headers name it.
#if defined(__x86_64__)
inline constexpr uint16_t kThisMachine = EM_X86_64;
#elif defined(__aarch64__)
inline constexpr uint16_t kThisMachine = EM_AARCH64;
#else
#error "unknown machine"
#endif

// How a kernel of the machine `kernel` runs ELF files of that kind by
// itself: as its own, as the 32-bit x86 compatibility that x86-64 kernels
// carry, or not at all. The kernel is of this program's machine unless it
// runs this program through an emulator (see kernel_machine).
enum class ElfAbi { foreign, native, compat };
ElfAbi elf_abi(const ElfHeader& header, uint16_t kernel = kThisMachine);

// Whether the kernel's ELF handler takes the program: an executable or a
// shared object of an ABI it runs.
bool elf_runs_here(const ElfHeader& header, uint16_t kernel = kThisMachine);

// The program loader (PT_INTERP) that the kernel opens for an ELF program it
// takes: none for a static program, or the error number with which execve
// fails over the program header table or the loader's entry (ENOEXEC for a
// table or entry it refuses, EIO for a name that lies past the end of the
// file, EINVAL for one at an offset no file can have). The table and the
// name are read bounded, as the kernel bounds them. A file that cannot be
// read gives no loader: what cannot be seen is not held against it.
std::expected<std::optional<std::string>, int> elf_loader(const ElfHeader& program,
                                                          const ReadAt& read_at);

// Whether the loader's own file is one the kernel accepts for that program:
// 0, or EIO when it is shorter than an ELF header, ELIBBAD when it is not an
// ELF file of the program's ABI or its program header table is refused.
int loader_error(const ElfHeader& program, const ReadAt& loader, uint16_t kernel = kThisMachine);

// The interpreter that the kernel's #! handler opens for a file whose first
// bytes are head, or ENOEXEC where the handler refuses the line (no "#!",
// nothing after it, or an interpreter name cut off by the 256-byte limit).
// The name may be empty: the kernel then opens the current folder, and fails
// with EACCES.
std::expected<std::string, int> hash_bang_interpreter(std::string_view head);

// One handler registered with binfmt_misc, as its file under
// /proc/sys/fs/binfmt_misc describes it.
struct MiscHandler {
    bool enabled = false;
    std::string interpreter;
    std::string flags;
    bool by_extension = false;
    std::string extension;  // without its dot
    size_t offset = 0;
    std::string magic;
    std::string mask;  // empty: every bit of the magic counts
};

std::optional<MiscHandler> parse_misc_handler(std::string_view text);

// Whether the handler takes the file named path (as execve is given it)
// whose first bytes are head.
bool misc_handler_takes(const MiscHandler& handler, std::string_view head, std::string_view path);

// The machine of the kernel, as the handlers show it: this program's own,
// unless one of them takes ELF programs of this program's machine. Then the
// kernel cannot run this program by itself and runs it through that
// handler's interpreter, an emulator, which is a program of the kernel's own
// machine: its first bytes, read with head_of, tell which. Where they cannot
// be read (an interpreter the kernel opened outside this container), or are
// not those of a 64-bit ELF program, this program's machine is all there is
// to go by.
using ReadHead = std::function<std::optional<std::string>(const std::string& path)>;
uint16_t kernel_machine(const std::vector<MiscHandler>& handlers, const ReadHead& head_of);

}  // namespace vorn
