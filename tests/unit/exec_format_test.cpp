// What the kernel's program handlers make of a file, judged from its bytes:
// the ELF header, program header table and loader, the #! line, and
// binfmt_misc handlers; and the prediction over real files, held against
// what a real execve says.
#include "main/exec_format.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

#include "main/check.h"
#include "support/test_env.h"

// Each ElfImage names only the fields in which it differs from an ordinary
// program; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorn {
namespace {

#if defined(__x86_64__)
constexpr uint16_t kNative = EM_X86_64;
constexpr uint16_t kOther = EM_AARCH64;
#else
constexpr uint16_t kNative = EM_AARCH64;
constexpr uint16_t kOther = EM_X86_64;
#endif

struct ElfImage {
    bool is64 = true;
    bool big_endian = false;
    uint16_t type = ET_EXEC;
    uint16_t machine = kNative;
    std::vector<std::string> interps;  // one PT_INTERP each, bytes as given
    std::optional<uint16_t> phentsize;
    std::optional<uint16_t> phnum;
    std::optional<uint64_t> phoff;
    std::optional<uint64_t> interp_offset;  // of the first PT_INTERP
    std::optional<uint64_t> interp_size;
};

void put(std::string& bytes, size_t offset, size_t size, uint64_t value, bool big_endian) {
    if (bytes.size() < offset + size) bytes.resize(offset + size, '\0');
    for (size_t i = 0; i < size; ++i) {
        const size_t at = offset + (big_endian ? size - 1 - i : i);
        bytes[at] = static_cast<char>(value >> (8 * i) & 0xFF);
    }
}

// A header, a PT_NULL entry, one PT_INTERP entry per name, then the names.
std::string make_elf(const ElfImage& image) {
    const bool be = image.big_endian;
    const size_t header = image.is64 ? 64 : 52, entry = image.is64 ? 56 : 32;
    const size_t entries = 1 + image.interps.size();
    std::string out(header, '\0');
    std::memcpy(out.data(), ELFMAG, SELFMAG);
    out[EI_CLASS] = static_cast<char>(image.is64 ? ELFCLASS64 : ELFCLASS32);
    out[EI_DATA] = static_cast<char>(be ? ELFDATA2MSB : ELFDATA2LSB);
    out[EI_VERSION] = EV_CURRENT;
    put(out, 16, 2, image.type, be);
    put(out, 18, 2, image.machine, be);
    const uint64_t phoff = image.phoff.value_or(header);
    put(out, image.is64 ? 32 : 28, image.is64 ? 8 : 4, phoff, be);
    put(out, image.is64 ? 54 : 42, 2, image.phentsize.value_or(static_cast<uint16_t>(entry)), be);
    put(out, image.is64 ? 56 : 44, 2, image.phnum.value_or(static_cast<uint16_t>(entries)), be);
    size_t name_at = header + entries * entry;
    out.resize(name_at, '\0');
    for (size_t i = 0; i < image.interps.size(); ++i) {
        const size_t at = header + (1 + i) * entry;
        const uint64_t offset = i == 0 ? image.interp_offset.value_or(name_at) : name_at;
        const uint64_t size =
            i == 0 ? image.interp_size.value_or(image.interps[i].size()) : image.interps[i].size();
        put(out, at, 4, PT_INTERP, be);
        put(out, at + (image.is64 ? 8 : 4), image.is64 ? 8 : 4, offset, be);
        put(out, at + (image.is64 ? 32 : 16), image.is64 ? 8 : 4, size, be);
        out += image.interps[i];
        name_at += image.interps[i].size();
    }
    return out;
}

ReadAt reader(std::string bytes) {
    return [bytes = std::move(bytes)](uint64_t offset, size_t size) -> std::optional<std::string> {
        if (offset >= bytes.size()) return std::string();
        return bytes.substr(offset, size);
    };
}

const ReadAt kUnreadable = [](uint64_t, size_t) -> std::optional<std::string> {
    return std::nullopt;
};

std::string with_nul(std::string s) {
    s.push_back('\0');
    return s;
}

TEST(ElfHeader, ReadsBothClassesAndByteOrders) {
    for (const bool is64 : {true, false}) {
        for (const bool be : {false, true}) {
            const auto header = parse_elf_header(make_elf({.is64 = is64,
                                                           .big_endian = be,
                                                           .type = ET_DYN,
                                                           .machine = 0x1234,
                                                           .phoff = 0x7788}));
            ASSERT_TRUE(header) << is64 << be;
            EXPECT_EQ(header->is64, is64);
            EXPECT_EQ(header->big_endian, be);
            EXPECT_EQ(header->type, ET_DYN);
            EXPECT_EQ(header->machine, 0x1234);
            EXPECT_EQ(header->phoff, 0x7788u);
            EXPECT_EQ(header->phentsize, is64 ? 56 : 32);
            EXPECT_EQ(header->phnum, 1);
        }
    }
    std::string bad_class = make_elf({}), bad_data = make_elf({});
    bad_class[EI_CLASS] = 3;
    bad_data[EI_DATA] = 0;
    for (const std::string& head : {bad_class, bad_data,
                                    std::string("\x7f"
                                                "ELG\x02\x01"),
                                    std::string("#!/bin/sh\n"), std::string()}) {
        EXPECT_FALSE(parse_elf_header(head)) << head;
    }
    // A file that ends inside its header reads as zeros past its end, as the
    // kernel reads it: no type, so no program.
    const auto cut =
        parse_elf_header(std::string("\x7f"
                                     "ELF\x02\x01",
                                     6));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->type, 0);
    EXPECT_FALSE(elf_runs_here(*cut));
}

