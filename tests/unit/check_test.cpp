// Command resolution and the #! inspection over temporary trees, and the
// start-failure exit in a forked child that really tried to execve.
#include "main/check.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/test_env.h"

namespace vorn {
namespace {

using Kind = Resolution::Kind;

// Empty PATH elements mean the current directory, so those cases run from
// inside the tree.
class InDirectory {
  public:
    explicit InDirectory(const std::string& dir) {
        if (!::getcwd(old_, sizeof old_) || ::chdir(dir.c_str()) != 0) {
            throw std::runtime_error("cannot enter " + dir);
        }
    }
    ~InDirectory() { (void)!::chdir(old_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

  private:
    char old_[4096];
};

void make_runnable(const std::string& path) {
    vt::write_script(path, "exit 0\n");
}
void make_plain(const std::string& path) {
    vt::write_file(path, "data\n", 0644);
}

const char* class_name(FileClass c) {
    switch (c) {
        case FileClass::runnable:
            return "runnable";
        case FileClass::not_runnable:
            return "not_runnable";
        case FileClass::absent:
            return "absent";
    }
    return "?";
}

TEST(ClassifyPath, FollowsLinksAndWantsARegularFileWithAnExecuteBit) {
    vt::TempDir t;
    make_runnable(t / "run");
    make_plain(t / "plain");
    vt::make_dirs(t / "dir");
    vt::write_file(t / "empty-exec", "", 0755);
    ASSERT_EQ(::symlink((t / "run").c_str(), (t / "link-run").c_str()), 0);
    ASSERT_EQ(::symlink((t / "plain").c_str(), (t / "link-plain").c_str()), 0);
    ASSERT_EQ(::symlink((t / "dir").c_str(), (t / "link-dir").c_str()), 0);
    ASSERT_EQ(::symlink((t / "gone").c_str(), (t / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0755), 0);
    ::chmod((t / "dir").c_str(), 0755);

    struct Case {
        std::string path;
        FileClass expected;
    };
    const Case cases[] = {
        {t / "run", FileClass::runnable},
        {t / "empty-exec", FileClass::runnable},  // empty, but a regular file with x bits
        {t / "plain", FileClass::not_runnable},
        {t / "link-run", FileClass::runnable},
        {t / "link-plain", FileClass::not_runnable},
        {t / "dir", FileClass::absent},
        {t / "link-dir", FileClass::absent},
        {t / "dangling", FileClass::absent},
        {t / "fifo", FileClass::absent},
        {"/dev/null", FileClass::absent},
        {t / "missing", FileClass::absent},
        {t / "run/below", FileClass::absent},
        {"", FileClass::absent},
        // Cut at the NUL this would be the runnable file; it must not count.
        {t / std::string("run\0tail", 8), FileClass::absent},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(class_name(classify_path(c.path)), class_name(c.expected)) << c.path;
    }
}

// An execute bit that this process is not granted: group-only x, seen by its
// owner (non-root) or by an outsider (root drops to 65534 in a child).
TEST(ClassifyPath, AnExecuteBitTheAccessTestRefusesIsNotRunnable) {
    vt::TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    const std::string path = t / "group-only";
    vt::write_file(path, "#!/bin/sh\n", 0010);

    const int seen = vt::run_as_outsider([&] { return static_cast<int>(classify_path(path)); });
    ASSERT_NE(seen, -1) << "could not drop privileges";
    EXPECT_EQ(seen, static_cast<int>(FileClass::not_runnable));
}

TEST(ResolveCommand, SearchesEveryElementInOrder) {
    vt::TempDir t;
    const std::string a = t / "a", b = t / "b", c = t / "c";
    for (const auto& d : {a, b, c}) vt::make_dirs(d);
    make_runnable(t / "here");   // only in the current directory
    make_runnable(a + "/both");  // in a and in the current directory
    make_runnable(t / "both");
    vt::make_dirs(a + "/tool");  // a directory named like the command
    make_runnable(b + "/tool");
    make_plain(a + "/late");     // no execute bit early ...
    make_runnable(c + "/late");  // ... a runnable one later
    make_plain(a + "/never");    // two without execute bits: the first one is named
    make_plain(b + "/never");
    make_runnable(t / "cwd-plain");  // runnable in the current directory ...
    make_plain(a + "/cwd-plain");    // ... after a non-runnable one
    make_runnable(t / "a b");

    struct Case {
        std::string word;
        PathValue path_value;
        Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {"both", ":" + a, Kind::found, "./both"},  // leading colon: current directory first
        {"both", a + ":", Kind::found, a + "/both"},
        {"here", a + ":", Kind::found, "./here"},  // trailing colon: current directory last
        {"here", a + "::" + b, Kind::found, "./here"},
        {"here", a + ":" + b, Kind::not_found, ""},
        {"here", "", Kind::found, "./here"},  // an empty value is one empty element
        {"both", a + "/", Kind::found, a + "/both"},
        {"both", a + "//", Kind::found, a + "//both"},
        {"tool", a + ":" + b, Kind::found, b + "/tool"},
        {"late", a + ":" + b + ":" + c, Kind::found, c + "/late"},
        {"never", a + ":" + b + ":" + c, Kind::not_executable, a + "/never"},
        {"never", c + ":" + b + ":" + a, Kind::not_executable, b + "/never"},
        {"cwd-plain", a + "::", Kind::found, "./cwd-plain"},
        {"a b", "", Kind::found, "./a b"},
        {"missing", a + ":" + b + "::", Kind::not_found, ""},
        {"", a + ":", Kind::not_found, ""},
        // With a slash the word is classified as written, never searched.
        {"a/both", b, Kind::found, "a/both"},
        {"./here", a, Kind::found, "./here"},
        {b + "/tool", a, Kind::found, b + "/tool"},
        {a + "/late", c, Kind::not_executable, a + "/late"},
        {a + "/tool", b, Kind::not_found, ""},
        {"b/late", c, Kind::not_found, ""},
        {"/", a, Kind::not_found, ""},
    };
    InDirectory in(t.path());
    for (const auto& c2 : cases) {
        const auto r = resolve_command(c2.word, c2.path_value);
        EXPECT_EQ(static_cast<int>(r.kind), static_cast<int>(c2.kind))
            << c2.word << " on " << *c2.path_value;
        EXPECT_EQ(r.path, c2.path) << c2.word << " on " << *c2.path_value;
    }
}

TEST(ResolveCommand, AnAbsentPathValueMeansTheDefaultNotAnEmptyOne) {
    vt::TempDir empty;
    InDirectory in(empty.path());
    const auto absent = resolve_command("sh", std::nullopt);
    ASSERT_EQ(absent.kind, Kind::found);
    EXPECT_EQ(absent.path.substr(absent.path.size() - 3), "/sh");
    EXPECT_EQ(absent.path.front(), '/');
    EXPECT_EQ(resolve_command("sh", std::string()).kind, Kind::not_found);
}

std::string fault_text(const std::optional<Fault>& fault) {
    if (!fault) return "no fault";
    switch (fault->kind) {
        case Fault::Kind::missing_name:
            return "missing name [" + fault->name + "]";
        case Fault::Kind::carriage_return:
            return "carriage return";
        case Fault::Kind::env_needs_s:
            return "env needs -S [" + fault->interpreter + "] [" + fault->words + "]";
    }
    return "?";
}

// "#!" + line, padded with 'x' to exactly size bytes.
std::string padded(std::string_view start, size_t size) {
    std::string out(start);
    out.resize(size, 'x');
    return out;
}

TEST(InspectProgram, FindsEachFaultOfTheHashBangLine) {
    vt::TempDir t;
    const std::string bin = t / "bin", tools = t / "tools";
    vt::make_dirs(bin);
    vt::make_dirs(tools);
    make_runnable(bin + "/tool");
    make_runnable(bin + "/tool --fast");  // a name with a space in it, on the PATH
    make_plain(bin + "/plain");
    make_runnable(tools + "/env");  // any runnable file whose name is env counts as env
    make_runnable(tools + "/myenv");
    const std::string env = tools + "/env";
    const PathValue path_value = bin;

    struct Case {
        std::string name;
        std::string content;
        std::string expected;
    };
    const std::string nul(1, '\0');
    const Case cases[] = {
        {"empty", "", "no fault"},
        {"one byte", "#", "no fault"},
        {"no hash bang", "echo hi\n#!/no/such\n", "no fault"},
        {"elf",
         "\x7f"
         "ELF\x02\x01\x01",
         "no fault"},
        {"hash bang alone", "#!", "no fault"},
        {"blank line", "#! \t \n", "no fault"},
        {"sh", "#!/bin/sh\necho\n", "no fault"},
        {"blanks around", "#! \t/bin/sh -e \t\n", "no fault"},
        {"crlf", "#!/bin/sh\r\necho\r\n", "carriage return"},
        {"crlf before missing", "#!/no/such/interp\r\n", "carriage return"},
        {"cr then blank", "#!/bin/sh\r \t\n", "carriage return"},
        {"cr inside", "#!/bin/sh\r -e\n", "missing name [/bin/sh\r]"},
        {"cr alone", "#!\r\n", "carriage return"},
        {"missing interpreter", "#!/no/such/interp\n", "missing name [/no/such/interp]"},
        {"missing with args", "#!/no/such/interp -x y\n", "missing name [/no/such/interp]"},
        {"interpreter not runnable", "#!" + bin + "/plain\n", "missing name [" + bin + "/plain]"},
        {"interpreter is a directory", "#!" + bin + "\n", "missing name [" + bin + "]"},
        {"only blanks are trimmed", "#!\v/bin/sh\n", "missing name [\v/bin/sh]"},
        {"no line feed, short file", "#!/no/such/interp", "missing name [/no/such/interp]"},
        {"nul ends the line", "#!/bin/sh" + nul + "\r\n", "no fault"},
        {"nul before garbage", "#!/no/such" + nul + " x\n", "missing name [/no/such]"},
        {"env found", "#!" + env + " tool\n", "no fault"},
        {"env missing", "#!" + env + " nosuchtool\n", "missing name [nosuchtool]"},
        {"env not executable", "#!" + env + " plain\n", "missing name [plain]"},
        {"env needs -S", "#!" + env + " mytool --fast\n",
         "env needs -S [" + env + "] [mytool --fast]"},
        {"env needs -S, tabs", "#!" + env + "\t mytool\t--fast \t\n",
         "env needs -S [" + env + "] [mytool\t--fast]"},
        {"env one name with a space", "#!" + env + " tool --fast\n", "no fault"},
        {"env -S", "#!" + env + " -S mytool --fast\n", "no fault"},
        {"env assignment", "#!" + env + " FOO=1 mytool\n", "no fault"},
        {"env assignment later", "#!" + env + " mytool A=b\n", "no fault"},
        {"env alone", "#!" + env + "\n", "no fault"},
        {"env and blanks", "#!" + env + " \t \n", "no fault"},
        {"env word with slash", "#!" + env + " " + bin + "/tool\n", "no fault"},
        {"env word with slash missing", "#!" + env + " " + bin + "/gone\n",
         "missing name [" + bin + "/gone]"},
        {"env crlf", "#!" + env + " nosuchtool\r\n", "carriage return"},
        {"not env", "#!" + tools + "/myenv nosuchtool\n", "no fault"},
        {"env missing itself", "#!" + t.path() + "/env nosuchtool\n",
         "missing name [" + t.path() + "/env]"},
        // The kernel reads 256 bytes: a line longer than that is not judged.
        {"256 bytes, no line feed", padded("#!/no/such/interp ", 256), "no fault"},
        {"257 bytes, line feed after 256", padded("#!/no/such/interp ", 256) + "\n", "no fault"},
        {"255 bytes, no line feed", padded("#!/no/such/interp ", 255),
         "missing name [/no/such/interp]"},
        {"line feed is byte 256", padded("#!/no/such/interp ", 255) + "\nrest",
         "missing name [/no/such/interp]"},
        {"nul is byte 256", padded("#!/no/such/interp ", 255) + nul,
         "missing name [/no/such/interp]"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string program = t / ("prog" + std::to_string(n++));
        vt::write_file(program, c.content, 0755);
        EXPECT_EQ(fault_text(inspect_program(program, path_value)), c.expected) << c.name;
        EXPECT_EQ(fault_text(inspect_head(c.content, path_value)), c.expected)
            << c.name << ", from the bytes";
    }
}

TEST(InspectProgram, FilesThatCannotBeReadHaveNoFault) {
    vt::TempDir t;
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0755), 0);  // must not wait for a writer
    vt::make_dirs(t / "dir");
    vt::write_file(t / "real", "#!/no/such\n", 0755);
    for (const std::string& path :
         {t / "missing", t / "fifo", t / "dir", t / std::string("real\0x", 6)}) {
        EXPECT_EQ(fault_text(inspect_program(path, std::nullopt)), "no fault") << path;
    }
}

TEST(FaultMessage, ShowsDisplayForms) {
    EXPECT_EQ(fault_message("/a\nb", {Fault::Kind::missing_name, "n\x1bm", "", ""}),
              "/a\\nb names n\\u{1b}m in its #! line, which is not in the image.");
    EXPECT_EQ(fault_message("./s\xff", {Fault::Kind::carriage_return, "", "", ""}),
              "./s\xef\xbf\xbd has a #! line that ends in a carriage return, from Windows line "
              "endings. Convert the file to Unix line endings.");
    EXPECT_EQ(fault_message("/x", {Fault::Kind::env_needs_s, "", "/usr/bin/env", "a\tb"}),
              "/x has \"a\\tb\" after env in its #! line, and env receives it as one command "
              "name. Write #!/usr/bin/env -S a\\tb to pass it as separate words.");
    EXPECT_EQ(no_execute_bit_message("/bin/\x7f"),
              "/bin/\\u{7f} has no execute bit. Run chmod 755 on it in the Containerfile.");
}

// An ELF executable for this machine whose only program header names a
// program loader that does not exist: execve fails with ENOENT.
std::string elf_with_missing_loader() {
    const std::string interp = "/no/such/ld-vorn.so.1";
    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
#if defined(__x86_64__)
    eh.e_machine = EM_X86_64;
#elif defined(__aarch64__)
    eh.e_machine = EM_AARCH64;
#else
#error "unknown machine"
#endif
    eh.e_version = EV_CURRENT;
    eh.e_phoff = sizeof eh;
    eh.e_ehsize = sizeof eh;
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = 1;
    Elf64_Phdr ph{};
    ph.p_type = PT_INTERP;
    ph.p_offset = sizeof eh + sizeof ph;
    ph.p_filesz = interp.size() + 1;
    ph.p_memsz = ph.p_filesz;
    ph.p_flags = PF_R;
    ph.p_align = 1;
    std::string out(reinterpret_cast<const char*>(&eh), sizeof eh);
    out.append(reinterpret_cast<const char*>(&ph), sizeof ph);
    out.append(interp);
    out.push_back('\0');
    return out;
}

// Tries to execve program in a child, as the launch does, and takes the
// start-failure exit with the real error.
vt::Result start_and_explain(const std::string& program, const PathValue& path_value) {
    return vt::in_child([&] {
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        char* envp[] = {nullptr};
        ::execve(program.c_str(), argv, envp);
        exit_start_failure(program, errno, path_value);
        return 0;
    });
}

TEST(ExitStartFailure, ExplainsTheErrorOrWhatIsMissing) {
    vt::TempDir t;
    const std::string loader = t / "loader", plain = t / "plain", garbage = t / "garbage",
                      missing = t / "missing-interp", crlf = t / "crlf";
    vt::write_file(loader, elf_with_missing_loader(), 0755);
    vt::write_file(plain, "#!/bin/sh\n", 0644);
    vt::write_file(garbage, "\x01\x02 not a program\n", 0755);
    vt::write_file(missing, "#!/no/such/interp\n", 0755);
    vt::write_file(crlf, "#!/bin/sh\r\necho\r\n", 0755);
    struct Case {
        std::string program;
        std::string message;
    };
    const Case cases[] = {
        {loader, "cannot run " + loader +
                     ", because its #! interpreter or its program loader is not in the image."},
        {plain, "cannot run " + plain + " (Permission denied (os error 13))."},
        {garbage, "cannot run " + garbage + " (Exec format error (os error 8))."},
        {missing, missing + " names /no/such/interp in its #! line, which is not in the image."},
        {crlf, crlf + " has a #! line that ends in a carriage return, from Windows line endings. "
                      "Convert the file to Unix line endings."},
    };
    for (const auto& c : cases) {
        const vt::Result ended = start_and_explain(c.program, std::nullopt);
        EXPECT_EQ(ended.status(), 126) << c.program;
        EXPECT_EQ(ended.err, "[launch] " + c.message + "\n");
    }
}

}  // namespace
}  // namespace vorn
