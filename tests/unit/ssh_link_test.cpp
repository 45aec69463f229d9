#include "main/ssh_link.h"

#include <dirent.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace vorn {
namespace {

using namespace std::string_literals;

TEST(RootHomeFromPasswd, TakesTheSixthFieldOfTheFirstUidZeroLineWithSevenFields) {
    struct Case {
        std::string content;
        std::optional<std::string> home;
    };
    const Case cases[] = {
        {"root:x:0:0:root:/root:/bin/bash\n", "/root"},
        {"root:x:0:0:root:/root:/bin/bash", "/root"},
        {"daemon:x:1:1::/usr/sbin:/bin/sh\nroot:x:0:0::/last:/bin/sh", "/last"},
        {"toor:x:0:0:toor:/six\nroot:x:0:0:root:/seven:/bin/sh\n", "/seven"},
        {"root:x:0:0:root:/first:/bin/sh\nadmin:x:0:0::/second:/bin/sh\n", "/first"},
        {"root:x:0:0:root:/more:/bin/sh:extra:fields\n", "/more"},
        {"a:x:00:0::/a:/sh\nb:x: 0:0::/b:/sh\nc:x:0 :0::/c:/sh\nd:x:0:0::/d:/sh\n", "/d"},
        {"0:x:1:0:zero:/notme:/bin/sh\n", std::nullopt},
        {"#root:x:0:0:root:/comment:/bin/sh\n", "/comment"},
        {"root:x:0:0:root:/cr:/bin/sh\r\n", "/cr"},
        {"root:x:0:0:root::/bin/sh\n", ""},
        {"root:x:0:0:root:/r\xff\0t:/bin/sh\n"s, "/r\xff\0t"s},
        {"\n\n::0::::\n", ""},
        {"daemon:x:1:1::/usr/sbin:/bin/sh\n", std::nullopt},
        {"root:x:0:0:root:/root\n", std::nullopt},
        {"", std::nullopt},
        {"\n", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(root_home_from_passwd(c.content), c.home) << "passwd: " << c.content;
    }
}

TEST(SamePath, EqualByBytesOrByComponents) {
    struct Case {
        std::string_view a, b;
        bool same;
    };
    const Case cases[] = {
        {"/x/root", "/x/root", true},
        {"/x/root", "/x/root/", true},
        {"/x/root", "/x//root", true},
        {"/x/root", "/x/./root", true},
        {"/x/root", "/x/root/.", true},
        {"/x/root", "//x///root//", true},
        {"/x/root", "/./x/root", true},
        {"/", "//", true},
        {"/", "/.", true},
        {"a/b", "a/./b/", true},
        {"", "", true},
        {"/x/root", "/x/a/../root", false},
        {"/x", "/x/..", false},
        {"/x/root", "/x/Root", false},
        {"/x/root", "/x/root2", false},
        {"/x/root", "x/root", false},
        {"./x", "x", false},
        {".", "", false},
        {"/", "", false},
        {"/x/root", "/x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(same_path(c.a, c.b), c.same) << c.a << " vs " << c.b;
        EXPECT_EQ(same_path(c.b, c.a), c.same) << c.b << " vs " << c.a;
    }
}

TEST(SshLinkInputs, TakenFromTheEnvironmentWithEmptyMeaningUnset) {
    struct Case {
        std::optional<std::string> passwd, rootfs, home;
        SshLinkInputs expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, {"/etc/passwd", "/", std::nullopt}},
        {"", "", "", {"/etc/passwd", "/", ""}},
        {"/img/etc/passwd", "/img", "/home/u", {"/img/etc/passwd", "/img", "/home/u"}},
    };
    for (const auto& c : cases) {
        Environment env;
        env.passwd = c.passwd;
        env.rootfs = c.rootfs;
        env.home = c.home;
        const SshLinkInputs got = ssh_link_inputs(env);
        EXPECT_EQ(got.passwd_file, c.expected.passwd_file);
        EXPECT_EQ(got.image_root, c.expected.image_root);
        EXPECT_EQ(got.home, c.expected.home);
    }
}

// A root home and a HOME side by side in a temporary folder, which is also
// the image root.
struct Tree {
    vt::TempDir dir;
    std::string root_home = dir / "root";
    std::string home = dir / "home";
    std::string passwd = dir / "passwd";
    SshLinkInputs inputs{passwd, dir.path(), home};

    Tree() {
        vt::make_dirs(root_home);
        vt::make_dirs(home);
        set_root_home(root_home);
    }
    void set_root_home(const std::string& path) const {
        vt::write_file(passwd, "daemon:x:1:1::/usr/sbin:/bin/sh\nroot:x:0:0:root:" + path +
                                   ":/bin/bash\nuser:x:1000:1000::" + home + ":/bin/sh\n");
    }
    std::string root_ssh() const { return root_home + "/.ssh"; }
    std::string home_ssh() const { return home + "/.ssh"; }
};

mode_t permissions(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Every entry of a folder with its type, permissions, link target or
// content, so that any change the step makes shows up.
std::string listing(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return "(no folder)";
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat st {};
        ::lstat(path.c_str(), &st);
        std::string entry = name + " " + std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) entry += " -> " + vt::link_target(path).value_or("?");
        if (S_ISREG(st.st_mode)) entry += " = " + vt::read_file(path);
        if (S_ISDIR(st.st_mode)) entry += " [" + listing(path) + "]";
        entries.push_back(entry);
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const auto& entry : entries) out += entry + "; ";
    return out;
}

TEST(SshLink, LinksRootHomeSshToHomeSsh) {
    struct Case {
        const char* name;
        std::function<void(Tree&)> setup;
        std::function<std::string(const Tree&)> target;
        mode_t home_ssh_mode;  // 0: not checked
    };
    const auto plain_target = [](const Tree& t) { return t.home + "/.ssh"; };
    const Case cases[] = {
        {"plain", [](Tree&) {}, plain_target, 0700},
        {"HOME ends in a slash", [](Tree& t) { t.inputs.home = t.home + "/"; }, plain_target, 0700},
        {"HOME with a doubled slash keeps its text",
         [](Tree& t) { t.inputs.home = t.dir.path() + "//home"; },
         [](const Tree& t) { return t.dir.path() + "//home/.ssh"; }, 0700},
        {"root home ends in a slash", [](Tree& t) { t.set_root_home(t.root_home + "/"); },
         plain_target, 0700},
        {"HOME/.ssh already there",
         [](Tree& t) {
             vt::make_dirs(t.home_ssh());
             ::chmod(t.home_ssh().c_str(), 0751);
         },
         plain_target, 0751},
        {"HOME/.ssh a link to a folder",
         [](Tree& t) {
             vt::make_dirs(t.dir / "keys");
             ASSERT_EQ(::symlink((t.dir / "keys").c_str(), t.home_ssh().c_str()), 0);
         },
         plain_target, 0},
        {"a six-field uid-0 line is skipped",
         [](Tree& t) {
             vt::make_dirs(t.dir / "decoy");
             vt::write_file(t.passwd, "toor:x:0:0:toor:" + (t.dir / "decoy") +
                                          "\nroot:x:0:0:root:" + t.root_home + ":/bin/sh");
         },
         plain_target, 0700},
        {"the first uid-0 line wins",
         [](Tree& t) {
             vt::make_dirs(t.dir / "decoy");
             vt::write_file(t.passwd, "root:x:0:0::" + t.root_home + ":/bin/sh\nadmin:x:0:0::" +
                                          (t.dir / "decoy") + ":/bin/sh\n");
         },
         plain_target, 0700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        c.setup(t);
        make_ssh_link(t.inputs);
        EXPECT_EQ(vt::link_target(t.root_ssh()), c.target(t));
        struct stat st {};
        EXPECT_EQ(::stat(t.home_ssh().c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        if (c.home_ssh_mode) {
            EXPECT_EQ(permissions(t.home_ssh()), c.home_ssh_mode);
        }
        EXPECT_FALSE(vt::path_exists(t.dir / "decoy/.ssh"));

        // The next session finds the link and leaves everything as it is.
        const std::string root_before = listing(t.root_home), home_before = listing(t.home);
        make_ssh_link(t.inputs);
        EXPECT_EQ(listing(t.root_home), root_before);
        EXPECT_EQ(listing(t.home), home_before);
    }
}

TEST(SshLink, LeavesEverythingAloneWhenNoLinkIsDue) {
    struct Case {
        const char* name;
        std::function<void(Tree&)> setup;
    };
    const Case cases[] = {
        {"HOME unset", [](Tree& t) { t.inputs.home.reset(); }},
        {"HOME empty", [](Tree& t) { t.inputs.home = ""; }},
        {"HOME relative", [](Tree& t) { t.inputs.home = "home"; }},
        {"HOME missing", [](Tree& t) { t.inputs.home = t.dir / "nobody"; }},
        {"HOME is root home", [](Tree& t) { t.inputs.home = t.root_home; }},
        {"HOME names root home through ..",
         // Different as paths, the same folder on disk: the HOME/.ssh made on
         // the way is root home's own .ssh, the link then cannot be made, and
         // that folder must go again.
         [](Tree& t) {
             vt::make_dirs(t.dir / "a");
             t.inputs.home = t.dir / "a/../root";
         }},
        {"no passwd file", [](Tree& t) { t.inputs.passwd_file = t.dir / "none"; }},
        {"passwd is a folder", [](Tree& t) { t.inputs.passwd_file = t.home; }},
        {"no uid-0 line",
         [](Tree& t) { vt::write_file(t.passwd, "u:x:1000:1000::" + t.root_home + ":/bin/sh\n"); }},
        {"only a six-field uid-0 line",
         [](Tree& t) { vt::write_file(t.passwd, "root:x:0:0:root:" + t.root_home + "\n"); }},
        {"root home empty", [](Tree& t) { t.set_root_home(""); }},
        {"root home relative",
         [](Tree& t) {
             t.set_root_home("root");
             // Relative to the test's folder it would even exist.
             ASSERT_EQ(::chdir(t.dir.path().c_str()), 0);
         }},
        {"root home missing", [](Tree& t) { t.set_root_home(t.dir / "gone"); }},
        {"root home a file",
         [](Tree& t) {
             vt::write_file(t.dir / "file", "x");
             t.set_root_home(t.dir / "file");
         }},
        {"image root missing", [](Tree& t) { t.inputs.image_root = t.dir / "gone"; }},
        {"root home has a .ssh folder", [](Tree& t) { vt::make_dirs(t.root_ssh()); }},
        {"root home has a .ssh file", [](Tree& t) { vt::write_file(t.root_ssh(), "keys"); }},
        {"root home has a dangling .ssh link",
         [](Tree& t) {
             ASSERT_EQ(::symlink((t.dir / "nowhere").c_str(), t.root_ssh().c_str()), 0);
         }},
        {"root home has a .ssh link elsewhere",
         [](Tree& t) {
             vt::make_dirs(t.dir / "keys");
             ASSERT_EQ(::symlink((t.dir / "keys").c_str(), t.root_ssh().c_str()), 0);
         }},
        {"HOME/.ssh a regular file", [](Tree& t) { vt::write_file(t.home_ssh(), "not keys"); }},
        {"HOME/.ssh a dangling link",
         [](Tree& t) {
             ASSERT_EQ(::symlink((t.dir / "nowhere").c_str(), t.home_ssh().c_str()), 0);
         }},
    };
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        c.setup(t);
        const std::string before = listing(t.dir.path());
        make_ssh_link(t.inputs);
        EXPECT_EQ(listing(t.dir.path()), before);
        ASSERT_EQ(::chdir(cwd), 0);
    }
}

TEST(SshLink, RemovesTheHomeSshItMadeWhenTheLinkFails) {
    struct Case {
        const char* name;
        bool home_ssh_existed;
    };
    const Case cases[] = {{"made by the step", false}, {"there before", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        // A root home the step cannot write to. Root writes anywhere, so the
        // step runs as an ordinary user then, who owns HOME.
        const bool as_root = ::geteuid() == 0;
        ASSERT_EQ(::chmod(t.dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(t.root_home.c_str(), 0555), 0);
        if (c.home_ssh_existed) vt::make_dirs(t.home_ssh());
        if (as_root) {
            ASSERT_EQ(::chown(t.home.c_str(), 65534, 65534), 0);
            if (c.home_ssh_existed) {
                ASSERT_EQ(::chown(t.home_ssh().c_str(), 65534, 65534), 0);
            }
        }
        const int status = vt::run_as_outsider([&] {
            make_ssh_link(t.inputs);
            return 0;
        });
        ASSERT_EQ(status, 0) << "could not run the step as user 65534";
        EXPECT_FALSE(vt::path_exists(t.root_ssh()));
        EXPECT_EQ(vt::path_exists(t.home_ssh()), c.home_ssh_existed);
    }
}

TEST(SshLink, NoLinkOnAnotherFileSystemThanTheImageRoot) {
    Tree t;
    constexpr int kNoNamespace = 77;
    const int status =
        vt::in_child([&] {
            // A mount of the child's own: the tmpfs vanishes with it.
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", t.root_home.c_str(), "tmpfs", 0, "mode=0755") != 0) {
                return kNoNamespace;
            }
            make_ssh_link(t.inputs);
            if (vt::path_exists(t.root_ssh())) return 1;
            if (vt::path_exists(t.home_ssh())) return 2;
            // The same root home with an image root on its own volume does get
            // the link, so it was the device alone that stood in the way.
            SshLinkInputs same_device = t.inputs;
            same_device.image_root = t.root_home;
            make_ssh_link(same_device);
            if (vt::link_target(t.root_ssh()) != t.home_ssh()) return 3;
            return 0;
        }).status();
    if (status == kNoNamespace) {
        GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace here";
    }
    EXPECT_EQ(status, 0) << "1: link made across devices, 2: HOME/.ssh made, 3: no link on the "
                            "same device";
    EXPECT_FALSE(vt::path_exists(t.root_ssh())) << "the link must have stayed on the tmpfs";
}

}  // namespace
}  // namespace vorn