TEST(ElfHeader, RunsHereOnlyProgramsOfTheKernelsMachine) {
    struct Case {
        ElfImage image;
        uint16_t kernel;
        bool runs;
    };
    const Case cases[] = {
        {{}, kNative, true},
        {{.type = ET_DYN}, kNative, true},
        {{.type = ET_REL}, kNative, false},
        {{.type = ET_CORE}, kNative, false},
        {{.machine = kOther}, kNative, false},
        {{.big_endian = true}, kNative, false},
        {{.is64 = false}, kNative, false},
        // A kernel of the other machine, which runs this program emulated.
        {{.machine = kOther}, kOther, true},
        {{.type = ET_DYN, .machine = kOther}, kOther, true},
        {{}, kOther, false},
        {{.big_endian = true, .machine = kOther}, kOther, false},
        // 32-bit x86 on the compatibility of an x86-64 kernel alone.
        {{.is64 = false, .machine = EM_386}, EM_X86_64, true},
        {{.is64 = true, .machine = EM_386}, EM_X86_64, false},
        {{.is64 = false, .machine = EM_386}, EM_AARCH64, false},
        {{.is64 = false, .machine = EM_ARM}, EM_AARCH64, false},
    };
    for (const auto& c : cases) {
        const auto header = parse_elf_header(make_elf(c.image));
        ASSERT_TRUE(header);
        EXPECT_EQ(elf_runs_here(*header, c.kernel), c.runs)
            << c.image.machine << " " << c.image.type << " on " << c.kernel;
    }
    // Without a kernel named, it is of this program's machine.
    EXPECT_TRUE(elf_runs_here(*parse_elf_header(make_elf({}))));
    EXPECT_FALSE(elf_runs_here(*parse_elf_header(make_elf({.machine = kOther}))));
}

