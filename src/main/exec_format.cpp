#include "main/exec_format.h"

#include <elf.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "base/number.h"

namespace vorn {
namespace {

// The kernel's bounds: a program header table of at most 64 KiB, and a
// loader name of at most PATH_MAX bytes with its NUL.
constexpr size_t kMaxTableSize = 65536;
constexpr uint64_t kMaxLoaderName = 4096;

constexpr size_t kElf64HeaderSize = 64;
constexpr size_t kElf32HeaderSize = 52;

// A fixed-size copy of the first bytes of a file, with the zeros that the
// kernel sees past the end of a shorter one.
template <size_t N>
struct Padded {
    explicit Padded(std::string_view bytes) {
        std::memcpy(data, bytes.data(), bytes.size() < N ? bytes.size() : N);
    }
    char data[N] = {};
};

// An unsigned field of `size` bytes at `offset`; the caller has checked that
// it lies within bytes.
uint64_t field(std::string_view bytes, size_t offset, size_t size, bool big_endian) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        const size_t at = offset + (big_endian ? i : size - 1 - i);
        value = (value << 8) | static_cast<unsigned char>(bytes[at]);
    }
    return value;
}

size_t entry_size(const ElfHeader& header) {
    return header.is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
}

// File offsets are signed 64-bit numbers to the kernel: a range that reaches
// past the largest one is refused before anything is read.
bool within_file_offsets(uint64_t offset, uint64_t size) {
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return offset <= kMax && size <= kMax - offset;
}

struct Table {
    enum class State { loaded, refused, unseen } state = State::refused;
    std::string bytes;
};

// The program header table, checked and read as the kernel loads it.
Table load_program_headers(const ElfHeader& header, const ReadAt& read_at) {
    const size_t size = entry_size(header) * header.phnum;
    if (header.phentsize != entry_size(header) || size == 0 || size > kMaxTableSize ||
        !within_file_offsets(header.phoff, size)) {
        return {};
    }
    auto bytes = read_at(header.phoff, size);
    if (!bytes) return {Table::State::unseen, {}};
    if (bytes->size() != size) return {};
    return {Table::State::loaded, std::move(*bytes)};
}

bool is_space_or_tab(char c) {
    return c == ' ' || c == '\t';
}

// The kernel writes magic and mask in lower-case hexadecimal.
std::optional<uint8_t> hex_digit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

std::optional<std::string> from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const auto high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (!high || !low) return std::nullopt;
        out.push_back(static_cast<char>(*high << 4 | *low));
    }
    return out;
}

// The kernel shows the offset as a small number: a field of more than nine
// characters, leading zeros and all, is not one it wrote.
std::optional<size_t> decimal(std::string_view text) {
    if (text.size() > 9) return std::nullopt;
    const auto value = parse_digits(text, 999'999'999);
    if (!value) return std::nullopt;
    return static_cast<size_t>(*value);
}

}  // namespace

std::optional<ElfHeader> parse_elf_header(std::string_view head) {
    const Padded<kElf64HeaderSize> padded(head);
    const std::string_view bytes(padded.data, sizeof padded.data);
    if (!bytes.starts_with(std::string_view(ELFMAG, SELFMAG))) return std::nullopt;
    const auto file_class = static_cast<unsigned char>(bytes[EI_CLASS]);
    const auto data = static_cast<unsigned char>(bytes[EI_DATA]);
    if ((file_class != ELFCLASS32 && file_class != ELFCLASS64) ||
        (data != ELFDATA2LSB && data != ELFDATA2MSB)) {
        return std::nullopt;
    }
    ElfHeader header;
    header.is64 = file_class == ELFCLASS64;
    header.big_endian = data == ELFDATA2MSB;
    const bool be = header.big_endian;
    header.type = static_cast<uint16_t>(field(bytes, 16, 2, be));
    header.machine = static_cast<uint16_t>(field(bytes, 18, 2, be));
    if (header.is64) {
        header.phoff = field(bytes, 32, 8, be);
        header.phentsize = static_cast<uint16_t>(field(bytes, 54, 2, be));
        header.phnum = static_cast<uint16_t>(field(bytes, 56, 2, be));
    } else {
        header.phoff = field(bytes, 28, 4, be);
        header.phentsize = static_cast<uint16_t>(field(bytes, 42, 2, be));
        header.phnum = static_cast<uint16_t>(field(bytes, 44, 2, be));
    }
    return header;
}

