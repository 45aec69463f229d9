// vorn-entry --hangup ID through the real binary, against real processes
// registered by their copy files.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "support/process.h"
#include "support/test_env.h"

namespace {

std::unique_ptr<vt::Child> start_sleeper(const vt::TestEnv& env) {
    vt::Spec spec;
    spec.program = "/bin/sleep";
    spec.args = {"120"};
    spec.env = env.env();
    return vt::Child::start(spec);
}

void register_copy(const vt::TestEnv& env, pid_t pid, std::string_view copy_id) {
    vt::write_file(env.session_dir() + "/copy-" + std::to_string(pid), copy_id, 0600);
}

std::string make_session(const vt::TestEnv& env) {
    const std::string folder = env.session_dir();
    EXPECT_EQ(::mkdir(folder.c_str(), 0700), 0);
    vt::write_file(folder + "/copies.lock", "", 0600);
    return folder;
}

// SIGHUP sorts before SIGTERM among pending signals, so a process that was
// hung up dies of SIGHUP even when SIGTERM follows at once.
int signal_that_ends(vt::Child& child) {
    child.signal(SIGTERM);
    return child.wait(vt::Millis(10000)).signal;
}

TEST(Hangup, NoMatchingCopyGivesStatus1AndLeavesTheMarker) {
    const std::string contents[] = {"abc\n", "", "abd", "abcd", "ab", " abc", "ABC"};
    vt::TestEnv env;
    const std::string folder = make_session(env);
    std::vector<std::unique_ptr<vt::Child>> copies;
    for (const auto& content : contents) {
        copies.push_back(start_sleeper(env));
        register_copy(env, copies.back()->pid(), content);
    }

    const auto r = vt::run(env.spec({"--hangup", "abc"}));
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(vt::path_exists(folder + "/hangup-abc"));
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(signal_that_ends(*copies[i]), SIGTERM) << "content: " << contents[i];
    }
}

TEST(Hangup, WithoutAFolderNothingIsMade) {
    vt::TestEnv env;
    const auto r = vt::run(env.spec({"--hangup", "abc"}));
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(vt::path_exists(env.session_dir()));
}

TEST(Hangup, EveryLiveCopyWithTheIdGetsSighup) {
    vt::TestEnv env;
    const std::string folder = make_session(env);
    auto first = start_sleeper(env);
    auto second = start_sleeper(env);
    auto other = start_sleeper(env);
    register_copy(env, first->pid(), "abc");
    register_copy(env, second->pid(), "abc");
    register_copy(env, other->pid(), "abd");

    const auto r = vt::run(env.spec({"--hangup", "abc"}));
    EXPECT_EQ(r.status(), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(vt::path_exists(folder + "/hangup-abc"));
    EXPECT_EQ(first->wait(vt::Millis(10000)).signal, SIGHUP);
    EXPECT_EQ(second->wait(vt::Millis(10000)).signal, SIGHUP);
    EXPECT_EQ(signal_that_ends(*other), SIGTERM);
}

TEST(Hangup, CopyFileOfAGoneProcessIsRemovedAndNotCounted) {
    vt::TestEnv env;
    const std::string folder = make_session(env);
    auto gone = start_sleeper(env);
    const pid_t pid = gone->pid();
    gone->kill_all();
    gone->wait();
    register_copy(env, pid, "abc");

    const auto r = vt::run(env.spec({"--hangup", "abc"}));
    EXPECT_EQ(r.status(), 1);
    EXPECT_FALSE(vt::path_exists(folder + "/copy-" + std::to_string(pid)));
}

TEST(Hangup, PlantedLinksNeverReachOutsideTheFolder) {
    vt::TestEnv env;
    const std::string folder = make_session(env);
    const std::string victim = env.path("victim");
    // Holds the copy ID, so following the link would count as a match.
    vt::write_file(victim, "abc", 0644);
    struct stat before;
    ASSERT_EQ(::stat(victim.c_str(), &before), 0);
    const std::string absent = env.path("absent");

    auto copy = start_sleeper(env);
    auto gone = start_sleeper(env);
    const pid_t gone_pid = gone->pid();
    gone->kill_all();
    gone->wait();
    ASSERT_EQ(::symlink(victim.c_str(), (folder + "/hangup-abc").c_str()), 0);
    ASSERT_EQ(::symlink(absent.c_str(), (folder + "/hangup-abd").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (folder + "/copy-" + std::to_string(copy->pid())).c_str()),
              0);
    ASSERT_EQ(::symlink(victim.c_str(), (folder + "/copy-" + std::to_string(gone_pid)).c_str()), 0);

    for (const char* id : {"abc", "abd"}) {
        const auto r = vt::run(env.spec({"--hangup", id}));
        EXPECT_EQ(r.status(), 1) << id;
        EXPECT_EQ(r.err, "") << id;
    }

    struct stat after;
    ASSERT_EQ(::stat(victim.c_str(), &after), 0);
    EXPECT_EQ(vt::read_file(victim), "abc");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_FALSE(vt::path_exists(absent));
    // The link of the gone process went as a link only.
    EXPECT_FALSE(vt::path_exists(folder + "/copy-" + std::to_string(gone_pid)));
    EXPECT_EQ(signal_that_ends(*copy), SIGTERM);
}

}  // namespace