TEST(ElfLoader, FindsTheFirstInterpreterOrTheKernelsError) {
    const std::string ld = with_nul("/lib/ld-vorn.so");
    const std::string longest = with_nul(std::string(4095, 'l'));
    struct Case {
        const char* what;
        ElfImage image;
        std::expected<std::optional<std::string>, int> expected;
    };
    const Case cases[] = {
        {"static", {}, std::nullopt},
        {"loader", {.interps = {ld}}, "/lib/ld-vorn.so"},
        {"first of two", {.interps = {ld, with_nul("/other")}}, "/lib/ld-vorn.so"},
        {"32-bit", {.is64 = false, .interps = {ld}}, "/lib/ld-vorn.so"},
        {"big-endian", {.big_endian = true, .interps = {ld}}, "/lib/ld-vorn.so"},
        {"32-bit big-endian",
         {.is64 = false, .big_endian = true, .interps = {ld}},
         "/lib/ld-vorn.so"},
        {"cut at its first NUL", {.interps = {with_nul(std::string("/a\0b", 4))}}, "/a"},
        {"longest name", {.interps = {longest}}, std::string(4095, 'l')},
        {"name too long", {.interps = {with_nul(longest)}}, std::unexpected(ENOEXEC)},
        {"name of one byte", {.interps = {std::string(1, '\0')}}, std::unexpected(ENOEXEC)},
        {"not NUL-terminated", {.interps = {"/lib/ld-vorn.so"}}, std::unexpected(ENOEXEC)},
        {"past the end", {.interps = {ld}, .interp_offset = 1 << 20}, std::unexpected(EIO)},
        {"running past the end",
         {.interps = {ld}, .interp_size = ld.size() + 1},
         std::unexpected(EIO)},
        {"offset no file has",
         {.interps = {ld}, .interp_offset = 1ull << 63},
         std::unexpected(EINVAL)},
        {"range no file has",
         {.interps = {ld}, .interp_offset = (1ull << 63) - 8},
         std::unexpected(EINVAL)},
        {"entry size", {.interps = {ld}, .phentsize = 32}, std::unexpected(ENOEXEC)},
        {"no entries", {.interps = {ld}, .phnum = 0}, std::unexpected(ENOEXEC)},
        {"table past the end", {.interps = {ld}, .phoff = 1 << 20}, std::unexpected(ENOEXEC)},
        {"table at an offset no file has",
         {.interps = {ld}, .phoff = ~0ull},
         std::unexpected(ENOEXEC)},
        {"table over 64 KiB", {.phnum = 1171}, std::unexpected(ENOEXEC)},
    };
    for (const auto& c : cases) {
        const std::string bytes = make_elf(c.image);
        const auto got = elf_loader(*parse_elf_header(bytes), reader(bytes));
        EXPECT_EQ(got, c.expected) << c.what;
    }
    // A table of exactly 64 KiB is read, and searched to its last entry.
    std::string big = make_elf({.phnum = 1170});
    big.resize(64 + 1170 * 56, '\0');
    put(big, 64 + 1169 * 56, 4, PT_INTERP, false);
    put(big, 64 + 1169 * 56 + 8, 8, big.size(), false);
    put(big, 64 + 1169 * 56 + 32, 8, ld.size(), false);
    big += ld;
    EXPECT_EQ(elf_loader(*parse_elf_header(big), reader(big)), "/lib/ld-vorn.so");
    // What cannot be read is not held against the program.
    EXPECT_EQ(elf_loader(*parse_elf_header(make_elf({})), kUnreadable), std::nullopt);
}

TEST(ElfLoader, LoaderMustBeAnElfOfTheProgramsKind) {
    const auto program = *parse_elf_header(make_elf({}));
    struct Case {
        const char* what;
        std::string loader;
        int expected;
    };
    const Case cases[] = {
        {"loader", make_elf({.type = ET_DYN}), 0},
        {"cut inside its header", make_elf({}).substr(0, 63), EIO},
        {"empty", "", EIO},
        {"text", std::string(64, 'x'), ELIBBAD},
        {"other machine", make_elf({.machine = kOther}), ELIBBAD},
        {"other class", make_elf({.is64 = false}) + std::string(64, '\0'), ELIBBAD},
        {"other byte order", make_elf({.big_endian = true}), ELIBBAD},
        {"no program header table", make_elf({.phnum = 0}), ELIBBAD},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loader_error(program, reader(c.loader)), c.expected) << c.what;
    EXPECT_EQ(loader_error(program, kUnreadable), 0);
}

