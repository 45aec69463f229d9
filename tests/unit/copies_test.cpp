#include "main/copies.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "main/session_folder.h"
#include "support/process.h"
#include "support/test_env.h"

namespace vorn {
namespace {

size_t open_descriptors() {
    size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n;
}

// The PID of a process that has ended and been reaped.
pid_t gone_pid() {
    vt::Spec spec;
    spec.program = "/bin/true";
    auto child = vt::Child::start(spec);
    const pid_t pid = child->pid();
    child->wait();
    return pid;
}

// Whether some other open file description could take the lock this way now.
bool lock_free_for(const std::string& lock_path, int how) {
    vorn::UniqueFd other(::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC));
    return other && ::flock(other.get(), how | LOCK_NB) == 0;
}

std::string session_with_lock(const vt::TempDir& tmp) {
    const std::string folder = tmp / "session";
    EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
    vt::write_file(folder + "/copies.lock", "", 0600);
    return folder;
}

TEST(LiveCopies, NamesThatAreNotLiveCopiesAreRemovedOrLeftAlone) {
    vt::TempDir tmp;
    const std::string folder = session_with_lock(tmp);
    const pid_t self = ::getpid();
    const std::string dead = "copy-" + std::to_string(gone_pid());
    const std::set<std::string> removed = {"copy-0",           "copy--5", "copy--0",
                                           "copy--2147483648", "copy-+0", dead};
    const std::set<std::string> kept = {"copy-abc",
                                        "copy-",
                                        "copy-+",
                                        "copy--",
                                        "copy-2147483648",
                                        "copy-99999999999",
                                        "copy-1x",
                                        "copy- 1",
                                        "copy-1 ",
                                        "copy-\xff"
                                        "1",
                                        "xcopy-1",
                                        "copies.lock",
                                        "notes"};
    const std::set<std::string> live = {"copy-" + std::to_string(self),
                                        "copy-+" + std::to_string(self), "copy-1"};
    for (const auto* group : {&removed, &kept, &live}) {
        for (const auto& name : *group) vt::write_file(folder + "/" + name, "");
    }

    std::vector<pid_t> listed = list_live_copies(SessionFolder::open_if_own(folder));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<pid_t>{1, self, self}));

    std::set<std::string> expected = kept;
    expected.insert(live.begin(), live.end());
    EXPECT_EQ(vt::names_in(folder), expected);
}

TEST(CopyFilePid, ReadsASigned32BitNumberAfterThePrefix) {
    const struct {
        std::string_view name;
        std::optional<int32_t> pid;
    } cases[] = {
        {"copy-1", 1},
        {"copy-+7", 7},
        {"copy-0042", 42},
        {"copy--5", -5},
        {"copy--0", 0},
        {"copy-2147483647", 2147483647},
        {"copy--2147483648", -2147483647 - 1},
        {"copy-2147483648", std::nullopt},
        {"copy--2147483649", std::nullopt},
        {"copy-18446744073709551617", std::nullopt},
        {"copy-", std::nullopt},
        {"copy-+", std::nullopt},
        {"copy-+-1", std::nullopt},
        {"copy-1x", std::nullopt},
        {"copy-1\xff", std::nullopt},
        {"Copy-1", std::nullopt},
        {"copy1", std::nullopt},
        {"copy", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(copy_file_pid(c.name), c.pid) << c.name;
    // What a joined copy names its own file by is read back as its process ID.
    for (const pid_t pid : {1, 4242, 2147483647})
        EXPECT_EQ(copy_file_pid(copy_file_name(pid)), pid);
}

TEST(LiveCopies, ForeignOrMissingFolderGivesNoCopiesAndIsNotCleaned) {
    vt::TempDir tmp;
    EXPECT_TRUE(list_live_copies(SessionFolder::open_if_own(tmp / "missing")).empty());

    const std::string target = session_with_lock(tmp);
    const std::string self = "copy-" + std::to_string(::getpid());
    vt::write_file(target + "/copy-0", "");
    vt::write_file(target + "/" + self, "");
    const std::string link = tmp / "link";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_TRUE(list_live_copies(SessionFolder::open_if_own(link)).empty());
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(list_live_copies(SessionFolder::open_if_own(target)).empty());
    }
    EXPECT_EQ(vt::names_in(target), (std::set<std::string>{"copies.lock", "copy-0", self}));
}

// kill(pid, 0) refused for lack of permission still means the process is there.
TEST(LiveCopies, ProcessOfAnotherUserCounts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs to switch to another user";
    vt::TempDir tmp;
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0755), 0);
    const std::string folder = tmp / "session";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const pid_t root_process = ::getpid();
    const std::string copy_file = folder + "/copy-" + std::to_string(root_process);
    vt::write_file(copy_file, "");
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);

    const int seen = vt::run_as_outsider([&] {
        const auto live = list_live_copies(SessionFolder::open_if_own(folder));
        return live == std::vector<pid_t>{root_process} ? 0 : 11;
    });
    EXPECT_EQ(seen, 0);
    EXPECT_TRUE(vt::path_exists(copy_file));
}

