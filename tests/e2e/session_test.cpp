// A session of several copies through the real binary: joining, staying open,
// Ctrl-C twice, the grace period and hang-ups.
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/pty.h"
#include "support/test_env.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kEnding =
    "[launch] the session is ending, so this copy cannot join it. Launch again once it has "
    "stopped.\n";

// A first copy on a terminal whose command waits for a line and then exits
// with `status`.
std::unique_ptr<vt::PtyChild> start_first_copy(const vt::TestEnv& env, int status,
                                               const std::string& extra = "") {
    auto spec = env.spec(
        {"--", "sh", "-c", extra + "echo first-ready; read x; exit " + std::to_string(status)});
    auto pty = vt::PtyChild::start(spec);
    EXPECT_TRUE(pty->wait_for("first-ready"));
    return pty;
}

// A joined copy whose command runs until it is signalled.
std::unique_ptr<vt::Child> start_joined_copy(const vt::TestEnv& env, const std::string& script,
                                             std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"--join"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", "sh", "-c", script + "; echo joined-ready; exec sleep 60"});
    auto child = vt::Child::start(env.spec(args));
    EXPECT_TRUE(child->wait_for_out("joined-ready"));
    return child;
}

TEST(Session, FirstCopyAloneEndsAtOnceAndMarksTheEnd) {
    vt::TestEnv env;
    const auto r = vt::run(env.spec({"--", "sh", "-c", "exit 6"}));
    EXPECT_EQ(r.status(), 6);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(vt::path_exists(env.session_dir() + "/ended"));
    EXPECT_TRUE(vt::path_exists(env.session_dir() + "/copies.lock"));
}

TEST(Session, FolderFailureIsReportedOnceAndTheCommandStillRuns) {
    vt::TestEnv env;
    vt::write_file(env.path("afile"), "");
    env.set("VORN_ENTRY_SESSION_DIR", env.path("afile") + "/session");
    const auto r = vt::run(env.spec({"--", "sh", "-c", "echo ran; exit 4"}));
    EXPECT_EQ(r.status(), 4);
    EXPECT_EQ(r.out, "ran\n");
    EXPECT_EQ(r.err, "[launch] cannot create the session folder " + env.path("afile") +
                         "/session (File exists (os error 17)), so no other copy can join "
                         "this session.\n");
}

TEST(Session, JoinRefusals) {
    vt::TestEnv env;
    const std::string folder = env.session_dir();
    auto join = [&](std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--join"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--", "sh", "-c", "echo should-not-run"});
        return vt::run(env.spec(args));
    };

    auto r = join();
    EXPECT_EQ(r.status(), 75);
    EXPECT_EQ(r.err, "[launch] this copy cannot join the session, because its session folder " +
                         folder + " is gone. End the session and launch again.\n");
    EXPECT_EQ(r.out, "");

    // A session whose first copy has ended.
    ASSERT_EQ(vt::run(env.spec({"--", "true"})).status(), 0);
    r = join();
    EXPECT_EQ(r.status(), 75);
    EXPECT_EQ(r.err, kEnding);

    // A session whose first copy holds the lock exclusively while it ends.
    ::unlink((folder + "/ended").c_str());
    const int lock = ::open((folder + "/copies.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    r = join();
    ::close(lock);
    EXPECT_EQ(r.status(), 75);
    EXPECT_EQ(r.err, kEnding);

    // A copy ID that was hung up before the copy joined.
    vt::write_file(folder + "/hangup-ab", "");
    r = join({"--copy-id", "ab"});
    EXPECT_EQ(r.status(), 129);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(vt::path_exists(folder + "/hangup-ab"));

    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_NE(entry.path().filename().string().rfind("copy-", 0), 0u)
            << "a refused copy left " << entry.path();
    }
}

// The first copy stays open for a joined copy; Ctrl-Z explains, Ctrl-C twice
// ends the session; the joined copy is hung up and says why; the first copy
// exits with its own command's status.
TEST(Session, StaysOpenThenCtrlCTwiceEndsIt) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 4);
    auto joined = start_joined_copy(env, "true");
    first->type("\n");
    ASSERT_TRUE(
        first->wait_for("[launch] sh exited. The session stays open while 1 other copy runs.\r\n"));
    size_t mark = first->screen().size();
    first->type("\x1a");
    ASSERT_TRUE(first->wait_for(
        "[launch] Ctrl-Z cannot suspend this session. Press Ctrl-C twice to end it, which stops "
        "the other copy.\r\n",
        10s, mark));
    mark = first->screen().size();
    first->type("\x03");
    ASSERT_TRUE(first->wait_for(
        "[launch] Press Ctrl-C again to end the session, which stops the other copy.\r\n", 10s,
        mark));
    mark = first->screen().size();
    first->type("\x1a");  // the hint is given once
    first->type("\x03");
    ASSERT_TRUE(first->wait_for(
        "[launch] Ending the session, which gives the other copy 5 seconds to exit. Press Ctrl-C "
        "to end it at once.\r\n",
        10s, mark));
    const auto j = joined->wait();
    EXPECT_EQ(j.status(), 129);
    EXPECT_EQ(j.err,
              "[launch] the session ended in another terminal, so this copy of sh stopped.\n");
    const auto f = first->wait();
    EXPECT_EQ(f.status(), 4);
    EXPECT_EQ(f.out.find("Ctrl-Z cannot suspend this session", mark), std::string::npos);
    EXPECT_TRUE(vt::path_exists(env.session_dir() + "/ended"));
}