TEST(HashBangInterpreter, SplitsTheLineAsTheKernelDoes) {
    const auto refused = std::unexpected(ENOEXEC);
    struct Case {
        std::string head;
        std::expected<std::string, int> expected;
    };
    const Case cases[] = {
        {"#!/bin/sh\necho", "/bin/sh"},
        {"#! \t/bin/sh -e -x\n", "/bin/sh"},
        {"#!/bin/sh\t \n", "/bin/sh"},
        {"#!/bin/sh", "/bin/sh"},
        {"#!/bin/sh\r\n", "/bin/sh\r"},
        {std::string("#!/bin/sh\0\n", 11), "/bin/sh"},
        // The line feed is not looked for past a NUL.
        {std::string("#!/a\0/b\n", 8), "/a"},
        {"#!\n", refused},
        {"#! \t \n", refused},
        // Nothing at all after "#!": the kernel opens an empty name, which
        // it walks to the current folder.
        {"#!", ""},
        {"#!  ", ""},
        {"echo hi\n", refused},
        {"#", refused},
        {"", refused},
        // A name that reaches the end of the 256 bytes may be cut off.
        {"#!" + std::string(254, 'a'), refused},
        {"#!" + std::string(300, 'a') + "\n", refused},
        {"#!" + std::string(254, ' '), refused},
        {"#!" + std::string(253, 'a') + "\n", std::string(253, 'a')},
        {"#!/bin/sh " + std::string(300, 'a'), "/bin/sh"},
    };
    for (const auto& c : cases) EXPECT_EQ(hash_bang_interpreter(c.head), c.expected) << c.head;
}

// As the kernel shows a handler that an emulator registers for programs of
// another machine (of this one, where this program itself runs emulated).
std::string emulator_entry(const std::string& interpreter, const std::string& flags,
                           bool enabled = true, uint16_t machine = kOther) {
    std::string magic, mask;
    const std::string header = make_elf({.machine = machine}).substr(0, 20);
    static const char* const kHex = "0123456789abcdef";
    for (size_t i = 0; i < header.size(); ++i) {
        const auto byte = static_cast<unsigned char>(header[i]);
        magic += {kHex[byte >> 4], kHex[byte & 15]};
        // The type's low byte may vary (executable or shared object).
        mask += i == 16 ? "fe" : (i >= 8 && i < 16) ? "00" : "ff";
    }
    return std::string(enabled ? "enabled" : "disabled") + "\ninterpreter " + interpreter +
           "\nflags: " + flags + "\noffset 0\nmagic " + magic + "\nmask " + mask + "\n";
}