TEST(TryJoin, RefusalsCloseEverythingAndLeaveNoCopyFile) {
    vt::TempDir tmp;
    const std::string victim = tmp / "victim";
    vt::write_file(victim, "precious");
    UniqueFd exclusive_holder;
    struct Case {
        std::string name;
        std::optional<std::string> copy_id;
        std::function<std::string()> plant;  // returns the folder
        JoinRefusal expected;
    };
    const Case cases[] = {
        {"folder missing", "abc", [&] { return tmp / "missing"; }, JoinRefusal::folder_gone},
        {"copies.lock missing", "abc",
         [&] {
             const std::string folder = tmp / "bare";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             return folder;
         },
         JoinRefusal::folder_gone},
        {"copies.lock is a link", "abc",
         [&] {
             const std::string folder = tmp / "linked-lock";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             EXPECT_EQ(::symlink(victim.c_str(), (folder + "/copies.lock").c_str()), 0);
             return folder;
         },
         JoinRefusal::folder_gone},
        {"folder is a link", "abc",
         [&] {
             const std::string target = tmp / "real";
             EXPECT_EQ(::mkdir(target.c_str(), 0700), 0);
             vt::write_file(target + "/copies.lock", "", 0600);
             EXPECT_EQ(::symlink(target.c_str(), (tmp / "folder-link").c_str()), 0);
             return tmp / "folder-link";
         },
         JoinRefusal::folder_gone},
        {"copy file name taken by a folder", "abc",
         [&] {
             const std::string folder = tmp / "taken";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             vt::write_file(folder + "/copies.lock", "", 0600);
             vt::make_dirs(folder + "/copy-" + std::to_string(::getpid()) + "/inner");
             return folder;
         },
         JoinRefusal::folder_gone},
        {"exclusive lock held", "abc",
         [&] {
             const std::string folder = tmp / "locked";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             vt::write_file(folder + "/copies.lock", "", 0600);
             exclusive_holder.reset(::open((folder + "/copies.lock").c_str(), O_RDWR | O_CLOEXEC));
             EXPECT_EQ(::flock(exclusive_holder.get(), LOCK_EX | LOCK_NB), 0);
             return folder;
         },
         JoinRefusal::session_ending},
        {"ended marker", std::nullopt,
         [&] {
             const std::string folder = tmp / "ended";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             vt::write_file(folder + "/copies.lock", "", 0600);
             vt::write_file(folder + "/ended", "");
             return folder;
         },
         JoinRefusal::session_ending},
        {"ended marker is a dangling link", "abc",
         [&] {
             const std::string folder = tmp / "ended-link";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             vt::write_file(folder + "/copies.lock", "", 0600);
             EXPECT_EQ(::symlink((tmp / "nowhere").c_str(), (folder + "/ended").c_str()), 0);
             return folder;
         },
         JoinRefusal::session_ending},
        {"hangup marker of this copy ID", "abc",
         [&] {
             const std::string folder = tmp / "hung";
             EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
             vt::write_file(folder + "/copies.lock", "", 0600);
             vt::write_file(folder + "/hangup-abc", "");
             return folder;
         },
         JoinRefusal::hung_up},
    };
    const std::string copy_file = "copy-" + std::to_string(::getpid());
    for (const auto& c : cases) {
        const std::string folder = c.plant();
        const size_t before = open_descriptors();
        auto joined = try_join(folder, c.copy_id, ::getpid());
        ASSERT_FALSE(joined) << c.name;
        EXPECT_EQ(joined.error(), c.expected) << c.name;
        EXPECT_EQ(open_descriptors(), before) << c.name;
        struct stat st;
        const bool copy_file_left = ::lstat((folder + "/" + copy_file).c_str(), &st) == 0;
        EXPECT_TRUE(!copy_file_left || S_ISDIR(st.st_mode)) << c.name;
        if (vt::path_exists(folder + "/copies.lock") && !exclusive_holder) {
            EXPECT_TRUE(lock_free_for(folder + "/copies.lock", LOCK_EX)) << c.name;
        }
        exclusive_holder.reset();
    }
    EXPECT_FALSE(vt::path_exists(tmp / "hung/hangup-abc"));
    EXPECT_TRUE(vt::path_exists(tmp / "ended/ended"));
    EXPECT_EQ(vt::read_file(victim), "precious");
}

