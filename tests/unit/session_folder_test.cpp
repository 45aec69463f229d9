#include "main/session_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <set>

#include "base/error.h"
#include "support/test_env.h"

namespace vorn {
namespace {

mode_t mode_of(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

bool is_regular(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }

  private:
    mode_t old_;
};

TEST(SessionFolderPath, EmptyCountsAsUnset) {
    const struct {
        std::optional<std::string> value;
        std::string expected;
    } cases[] = {
        {std::nullopt, "/run/vorn-session"},
        {"", "/run/vorn-session"},
        {"/tmp/s", "/tmp/s"},
        {"relative", "relative"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(session_folder_path(c.value), c.expected) << c.value.value_or("(unset)");
    }
}

TEST(PrepareSessionFolder, MakesParentsFolderAndLockUnderTheUmask) {
    vt::TempDir tmp;
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
        UmaskScope scope(mask);
        const std::string top = tmp / ("u" + std::to_string(mask));
        const std::string folder = top + "/a/session";
        auto lock = prepare_session_folder(folder);
        ASSERT_TRUE(lock) << error_text(lock.error());
        EXPECT_EQ(mode_of(top), 0755 & ~mask);
        EXPECT_EQ(mode_of(top + "/a"), 0755 & ~mask);
        EXPECT_EQ(mode_of(folder), 0700 & ~mask);
        const std::string lock_path = folder + "/copies.lock";
        ASSERT_TRUE(is_regular(lock_path));
        EXPECT_EQ(mode_of(lock_path), 0600 & ~mask);
        EXPECT_EQ(vt::names_in(folder), std::set<std::string>{"copies.lock"});

        EXPECT_EQ(::fcntl(lock->lock.get(), F_GETFL) & O_ACCMODE, O_RDWR);
        EXPECT_TRUE(::fcntl(lock->lock.get(), F_GETFD) & FD_CLOEXEC);
        struct stat by_fd, by_path;
        ASSERT_EQ(::fstat(lock->lock.get(), &by_fd), 0);
        ASSERT_EQ(::stat(lock_path.c_str(), &by_path), 0);
        EXPECT_EQ(by_fd.st_ino, by_path.st_ino);
    }
}

TEST(PrepareSessionFolder, RelativeSingleNameIsMadeInTheWorkingFolder) {
    vt::TempDir tmp;
    UmaskScope scope(022);
    char old_cwd[4096];
    ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
    auto lock = prepare_session_folder("sess/");
    ASSERT_EQ(::chdir(old_cwd), 0);
    ASSERT_TRUE(lock) << error_text(lock.error());
    EXPECT_EQ(mode_of(tmp / "sess"), 0700);
    EXPECT_TRUE(is_regular(tmp / "sess/copies.lock"));
}

TEST(PrepareSessionFolder, ExistingFolderIsTightenedAndOnlyStaleEntriesGo) {
    vt::TempDir tmp;
    UmaskScope scope(022);
    const std::string folder = tmp / "session";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    for (const char* name : {"ended", "copy-12", "copy-", "hangup-abc", "hangup-", "notes",
                             "ended.old", "xcopy-1", "Copy-1", "hangup"}) {
        vt::write_file(folder + "/" + name, "x");
    }
    // Removal is a plain file removal: a folder under a stale name stays.
    vt::make_dirs(folder + "/copy-dir");
    vt::write_file(folder + "/copy-dir/inner", "x");
    // A stale link goes as a link; what it points at is not touched.
    const std::string victim = tmp / "victim";
    vt::write_file(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), (folder + "/copy-99").c_str()), 0);
    vt::write_file(folder + "/copies.lock", "keep these bytes", 0600);

    auto lock = prepare_session_folder(folder);
    ASSERT_TRUE(lock) << error_text(lock.error());
    EXPECT_EQ(mode_of(folder), 0700);
    EXPECT_EQ(vt::names_in(folder),
              (std::set<std::string>{"notes", "ended.old", "xcopy-1", "Copy-1", "hangup",
                                     "copy-dir", "copies.lock"}));
    EXPECT_EQ(vt::read_file(folder + "/copies.lock"), "keep these bytes");
    EXPECT_EQ(vt::read_file(folder + "/copy-dir/inner"), "x");
    EXPECT_EQ(vt::read_file(victim), "precious");
}

TEST(PrepareSessionFolder, RefusesWhatIsNotAFolderOfThisUserAndLeavesItAlone) {
    vt::TempDir tmp;
    UmaskScope scope(022);
    const std::string target = tmp / "target";
    const auto good_folder = [&] {
        vt::make_dirs(target);
        ::chmod(target.c_str(), 0755);
        vt::write_file(target + "/ended", "");
    };
    struct Case {
        std::string name;
        std::function<std::string()> plant;  // makes the entry, returns the folder path
        bool needs_root;
    };
    const Case cases[] = {
        {"another user's folder",
         [&] {
             good_folder();
             EXPECT_EQ(::chown(target.c_str(), 65534, 65534), 0);
             return target;
         },
         true},
        {"link to a good folder",
         [&] {
             good_folder();
             EXPECT_EQ(::symlink(target.c_str(), (tmp / "link").c_str()), 0);
             return tmp / "link";
         },
         false},
        {"link to a good folder, named with a trailing slash",
         [&] {
             good_folder();
             EXPECT_EQ(::symlink(target.c_str(), (tmp / "slashed").c_str()), 0);
             return tmp / "slashed/";
         },
         false},
        {"regular file",
         [&] {
             vt::write_file(tmp / "file", "content");
             return tmp / "file";
         },
         false},
    };
    for (const auto& c : cases) {
        if (c.needs_root && ::geteuid() != 0) continue;
        const std::string folder = c.plant();
        auto lock = prepare_session_folder(folder);
        ASSERT_FALSE(lock) << c.name;
        EXPECT_FALSE(lock.error().is_system()) << c.name;
        EXPECT_EQ(error_text(lock.error()), folder + " is not a folder of this user") << c.name;
        if (c.name == "regular file") {
            EXPECT_EQ(vt::read_file(folder), "content");
            continue;
        }
        EXPECT_EQ(mode_of(target), 0755) << c.name;
        EXPECT_TRUE(vt::path_exists(target + "/ended")) << c.name;
        EXPECT_FALSE(vt::path_exists(target + "/copies.lock")) << c.name;
        ::unlink((target + "/ended").c_str());
        ::rmdir(target.c_str());
    }
}