TEST(Session, CtrlZAfterOneCtrlCSaysAgainAndSigtermEndsAtOnce) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 0);
    auto joined = start_joined_copy(env, "true");
    auto joined2 = start_joined_copy(env, "true");
    first->type("\n");
    ASSERT_TRUE(first->wait_for("The session stays open while 2 other copies run.\r\n"));
    first->type("\x03");
    ASSERT_TRUE(first->wait_for("which stops the 2 other copies.\r\n"));
    first->type("\x1a");
    ASSERT_TRUE(
        first->wait_for("Press Ctrl-C again to end it, which stops the 2 other copies.\r\n"));
    first->signal(SIGTERM);
    ASSERT_TRUE(first->wait_for("Ending the session, which gives the 2 other copies 5 seconds"));
    EXPECT_EQ(joined->wait().status(), 129);
    EXPECT_EQ(joined2->wait().status(), 129);
    EXPECT_EQ(first->wait().status(), 0);
}

TEST(Session, ThirdCtrlCEndsAtOnce) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 3);
    auto joined = start_joined_copy(env, "trap '' HUP");
    first->type("\n");
    ASSERT_TRUE(first->wait_for("stays open"));
    first->type("\x03");
    ASSERT_TRUE(first->wait_for("Press Ctrl-C again"));
    first->type("\x03");
    ASSERT_TRUE(first->wait_for("Ending the session"));
    const auto start = Clock::now();
    first->type("\x03");
    EXPECT_EQ(first->wait().status(), 3);
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_TRUE(joined->running()) << "a joined copy that ignores SIGHUP goes on";
}

// Slow: the grace period runs out for joined copies that ignore SIGHUP.
TEST(SessionTimers, GracePeriodEndsTheFirstCopy) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 2);
    auto joined = start_joined_copy(env, "trap '' HUP");
    first->type("\n");
    ASSERT_TRUE(first->wait_for("stays open"));
    first->signal(SIGTERM);
    ASSERT_TRUE(first->wait_for("Ending the session"));
    const auto start = Clock::now();
    EXPECT_EQ(first->wait(20s).status(), 2);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 9s);
    EXPECT_TRUE(joined->running());
}

// Slow: SIGTERM while the command runs starts the grace period then, not when
// the command ends.
TEST(SessionTimers, TerminateDuringTheCommandGivesTheRestOfTheGrace) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 5, "trap '' TERM; ");
    auto joined = start_joined_copy(env, "trap '' HUP");
    const auto start = Clock::now();
    first->signal(SIGTERM);
    ASSERT_TRUE(vt::wait_until([&] { return vt::path_exists(env.session_dir() + "/ended"); }));
    std::this_thread::sleep_for(4s);  // the command goes on for a while after the signal
    const auto command_end = Clock::now();
    first->type("\n");
    EXPECT_EQ(first->wait(20s).status(), 5);
    const auto now = Clock::now();
    // The grace period counts from the signal, which came after `start`. What
    // is left of it when the command ends is about 1 s; a grace period started
    // again at the command's end would take 5 s more.
    EXPECT_GE(now - start, 5s);
    EXPECT_LT(now - command_end, 4s) << "the grace period started again when the command ended";
    EXPECT_EQ(first->screen().find("Ending the session"), std::string::npos);
    EXPECT_TRUE(joined->running());
}

// Slow: a joined copy hung up by its copy ID kills its command's group after
// the kill delay when the command ignores SIGHUP.
TEST(SessionTimers, HangupByCopyIdKillsAfterTheDelay) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 0);
    auto joined = start_joined_copy(env, "trap '' HUP", {"--copy-id", "c0ffee"});
    const auto start = Clock::now();
    const auto hangup = vt::run(env.spec({"--hangup", "c0ffee"}));
    EXPECT_EQ(hangup.status(), 0);
    const auto r = joined->wait(30s);
    const auto took = Clock::now() - start;
    EXPECT_EQ(r.status(), 137);
    EXPECT_GE(took, 9500ms);
    EXPECT_LT(took, 15s);
    first->type("\n");
    EXPECT_EQ(first->wait().status(), 0);
}

TEST(Session, FirstCopyWaitsForTheJoinedCopyThenExitsWithItsOwnStatus) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 8);
    auto joined = start_joined_copy(env, "true");
    first->type("\n");
    ASSERT_TRUE(first->wait_for("stays open while 1 other copy runs."));
    EXPECT_FALSE(first->try_wait(300ms).has_value()) << "the first copy did not wait";
    joined->signal(SIGTERM);
    EXPECT_EQ(joined->wait().status(), 143);
    EXPECT_EQ(first->wait().status(), 8);
    EXPECT_TRUE(vt::path_exists(env.session_dir() + "/ended"));
}

