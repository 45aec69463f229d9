// vorn-entry --check CMD through the real binary: the answer on standard
// output with status 0, or one launcher message with status 126 or 127.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/test_env.h"

namespace {

const std::string kNotOnPath =
    ". Install it in the image, or set launch.container.clients.<client>.command.\n";
const std::string kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct Case {
    std::string word;
    int status;
    std::string out;
    std::string err;
};

void expect_checks(const vt::TestEnv& env, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        const auto r = vt::run(env.spec({"--check", c.word}));
        EXPECT_EQ(r.status(), c.status) << c.word;
        EXPECT_EQ(r.out, c.out) << c.word;
        EXPECT_EQ(r.err, c.err) << c.word;
    }
}

TEST(Check, AnswersOrExplainsEachKindOfCommand) {
    vt::TestEnv env;
    const std::string bin = env.path("bin"), more = env.path("more");
    vt::make_dirs(bin);
    vt::make_dirs(more);
    vt::write_script(bin + "/ok", "exit 0\n");
    vt::write_file(bin + "/plain", "#!/bin/sh\n", 0644);
    vt::write_file(bin + "/later", "#!/bin/sh\n", 0644);
    vt::write_script(more + "/later", "exit 0\n");
    vt::write_file(bin + "/crlf", "#!/bin/sh\r\necho hi\r\n", 0755);
    vt::write_file(bin + "/nointerp", "#!/no/such/interp -x\n", 0755);
    vt::write_file(bin + "/envtool", "#!/usr/bin/env nosuchtool\n", 0755);
    vt::write_file(bin + "/envwords", "#!/usr/bin/env mytool --fast\n", 0755);
    vt::write_file(bin + "/envs", "#!/usr/bin/env -S ok --fast\n", 0755);
    vt::write_file(bin + "/envok", "#!/usr/bin/env ok\n", 0755);
    vt::make_dirs(bin + "/dir");
    const std::string path = bin + ":" + more;
    env.set("PATH", path);

    expect_checks(
        env,
        {
            {"ok", 0, bin + "/ok\n", ""},
            {"later", 0, more + "/later\n", ""},
            {"envs", 0, bin + "/envs\n", ""},
            {"envok", 0, bin + "/envok\n", ""},
            {bin + "/ok", 0, bin + "/ok\n", ""},
            {"nosuch", 127, "",
             "[launch] nosuch is not on the image's PATH (" + path + ")" + kNotOnPath},
            {"dir", 127, "", "[launch] dir is not on the image's PATH (" + path + ")" + kNotOnPath},
            {bin + "/dir", 127, "",
             "[launch] " + bin +
                 "/dir is not an executable file in this image. The image needs the command it "
                 "runs.\n"},
            {"bin/nosuch", 127, "",
             "[launch] bin/nosuch is not an executable file in this image. The image needs the "
             "command it runs.\n"},
            {"plain", 126, "",
             "[launch] " + bin +
                 "/plain has no execute bit. Run chmod 755 on it in the Containerfile.\n"},
            {"bin/plain", 126, "",
             "[launch] bin/plain has no execute bit. Run chmod 755 on it in the Containerfile.\n"},
            {"crlf", 126, "",
             "[launch] " + bin +
                 "/crlf has a #! line that ends in a carriage return, from Windows line endings. "
                 "Convert the file to Unix line endings.\n"},
            {"nointerp", 126, "",
             "[launch] " + bin +
                 "/nointerp names /no/such/interp in its #! line, which is not in the image.\n"},
            {"envtool", 126, "",
             "[launch] " + bin +
                 "/envtool names nosuchtool in its #! line, which is not in the image.\n"},
            {"envwords", 126, "",
             "[launch] " + bin +
                 "/envwords has \"mytool --fast\" after env in its #! line, and env receives it as "
                 "one command name. Write #!/usr/bin/env -S mytool --fast to pass it as separate "
                 "words.\n"},
            {"", 127, "", "[launch]  is not on the image's PATH (" + path + ")" + kNotOnPath},
        });
}

TEST(Check, EmptyPathElementsMeanTheCurrentDirectory) {
    vt::TestEnv env;  // runs in its own folder
    vt::write_script(env.path("tool"), "exit 0\n");
    for (const std::string path : {":/usr/bin", "", "/nonexistent::/usr/bin"}) {
        env.set("PATH", path);
        expect_checks(env, {{"tool", 0, "./tool\n", ""}});
    }
    env.set("PATH", "/nonexistent");
    expect_checks(env, {{"tool", 127, "",
                         "[launch] tool is not on the image's PATH (/nonexistent)" + kNotOnPath}});
}

TEST(Check, AnUnsetPathShowsTheDefaultPath) {
    vt::TestEnv env;
    env.unset("PATH");
    expect_checks(env, {{"vorn-no-such-tool", 127, "",
                         "[launch] vorn-no-such-tool is not on the image's PATH (" + kDefaultPath +
                             ")" + kNotOnPath}});
}

TEST(Check, FindsTheSystemShell) {
    vt::TestEnv env;
    const std::string noexec = env.path("noexec");
    vt::make_dirs(noexec);
    vt::write_file(noexec + "/sh", "#!/bin/sh\n", 0644);
    vt::make_dirs(env.path("empty"));
    env.set("PATH", env.path("empty") + ":" + noexec + ":/bin");
    expect_checks(env, {{"sh", 0, "/bin/sh\n", ""}, {"/bin/sh", 0, "/bin/sh\n", ""}});
}

TEST(Check, ShowsWordsAndPathsInTheirDisplayForm) {
    vt::TestEnv env;
    const std::string bin = env.path("bin");
    vt::make_dirs(bin);
    env.set("PATH", bin);
    struct Shown {
        std::string word;
        std::string display;
    };
    const Shown words[] = {
        {"line\nfeed", "line\\nfeed"},  {"esc\x1b[1m", "esc\\u{1b}[1m"},
        {"del\x7f", "del\\u{7f}"},      {"byte\xff", "byte\xef\xbf\xbd"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, {"quote\"back\\slash", "quote\"back\\slash"},
        {"tab\tcr\r", "tab\\tcr\\r"},
    };
    std::vector<Case> cases;
    for (const auto& w : words) {
        cases.push_back(
            {w.word, 127, "",
             "[launch] " + w.display + " is not on the image's PATH (" + bin + ")" + kNotOnPath});
    }
    // The answer on standard output is a display form too, and so is the PATH.
    vt::write_script(bin + "/run\nme", "exit 0\n");
    vt::write_file(bin + "/plain\x1b", "", 0644);
    cases.push_back({"run\nme", 0, bin + "/run\\nme\n", ""});
    cases.push_back({"plain\x1b", 126, "",
                     "[launch] " + bin +
                         "/plain\\u{1b} has no execute bit. Run chmod 755 on it in the "
                         "Containerfile.\n"});
    expect_checks(env, cases);

    env.set("PATH", bin + ":/odd\tdir\xff");
    expect_checks(env, {{"nosuch", 127, "",
                         "[launch] nosuch is not on the image's PATH (" + bin +
                             ":/odd\\tdir\xef\xbf\xbd)" + kNotOnPath}});
}

}  // namespace