TEST(PrepareSessionFolder, ErrorTextShowsTheFolderOnOneLine) {
    vt::TempDir tmp;
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"line\nfeed", "line\\nfeed"},
        {"esc\x1b[31m", "esc\\u{1b}[31m"},
        {"bad\xff", "bad\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        vt::write_file(tmp / c.name, "");
        auto lock = prepare_session_folder(tmp / c.name);
        ASSERT_FALSE(lock) << c.shown;
        EXPECT_EQ(error_text(lock.error()), tmp / c.shown + " is not a folder of this user");
    }
}

TEST(PrepareSessionFolder, SystemErrorsKeepTheirNumber) {
    vt::TempDir tmp;
    vt::write_file(tmp / "file", "");
    const struct {
        std::string folder;
        int code;
    } cases[] = {
        {tmp / "file/session", EEXIST},               // the parent is a file
        {tmp / std::string(300, 'n'), ENAMETOOLONG},  // the folder itself cannot be made
        {std::string("nul\0inside", 10), 0},          // the program's own error
    };
    for (const auto& c : cases) {
        auto lock = prepare_session_folder(c.folder);
        ASSERT_FALSE(lock) << c.folder;
        EXPECT_EQ(lock.error().code, c.code) << c.folder;
        if (c.code == 0) {
            EXPECT_EQ(error_text(lock.error()), kNulInPath);
        }
    }
}

TEST(PrepareSessionFolder, NeverOpensTheLockThroughALink) {
    vt::TempDir tmp;
    const std::string folder = tmp / "session";
    const std::string victim = tmp / "victim";
    const std::string absent = tmp / "absent";
    vt::write_file(victim, "precious");
    for (const std::string& points_at : {victim, absent}) {
        vt::make_dirs(folder);
        ::unlink((folder + "/copies.lock").c_str());
        ASSERT_EQ(::symlink(points_at.c_str(), (folder + "/copies.lock").c_str()), 0);
        auto lock = prepare_session_folder(folder);
        ASSERT_FALSE(lock) << points_at;
        EXPECT_EQ(lock.error().code, ELOOP);
    }
    EXPECT_EQ(vt::read_file(victim), "precious");
    EXPECT_EQ(mode_of(victim), 0644);
    EXPECT_FALSE(vt::path_exists(absent));
}

// The owner of a folder can always make it usable again, even after taking
// away its own read permission.
TEST(PrepareSessionFolder, OwnUnreadableFolderIsRepaired) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs to switch to another user";
    vt::TempDir tmp;
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
    const std::string home = tmp / "nobody";
    vt::make_dirs(home);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    const std::string folder = home + "/session";

    const int prepared = vt::run_as_outsider([&] {
        if (::mkdir(folder.c_str(), 0) != 0) return 11;
        return prepare_session_folder(folder) ? 0 : 12;
    });
    EXPECT_EQ(prepared, 0);
    EXPECT_EQ(mode_of(folder), 0700);
    EXPECT_TRUE(is_regular(folder + "/copies.lock"));
}

TEST(EndedMarker, CreatedEmptyNeverTruncatedNeverThroughALink) {
    vt::TempDir tmp;
    UmaskScope scope(022);
    const std::string folder = tmp / "session";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const SessionFolder session = SessionFolder::open_if_own(folder);
    ASSERT_TRUE(session.present());

    EXPECT_FALSE(session.has_ended_marker());
    session.write_ended_marker();
    EXPECT_TRUE(is_regular(folder + "/ended"));
    EXPECT_EQ(mode_of(folder + "/ended"), 0600);
    EXPECT_EQ(vt::read_file(folder + "/ended"), "");
    EXPECT_TRUE(session.has_ended_marker());

    vt::write_file(folder + "/ended", "kept");
    session.write_ended_marker();
    EXPECT_EQ(vt::read_file(folder + "/ended"), "kept");

    const std::string victim = tmp / "victim";
    const std::string absent = tmp / "absent";
    vt::write_file(victim, "precious");
    for (const std::string& points_at : {victim, absent}) {
        ::unlink((folder + "/ended").c_str());
        ASSERT_EQ(::symlink(points_at.c_str(), (folder + "/ended").c_str()), 0);
        session.write_ended_marker();
        // A link counts as present, dangling or not.
        EXPECT_TRUE(session.has_ended_marker());
    }
    EXPECT_EQ(vt::read_file(victim), "precious");
    EXPECT_FALSE(vt::path_exists(absent));

    // A FIFO planted under the name must not stall the writer.
    ::unlink((folder + "/ended").c_str());
    ASSERT_EQ(::mkfifo((folder + "/ended").c_str(), 0600), 0);
    session.write_ended_marker();

    // A folder reached through a link is not written into.
    ASSERT_EQ(::symlink(folder.c_str(), (tmp / "link").c_str()), 0);
    ::unlink((folder + "/ended").c_str());
    SessionFolder::open_if_own(tmp / "link").write_ended_marker();
    EXPECT_FALSE(vt::path_exists(folder + "/ended"));
}

}  // namespace
}  // namespace vorn