ElfAbi elf_abi(const ElfHeader& header, uint16_t kernel) {
    // Both machines are little-endian.
    if (header.big_endian) return ElfAbi::foreign;
    if (header.is64 && header.machine == kernel) return ElfAbi::native;
    // 32-bit x86 programs run on the kernel's ia32 compatibility, which
    // x86-64 kernels build in as a rule. No 32-bit Arm on arm64: the Mac's
    // processors cannot run it at all.
    if (kernel == EM_X86_64 && !header.is64 && header.machine == EM_386) return ElfAbi::compat;
    return ElfAbi::foreign;
}

bool elf_runs_here(const ElfHeader& header, uint16_t kernel) {
    return (header.type == ET_EXEC || header.type == ET_DYN) &&
           elf_abi(header, kernel) != ElfAbi::foreign;
}

std::expected<std::optional<std::string>, int> elf_loader(const ElfHeader& program,
                                                          const ReadAt& read_at) {
    const Table table = load_program_headers(program, read_at);
    if (table.state == Table::State::unseen) return std::nullopt;
    if (table.state == Table::State::refused) return std::unexpected(ENOEXEC);
    const bool be = program.big_endian;
    const size_t entry = entry_size(program);
    for (size_t at = 0; at < table.bytes.size(); at += entry) {
        const std::string_view ph(table.bytes.data() + at, entry);
        if (field(ph, 0, 4, be) != PT_INTERP) continue;
        // Only the first PT_INTERP counts.
        const uint64_t offset = program.is64 ? field(ph, 8, 8, be) : field(ph, 4, 4, be);
        const uint64_t size = program.is64 ? field(ph, 32, 8, be) : field(ph, 16, 4, be);
        if (size < 2 || size > kMaxLoaderName) return std::unexpected(ENOEXEC);
        if (!within_file_offsets(offset, size)) return std::unexpected(EINVAL);
        const auto name = read_at(offset, static_cast<size_t>(size));
        if (!name) return std::nullopt;
        if (name->size() != size) return std::unexpected(EIO);
        if (name->back() != '\0') return std::unexpected(ENOEXEC);
        return name->substr(0, name->find('\0'));
    }
    return std::nullopt;
}

int loader_error(const ElfHeader& program, const ReadAt& loader, uint16_t kernel) {
    const size_t header_size = program.is64 ? kElf64HeaderSize : kElf32HeaderSize;
    const auto head = loader(0, header_size);
    if (!head) return 0;
    if (head->size() != header_size) return EIO;
    const auto header = parse_elf_header(*head);
    if (!header || elf_abi(*header, kernel) != elf_abi(program, kernel)) return ELIBBAD;
    return load_program_headers(*header, loader).state == Table::State::refused ? ELIBBAD : 0;
}

std::expected<std::string, int> hash_bang_interpreter(std::string_view head) {
    const Padded<kExecHeadSize> padded(head);
    const char* buf = padded.data;
    if (buf[0] != '#' || buf[1] != '!') return std::unexpected(ENOEXEC);
    // Positions in buf; `last` is included, as in the kernel's own helpers.
    const auto next_non_space_or_tab = [&](size_t first, size_t last) -> std::optional<size_t> {
        for (; first <= last; ++first) {
            if (!is_space_or_tab(buf[first])) return first;
        }
        return std::nullopt;
    };
    const auto next_terminator = [&](size_t first, size_t last) -> std::optional<size_t> {
        for (; first <= last; ++first) {
            if (is_space_or_tab(buf[first]) || buf[first] == '\0') return first;
        }
        return std::nullopt;
    };
    constexpr size_t kBufEnd = kExecHeadSize - 1;

    // The line feed is looked for only up to the first NUL.
    const size_t searched = ::strnlen(buf, kExecHeadSize);
    const void* feed = std::memchr(buf, '\n', searched);
    size_t end;
    if (feed) {
        end = static_cast<size_t>(static_cast<const char*>(feed) - buf);
    } else {
        const auto first = next_non_space_or_tab(2, kBufEnd);
        if (!first) return std::unexpected(ENOEXEC);
        // Without a space, tab or NUL after it, the name may be cut off.
        if (!next_terminator(*first, kBufEnd)) return std::unexpected(ENOEXEC);
        end = kBufEnd;
    }
    while (is_space_or_tab(buf[end - 1])) --end;
    const auto name = next_non_space_or_tab(2, end);
    if (!name || *name == end) return std::unexpected(ENOEXEC);
    const size_t name_end = next_terminator(*name, end).value_or(end);
    return std::string(buf + *name, name_end - *name);
}

