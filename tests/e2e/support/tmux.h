#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace vt {

// The full path of a program on PATH, or empty.
std::string find_on_path(std::string_view name);

// Why tmux tests cannot run here (tmux or bash missing), or empty.
std::string tmux_missing();

// A private tmux server (its own socket in the given folder, no
// configuration file, a fixed window size) whose panes run interactive bash
// with the environment given. The destructor ends the server and everything
// that runs under it, by process ID.
class Tmux {
  public:
    // env is the complete environment of the server and so of its shells;
    // shell is the command line each pane runs.
    Tmux(const std::string& folder, std::vector<std::string> env, std::string shell);
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // The first pane, and the pane of a new window; each waits for its shell's
    // prompt before it returns.
    const std::string& first_pane() const { return first_; }
    std::string new_pane();

    // Types text literally, then Enter.
    void line(const std::string& pane, std::string_view text);
    // tmux key names: "C-c", "C-z", "Escape", "Enter"...
    void keys(const std::string& pane, const std::string& names);
    void type(const std::string& pane, std::string_view text);

    // Everything the pane shows and has scrolled away, wrapped lines joined.
    std::string history(const std::string& pane) const;
    // What the pane shows now.
    std::string screen(const std::string& pane) const;
    // Waits until the history holds needle at least `count` times.
    bool wait_for(const std::string& pane, std::string_view needle, int count = 1,
                  Millis timeout = 20s) const;
    // Waits until the screen (not the history) holds needle.
    bool wait_for_screen(const std::string& pane, std::string_view needle,
                         Millis timeout = 20s) const;

    // Waits until the last line the pane shows is the prompt: the shell
    // reads again, and keys typed now reach it rather than the job before.
    bool wait_for_prompt(const std::string& pane, std::string_view prompt = "vt$",
                         Millis timeout = 20s) const;

    pid_t shell_pid(const std::string& pane) const;
    pid_t server_pid() const { return server_; }
    bool ok() const { return server_ > 1 && !first_.empty(); }

  private:
    Result tmux(std::vector<std::string> args) const;

    std::string socket_;
    std::vector<std::string> env_;
    std::string shell_;
    std::string first_;
    pid_t server_ = -1;
};

// How often needle occurs in text.
int occurrences(std::string_view text, std::string_view needle);

// The number right after key in text ("copy=123"), ignoring places where the
// key is followed by anything but digits (the echo of a typed "$!"); -1 when
// there is none. Never 0 or 1.
pid_t number_after(const std::string& text, const std::string& key);

}  // namespace vt
