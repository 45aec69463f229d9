#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/process.h"

namespace vt {

// A process run on a fresh pseudo-terminal as session leader, with that
// terminal as its controlling terminal and as its standard streams. The
// terminal's output is drained continuously; the destructor kills the
// process's group and reaps it.
class PtyChild {
  public:
    // spec.new_session, input and keep_fds are not used: the child is always
    // a session leader on the terminal.
    static std::unique_ptr<PtyChild> start(const Spec& spec);
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    pid_t pid() const { return pid_; }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

    // Sends bytes as if typed (\x03 is Ctrl-C, \x1a is Ctrl-Z with the default modes).
    void type(std::string_view keys);
    // All the terminal has shown so far.
    std::string screen() const;
    // Waits until the screen holds needle (counting from offset `from`).
    bool wait_for(std::string_view needle, Millis timeout = 10s, size_t from = 0) const;
    // Waits for the exit; nullopt if it still runs after timeout.
    std::optional<Result> try_wait(Millis timeout);
    Result wait(Millis timeout = 30s);
    void signal(int sig);
    // Closes the master side, as when a terminal window is closed: the
    // system hangs up the terminal. Nothing more is read from it.
    void hang_up();
    // The terminal's foreground process group, as seen from the master side.
    pid_t foreground_group() const;

    struct Impl;

  private:
    PtyChild() = default;
    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    Result result_;
    std::string slave_path_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace vt