std::optional<MiscHandler> parse_misc_handler(std::string_view text) {
    MiscHandler handler;
    bool status_seen = false, interpreter_seen = false, magic_seen = false;
    while (!text.empty()) {
        const size_t feed = text.find('\n');
        const std::string_view line = text.substr(0, feed);
        text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
        if (!status_seen) {
            if (line != "enabled" && line != "disabled") return std::nullopt;
            handler.enabled = line == "enabled";
            status_seen = true;
        } else if (line.starts_with("interpreter ")) {
            handler.interpreter = line.substr(12);
            interpreter_seen = true;
        } else if (line.starts_with("flags: ")) {
            handler.flags = line.substr(7);
        } else if (line.starts_with("extension .")) {
            handler.by_extension = true;
            handler.extension = line.substr(11);
        } else if (line.starts_with("offset ")) {
            const auto offset = decimal(line.substr(7));
            if (!offset) return std::nullopt;
            handler.offset = *offset;
        } else if (line.starts_with("magic ")) {
            auto magic = from_hex(line.substr(6));
            if (!magic || magic->empty()) return std::nullopt;
            handler.magic = std::move(*magic);
            magic_seen = true;
        } else if (line.starts_with("mask ")) {
            auto mask = from_hex(line.substr(5));
            if (!mask) return std::nullopt;
            handler.mask = std::move(*mask);
        }
    }
    if (!interpreter_seen || handler.by_extension == magic_seen) return std::nullopt;
    if (!handler.mask.empty() && handler.mask.size() != handler.magic.size()) return std::nullopt;
    return handler;
}

bool misc_handler_takes(const MiscHandler& handler, std::string_view head, std::string_view path) {
    if (!handler.enabled) return false;
    if (handler.by_extension) {
        // The kernel takes the last dot anywhere in the path.
        const size_t dot = path.rfind('.');
        return dot != std::string_view::npos && path.substr(dot + 1) == handler.extension;
    }
    if (handler.offset > kExecHeadSize || handler.magic.size() > kExecHeadSize - handler.offset) {
        return false;
    }
    const Padded<kExecHeadSize> padded(head);
    for (size_t i = 0; i < handler.magic.size(); ++i) {
        const auto mask =
            handler.mask.empty() ? 0xFFu : static_cast<unsigned char>(handler.mask[i]);
        const auto seen = static_cast<unsigned char>(padded.data[handler.offset + i]);
        if (((seen ^ static_cast<unsigned char>(handler.magic[i])) & mask) != 0) return false;
    }
    return true;
}

uint16_t kernel_machine(const std::vector<MiscHandler>& handlers, const ReadHead& head_of) {
    // The header of a program of this machine, as far as handlers look; it
    // has no name, so no handler by extension takes it.
    std::string own(kElf64HeaderSize, '\0');
    std::memcpy(own.data(), ELFMAG, SELFMAG);
    own[EI_CLASS] = ELFCLASS64;
    own[EI_DATA] = ELFDATA2LSB;
    own[EI_VERSION] = EV_CURRENT;
    own[16] = ET_EXEC;
    own[18] = static_cast<char>(kThisMachine & 0xFF);
    own[19] = static_cast<char>(kThisMachine >> 8);
    for (const MiscHandler& handler : handlers) {
        if (!misc_handler_takes(handler, own, "")) continue;
        const auto head = head_of(handler.interpreter);
        if (!head) return kThisMachine;
        const auto emulator = parse_elf_header(*head);
        if (!emulator || !emulator->is64 || emulator->big_endian) return kThisMachine;
        return emulator->machine;
    }
    return kThisMachine;
}

}  // namespace vorn