TEST(MiscHandler, ReadsEntriesAndMatchesMagicOrExtension) {
    const auto emulator = parse_misc_handler(emulator_entry("/usr/bin/qemu-vorn", "OCF"));
    ASSERT_TRUE(emulator);
    EXPECT_TRUE(emulator->enabled);
    EXPECT_EQ(emulator->interpreter, "/usr/bin/qemu-vorn");
    EXPECT_EQ(emulator->flags, "OCF");
    EXPECT_EQ(emulator->magic.size(), 20u);
    EXPECT_TRUE(misc_handler_takes(*emulator, make_elf({.machine = kOther}), "/x/prog"));
    EXPECT_TRUE(misc_handler_takes(*emulator, make_elf({.type = ET_DYN, .machine = kOther}), "p"));
    EXPECT_FALSE(misc_handler_takes(*emulator, make_elf({}), "/x/prog"));
    EXPECT_FALSE(misc_handler_takes(*emulator, "#!/bin/sh\n", "/x/prog"));
    const auto disabled = parse_misc_handler(emulator_entry("/q", "", false));
    ASSERT_TRUE(disabled);
    EXPECT_FALSE(misc_handler_takes(*disabled, make_elf({.machine = kOther}), "/x/prog"));

    const auto by_name = parse_misc_handler(
        "enabled\ninterpreter /usr/bin/vrun\nflags: \n"
        "extension .vorn\n");
    ASSERT_TRUE(by_name);
    EXPECT_TRUE(misc_handler_takes(*by_name, "", "/srv/app.vorn"));
    EXPECT_FALSE(misc_handler_takes(*by_name, "", "/srv/app"));
    // The last dot anywhere in the path counts, as the kernel takes it.
    EXPECT_FALSE(misc_handler_takes(*by_name, "", "/srv.vorn/app"));

    // Without a mask every bit counts; past the kernel's 256 bytes nothing matches.
    const auto exact = parse_misc_handler("enabled\ninterpreter /i\noffset 2\nmagic 4142\n");
    ASSERT_TRUE(exact);
    EXPECT_TRUE(misc_handler_takes(*exact, "..AB", "p"));
    EXPECT_FALSE(misc_handler_takes(*exact, "..AC", "p"));
    EXPECT_FALSE(misc_handler_takes(*exact, "..Ab", "p"));
    EXPECT_FALSE(misc_handler_takes(*exact, "..BB", "p"));
    const auto beyond = parse_misc_handler("enabled\ninterpreter /i\noffset 255\nmagic 4142\n");
    ASSERT_TRUE(beyond);
    EXPECT_FALSE(misc_handler_takes(*beyond, std::string(300, 'A'), "p"));

    for (const char* malformed : {
             "interpreter /i\nmagic 41\n",
             "enabled\nmagic 41\n",
             "enabled\ninterpreter /i\n",
             "enabled\ninterpreter /i\nmagic 4\n",
             "enabled\ninterpreter /i\nmagic 4g\n",
             "enabled\ninterpreter /i\nmagic \n",
             "enabled\ninterpreter /i\nmagic 4142\nmask ff\n",
             "enabled\ninterpreter /i\nextension .x\nmagic 41\n",
             "enabled\ninterpreter /i\noffset x\nmagic 41\n",
         }) {
        EXPECT_FALSE(parse_misc_handler(malformed)) << malformed;
    }
}

// The kernel's machine is read off the emulator that runs this program, when
// a handler takes programs of this program's machine.
TEST(KernelMachine, IsTheEmulatorsWhereAHandlerTakesThisProgram) {
    const std::map<std::string, std::string> files = {
        {"/emu/other", make_elf({.machine = kOther, .interps = {with_nul("/lib/ld.so")}})},
        {"/emu/other-32", make_elf({.is64 = false, .machine = EM_386})},
        {"/emu/other-be", make_elf({.big_endian = true, .machine = kOther})},
        {"/emu/script", "#!/emu/other\n"},
        {"/emu/text", "not a program"},
    };
    const ReadHead head_of = [&](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second.substr(0, kExecHeadSize);
    };
    const auto handler = [](const std::string& text) {
        auto parsed = parse_misc_handler(text);
        if (!parsed) throw std::invalid_argument("not a handler: " + text);
        return *parsed;
    };
    const MiscHandler for_this = handler(emulator_entry("/emu/other", "", true, kNative));
    const MiscHandler for_other = handler(emulator_entry("/emu/native", "F"));
    struct Case {
        const char* what;
        std::vector<MiscHandler> handlers;
        uint16_t expected;
    };
    const Case cases[] = {
        {"no handler", {}, kNative},
        {"one for other programs only", {for_other}, kNative},
        {"one for this program", {for_this}, kOther},
        {"after one for others", {for_other, for_this}, kOther},
        {"opened at registration",
         {handler(emulator_entry("/emu/other", "F", true, kNative))},
         kOther},
        {"disabled", {handler(emulator_entry("/emu/other", "", false, kNative))}, kNative},
        {"emulator unseen", {handler(emulator_entry("/emu/gone", "F", true, kNative))}, kNative},
        {"emulator 32-bit", {handler(emulator_entry("/emu/other-32", "", true, kNative))}, kNative},
        {"emulator big-endian",
         {handler(emulator_entry("/emu/other-be", "", true, kNative))},
         kNative},
        {"emulator a script", {handler(emulator_entry("/emu/script", "", true, kNative))}, kNative},
        {"emulator no program", {handler(emulator_entry("/emu/text", "", true, kNative))}, kNative},
        {"by extension",
         {handler("enabled\ninterpreter /emu/other\nflags: \nextension .vorn\n")},
         kNative},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kernel_machine(c.handlers, head_of), c.expected) << c.what;
}