TEST(TryJoin, JoinedCopyHoldsTheSharedLockAndItsCopyFile) {
    vt::TempDir tmp;
    const mode_t old_mask = ::umask(022);
    const std::string victim = tmp / "victim";
    vt::write_file(victim, "precious");
    const std::string copy_file = "copy-" + std::to_string(::getpid());
    struct Case {
        std::string name;
        std::optional<std::string> copy_id;
        std::string expected_content;
        std::function<void(const std::string& folder)> plant;
    };
    const Case cases[] = {
        {"with a copy ID", "abc", "abc", [](const std::string&) {}},
        {"without a copy ID", std::nullopt, "", [](const std::string&) {}},
        {"longest copy ID", std::string(64, 'f'), std::string(64, 'f'), [](const std::string&) {}},
        {"another ID's hangup marker", "abc", "abc",
         [](const std::string& folder) { vt::write_file(folder + "/hangup-abd", ""); }},
        {"no ID, whatever markers", std::nullopt, "",
         [](const std::string& folder) { vt::write_file(folder + "/hangup-", ""); }},
        {"stale copy file of the same PID", "ab", "ab",
         [&](const std::string& folder) {
             vt::write_file(folder + "/" + copy_file, "old and longer");
         }},
        {"copy file planted as a link", "abc", "abc",
         [&](const std::string& folder) {
             EXPECT_EQ(::symlink(victim.c_str(), (folder + "/" + copy_file).c_str()), 0);
         }},
        {"copy file planted as a hard link", "abc", "abc",
         [&](const std::string& folder) {
             EXPECT_EQ(::link(victim.c_str(), (folder + "/" + copy_file).c_str()), 0);
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string folder = tmp / ("s" + std::to_string(n++));
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        const std::string lock_path = folder + "/copies.lock";
        vt::write_file(lock_path, "", 0600);
        c.plant(folder);
        const auto markers_before = vt::names_in(folder);

        const size_t before = open_descriptors();
        auto joined = try_join(folder, c.copy_id, ::getpid());
        ASSERT_TRUE(joined) << c.name;
        // The lock and the session folder, and nothing else.
        EXPECT_EQ(open_descriptors(), before + 2) << c.name;
        EXPECT_TRUE(::fcntl(joined->lock.get(), F_GETFD) & FD_CLOEXEC) << c.name;
        EXPECT_FALSE(lock_free_for(lock_path, LOCK_EX)) << c.name;
        EXPECT_TRUE(lock_free_for(lock_path, LOCK_SH)) << c.name;

        const std::string path = folder + "/" + copy_file;
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << c.name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
        EXPECT_EQ(st.st_nlink, 1u) << c.name;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << c.name;
        EXPECT_EQ(vt::read_file(path), c.expected_content) << c.name;
        auto expected_names = markers_before;
        expected_names.insert(copy_file);
        EXPECT_EQ(vt::names_in(folder), expected_names) << c.name;

        joined->lock.reset();
        joined->folder = SessionFolder();
        EXPECT_TRUE(lock_free_for(lock_path, LOCK_EX)) << c.name;
    }
    ::umask(old_mask);
    EXPECT_EQ(vt::read_file(victim), "precious");
}

// join_session ends the copy on a refusal; run it in a child of its own and
// collect what it wrote to standard error and how it ended.
vt::Result join_in_child(const std::string& folder, const std::optional<std::string>& copy_id) {
    return vt::in_child([&] {
        (void)join_session(folder, copy_id);
        return 0;
    });
}

TEST(JoinSession, RefusalsPrintTheirMessageAndExit) {
    vt::TempDir tmp;
    const std::string odd = tmp / "gone\nfolder";
    const std::string ending = session_with_lock(tmp);
    vt::write_file(ending + "/ended", "");
    const std::string hung = tmp / "hung";
    ASSERT_EQ(::mkdir(hung.c_str(), 0700), 0);
    vt::write_file(hung + "/copies.lock", "", 0600);
    vt::write_file(hung + "/hangup-abc", "");
    const struct {
        std::string folder;
        std::optional<std::string> copy_id;
        int status;
        std::string err;
    } cases[] = {
        {odd, std::nullopt, 75,
         "[launch] this copy cannot join the session, because its session folder " + tmp.path() +
             "/gone\\nfolder is gone. End the session and launch again.\n"},
        {ending, "abc", 75,
         "[launch] the session is ending, so this copy cannot join it. Launch again once it has "
         "stopped.\n"},
        {hung, "abc", 129, ""},
        {hung, std::nullopt, 0, ""},  // joined: the child goes on and ends by itself
    };
    for (const auto& c : cases) {
        const auto r = join_in_child(c.folder, c.copy_id);
        EXPECT_TRUE(r.exited) << c.folder;
        EXPECT_EQ(r.code, c.status) << c.folder;
        EXPECT_EQ(r.err, c.err) << c.folder;
    }
}

TEST(HangUp, MarkerIsWrittenEvenWithoutCopies) {
    vt::TempDir tmp;
    const std::string folder = session_with_lock(tmp);
    EXPECT_FALSE(hang_up(SessionFolder::open_if_own(folder), "abc"));
    EXPECT_TRUE(vt::path_exists(folder + "/hangup-abc"));
    // Only a copy ID names a marker: anything else could lead out of the folder.
    vt::make_dirs(folder + "/hangup-");
    EXPECT_FALSE(hang_up(SessionFolder::open_if_own(folder), "/../../escape"));
    EXPECT_FALSE(vt::path_exists(tmp / "escape"));
}

}  // namespace
}  // namespace vorn