TEST(Session, JoinedCopyThatIsKilledDoesNotHoldTheSession) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 0);
    auto joined = start_joined_copy(env, "true");
    joined->kill_all();
    joined->wait();
    first->type("\n");
    // The dead copy's lock went with it: the first copy ends at once.
    EXPECT_EQ(first->wait(5s).status(), 0);
    EXPECT_EQ(first->screen().find("stays open"), std::string::npos);
}

// A copy killed outright cannot remove its copy file; the next live copy list
// removes it and does not count it, so nobody waits for the dead copy.
TEST(SessionFaults, KilledCopyFileIsRemovedByTheNextListAndNotWaitedFor) {
    vt::TestEnv env;
    auto first = start_first_copy(env, 0);
    auto killed = start_joined_copy(env, "true");
    const std::string stale = env.session_dir() + "/copy-" + std::to_string(killed->pid());
    ASSERT_TRUE(vt::path_exists(stale));
    killed->kill_all();
    killed->wait();
    ASSERT_TRUE(vt::path_exists(stale));
    auto alive = start_joined_copy(env, "true");
    first->type("\n");
    ASSERT_TRUE(first->wait_for("The session stays open while 1 other copy runs.\r\n"));
    EXPECT_FALSE(vt::path_exists(stale));
    alive->signal(SIGTERM);
    EXPECT_EQ(alive->wait().status(), 143);
    EXPECT_EQ(first->wait(10s).status(), 0);
}

// The folder vanishing under a running session keeps newcomers out, and the
// copies already running end as they would have.
TEST(SessionFaults, FolderRemovedWhileTheSessionRuns) {
    vt::TestEnv env;
    const std::string folder = env.session_dir();
    auto first = start_first_copy(env, 6);
    auto joined = start_joined_copy(env, "true");
    std::filesystem::remove_all(folder);
    const auto late = vt::run(env.spec({"--join", "--", "sh", "-c", "echo should-not-run"}));
    EXPECT_EQ(late.status(), 75);
    EXPECT_EQ(late.out, "");
    EXPECT_EQ(late.err, "[launch] this copy cannot join the session, because its session folder " +
                            folder + " is gone. End the session and launch again.\n");
    joined->signal(SIGTERM);
    const auto j = joined->wait();
    EXPECT_EQ(j.status(), 143);
    EXPECT_EQ(j.err, "");
    first->type("\n");
    EXPECT_EQ(first->wait(10s).status(), 6);
    EXPECT_FALSE(vt::path_exists(folder)) << "an ending copy made the folder again";
}

// Links planted at every name the copies write or remove, pointing at a file
// that holds a copy ID: a whole session with a join and a hang-up runs over
// them, and the file is never written, truncated, removed or taken for a copy.
TEST(SessionFaults, PlantedLinksNeverReachTheirTarget) {
    struct stat before {};
    for (const std::string name : {"copies.lock", "ended", "copy-", "hangup-ab"}) {
        SCOPED_TRACE(name);
        vt::TestEnv env;
        const std::string folder = env.session_dir();
        const std::string victim = env.path("victim");
        vt::write_file(victim, "ab", 0644);
        ASSERT_EQ(::lstat(victim.c_str(), &before), 0);
        // A live process that the link would register as copy "ab".
        vt::Spec sleeper_spec;
        sleeper_spec.program = "/bin/sleep";
        sleeper_spec.args = {"120"};
        auto sleeper = vt::Child::start(sleeper_spec);
        const std::string link_name =
            name == "copy-" ? name + std::to_string(sleeper->pid()) : name;
        auto plant = [&] {
            ::unlink((folder + "/" + link_name).c_str());
            ASSERT_EQ(::symlink(victim.c_str(), (folder + "/" + link_name).c_str()), 0);
        };
        if (name == "copies.lock") {
            ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
            plant();
        }
        auto first = start_first_copy(env, 3);
        if (name != "copies.lock") plant();

        auto joined = vt::Child::start(
            env.spec({"--join", "--copy-id", "ab", "--", "sh", "-c", "exec sleep 60"}));
        const auto hangup = vt::run(env.spec({"--hangup", "ab"}));
        EXPECT_TRUE(hangup.exited) << hangup.err;
        const auto j = joined->wait(20s);
        EXPECT_FALSE(j.timed_out);
        first->type("\n");
        const auto f = first->wait(20s);
        EXPECT_EQ(f.status(), 3);

        EXPECT_TRUE(sleeper->running()) << "a link was taken for a copy and hung up";
        struct stat after {};
        ASSERT_EQ(::lstat(victim.c_str(), &after), 0);
        EXPECT_TRUE(S_ISREG(after.st_mode));
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(vt::read_file(victim), "ab");
    }
}

}  // namespace