// The error a real execve of path gives, 0 when it started the program.
int real_start_error(const std::string& path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        char* envp[] = {nullptr};
        ::execve(path.c_str(), argv, envp);
        const int error = errno;
        (void)!::write(fds[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(fds[1]);
    int error = 0;
    if (::read(fds[0], &error, sizeof error) != sizeof error) error = 0;
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return error;
}

std::string file_bytes(const std::string& path) {
    return vt::read_file(path);
}

TEST(PredictStartError, AgreesWithTheKernel) {
#ifdef VORN_TEST_EMULATOR
    GTEST_SKIP() << "under an emulator execve is the host kernel's, for the host's machine";
#endif
    vt::TempDir t;
    const std::string d = t.path();
    const std::string missing_ld = with_nul("/no/such/ld-vorn.so");
    struct Case {
        std::string name;
        std::string bytes;
        mode_t mode = 0755;
    };
    const std::vector<Case> cases = {
        {"true", file_bytes("/bin/true")},
        {"missing-loader", make_elf({.interps = {missing_ld}})},
        {"unterminated-loader", make_elf({.interps = {"/no/such/ld-vorn.so"}})},
        {"loader-past-end", make_elf({.interps = {missing_ld}, .interp_offset = 1 << 20})},
        {"loader-at-no-offset", make_elf({.interps = {missing_ld}, .interp_offset = 1ull << 63})},
        {"empty-loader-name", make_elf({.interps = {std::string(2, '\0')}})},
        {"no-table", make_elf({.interps = {missing_ld}, .phnum = 0})},
        {"relocatable", make_elf({.type = ET_REL, .interps = {missing_ld}})},
        {"other-machine", make_elf({.machine = kOther, .interps = {missing_ld}})},
        {"big-endian", make_elf({.big_endian = true, .interps = {missing_ld}})},
        {"text-loader", make_elf({.interps = {with_nul(d + "/text")}})},
        {"text", "just some text\n"},
        {"folder-loader", make_elf({.interps = {with_nul(d)}})},
        {"short-loader", make_elf({.interps = {with_nul(d + "/short")}})},
        {"short",
         "\x7f"
         "ELF\x02\x01\x01"},
        {"other-loader", make_elf({.interps = {with_nul(d + "/other-machine")}})},
        {"empty", ""},
        {"bare", "#!\n"},
        {"hash-bang-only", "#!"},
        {"cut-name", "#!/" + std::string(300, 'a')},
        {"via-missing-loader", "#!" + d + "/missing-loader\n"},
        {"via-text", "#!" + d + "/text -x\n"},
        {"via-folder", "#!" + d + "\n"},
        {"via-plain", "#!" + d + "/plain\n"},
        {"plain", "#!/bin/sh\n", 0644},
        {"via-true", "#!" + d + "/true\n"},
        {"self", "#!" + d + "/self\n"},
    };
    for (const auto& c : cases) vt::write_file(d + "/" + c.name, c.bytes, c.mode);
    for (const auto& c : cases) {
        if (c.mode == 0644) continue;  // resolution turns these away first
        const std::string path = d + "/" + c.name;
        // Judged with the handlers the kernel has: a machine with an emulator
        // registered runs the other machine's programs.
        EXPECT_EQ(predict_start_error(path), real_start_error(path)) << c.name;
    }
}

// Files this process may run but not read (the kernel reads them all the
// same): what cannot be seen is not held against the program.
TEST(PredictStartError, WhatCannotBeReadIsNotHeldAgainstTheProgram) {
    vt::TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    const std::string garbage = t / "garbage", loader = t / "loader", program = t / "program";
    vt::write_file(garbage, "not a program", 0111);
    vt::write_file(loader, "not a loader either", 0111);
    vt::write_file(program, make_elf({.interps = {with_nul(loader)}}), 0755);
    const int refused = vt::run_as_outsider([&] {
        return (predict_start_error(garbage, "/nonexistent") == 0 ? 0 : 1) |
               (predict_start_error(program, "/nonexistent") == 0 ? 0 : 2);
    });
    ASSERT_NE(refused, -1) << "could not drop privileges";
    EXPECT_EQ(refused, 0);
}

TEST(PredictStartError, FollowsTheMiscHandlersThatProcShows) {
    vt::TempDir t;
    const std::string d = t.path(), misc = t / "misc";
    vt::make_dirs(misc);
    // A static program of this machine: nothing further to look for.
    vt::write_file(d + "/emulator", make_elf({}), 0755);
    vt::write_file(d + "/other", make_elf({.machine = kOther}), 0755);
    vt::write_file(d + "/app.vorn", "neither ELF nor #!", 0755);
    vt::write_file(d + "/native", make_elf({}), 0755);
    vt::write_file(d + "/neither", make_elf({.machine = EM_RISCV}), 0755);
    const std::string this_emulated = emulator_entry(d + "/other", "", true, kNative);
    struct Case {
        const char* what;
        std::string status;
        std::vector<std::string> entries;
        std::string program;
        int expected;
    };
    const std::string found = emulator_entry(d + "/emulator", "OC");
    const Case cases[] = {
        {"none registered", "enabled\n", {}, "/other", ENOEXEC},
        {"emulator", "enabled\n", {found}, "/other", 0},
        {"emulator missing", "enabled\n", {emulator_entry(d + "/gone", "")}, "/other", ENOENT},
        {"opened at registration", "enabled\n", {emulator_entry(d + "/gone", "F")}, "/other", 0},
        {"handler disabled",
         "enabled\n",
         {emulator_entry(d + "/emulator", "", false)},
         "/other",
         ENOEXEC},
        {"all disabled", "disabled\n", {found}, "/other", ENOEXEC},
        {"not ours", "enabled\n", {found}, "/app.vorn", ENOEXEC},
        {"by extension",
         "enabled\n",
         {"enabled\ninterpreter " + d + "/emulator\nflags: \nextension .vorn\n"},
         "/app.vorn",
         0},
        {"handed on to another handler",
         "enabled\n",
         {"enabled\ninterpreter " + d + "/other\nflags: \nextension .vorn\n", found},
         "/app.vorn",
         0},
        // This program runs emulated, through a handler for its own machine
        // whose interpreter, of the other machine, the kernel runs itself.
        {"this program emulated", "enabled\n", {this_emulated}, "/native", 0},
        {"a program of the emulator's machine", "enabled\n", {this_emulated}, "/other", 0},
        {"emulated, of neither machine", "enabled\n", {this_emulated}, "/neither", ENOEXEC},
    };
    for (const auto& c : cases) {
        for (const auto& name : {"status", "entry0", "entry1", "register"}) {
            (void)::unlink((misc + "/" + name).c_str());
        }
        vt::write_file(misc + "/status", c.status);
        vt::write_file(misc + "/register", "");
        for (size_t i = 0; i < c.entries.size(); ++i) {
            vt::write_file(misc + "/entry" + std::to_string(i), c.entries[i]);
        }
        EXPECT_EQ(predict_start_error(d + c.program, misc), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace vorn
