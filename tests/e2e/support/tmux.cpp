#include "support/tmux.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/test_env.h"
#include "support/wait.h"

namespace vt {
namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Polls cond every 25 ms: each look at a pane starts a tmux client, which is
// too dear to do in a tight loop on a loaded machine.
bool poll_until(const std::function<bool()>& cond, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(25ms);
    }
}

// capture-pane -J keeps the spaces that pad each line to the window's width.
std::string without_padding(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const bool last = end == std::string::npos;
        if (last) end = text.size();
        size_t stop = end;
        while (stop > pos && text[stop - 1] == ' ') --stop;
        out.append(text, pos, stop - pos);
        if (!last) out.push_back('\n');
        pos = end + 1;
    }
    return out;
}

}  // namespace

std::string find_on_path(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (;;) {
        const size_t colon = rest.find(':');
        const std::string dir(rest.substr(0, colon));
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return "";
        rest.remove_prefix(colon + 1);
    }
}

std::string tmux_missing() {
    for (const char* program : {"tmux", "bash"}) {
        if (find_on_path(program).empty()) return std::string(program) + " is not installed";
    }
    return "";
}

Tmux::Tmux(const std::string& folder, std::vector<std::string> env, std::string shell)
    : socket_(folder + "/tmux.sock"), env_(std::move(env)), shell_(std::move(shell)) {
    const Result started =
        tmux({"new-session", "-d", "-P", "-F", "#{pane_id}", "-x", "160", "-y", "48", shell_});
    first_ = trimmed(started.out);
    const std::string pid = trimmed(tmux({"display-message", "-p", "#{pid}"}).out);
    server_ = pid.empty() ? -1 : static_cast<pid_t>(std::atoi(pid.c_str()));
    if (!ok()) {
        throw std::runtime_error("tmux did not start: " + started.err);
    }
    if (!wait_for_prompt(first_)) throw std::runtime_error("no prompt: " + history(first_));
}

Tmux::~Tmux() {
    if (server_ <= 1) return;
    // Everything the shells started is a descendant of the server, unless it
    // was orphaned; the tests track those themselves.
    kill_process_tree(server_);
    wait_until([&] { return !process_alive(server_); }, 5s);
}

std::string Tmux::new_pane() {
    const std::string pane =
        trimmed(tmux({"new-window", "-d", "-P", "-F", "#{pane_id}", shell_}).out);
    if (pane.empty() || !wait_for_prompt(pane)) throw std::runtime_error("no second pane");
    return pane;
}

Result Tmux::tmux(std::vector<std::string> args) const {
    Spec spec;
    spec.program = find_on_path("tmux");
    spec.args = {"-S", socket_, "-f", "/dev/null"};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.env = env_;
    return run(spec, 20s);
}

bool Tmux::wait_for_prompt(const std::string& pane, std::string_view prompt, Millis timeout) const {
    return poll_until([&] { return trimmed(screen(pane)).ends_with(prompt); }, timeout);
}

void Tmux::line(const std::string& pane, std::string_view text) {
    type(pane, text);
    keys(pane, "Enter");
}

void Tmux::keys(const std::string& pane, const std::string& names) {
    tmux({"send-keys", "-t", pane, names});
}

void Tmux::type(const std::string& pane, std::string_view text) {
    tmux({"send-keys", "-t", pane, "-l", std::string(text)});
}

std::string Tmux::history(const std::string& pane) const {
    return without_padding(tmux({"capture-pane", "-p", "-J", "-S", "-", "-t", pane}).out);
}

std::string Tmux::screen(const std::string& pane) const {
    return without_padding(tmux({"capture-pane", "-p", "-J", "-t", pane}).out);
}

bool Tmux::wait_for(const std::string& pane, std::string_view needle, int count,
                    Millis timeout) const {
    return poll_until([&] { return occurrences(history(pane), needle) >= count; }, timeout);
}

bool Tmux::wait_for_screen(const std::string& pane, std::string_view needle, Millis timeout) const {
    return poll_until([&] { return screen(pane).find(needle) != std::string::npos; }, timeout);
}

pid_t Tmux::shell_pid(const std::string& pane) const {
    const std::string pid = trimmed(tmux({"display-message", "-p", "-t", pane, "#{pane_pid}"}).out);
    return pid.empty() ? -1 : static_cast<pid_t>(std::atoi(pid.c_str()));
}

int occurrences(std::string_view text, std::string_view needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

pid_t number_after(const std::string& text, const std::string& key) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const size_t start = at + key.size();
        size_t end = start;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == start || end - start > 9) continue;
        const pid_t pid = static_cast<pid_t>(std::stoi(text.substr(start, end - start)));
        if (pid > 1) return pid;
    }
    return -1;
}

}  // namespace vt
