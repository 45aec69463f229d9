#include "support/terminal_helper.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <stdexcept>

#include "support/wait.h"

namespace vt {

std::string terminal_helper_bin() {
    return VORN_TERMINAL_HELPER;
}

std::vector<std::string> helper_copy_args(const std::string& report, std::vector<std::string> flags,
                                          std::vector<std::string> command) {
    std::vector<std::string> args{"copy", report};
    args.insert(args.end(), flags.begin(), flags.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

std::vector<std::string> helper_command(const std::string& report, bool hold) {
    std::vector<std::string> command{terminal_helper_bin(), "command", report};
    if (hold) command.push_back("--hold");
    return command;
}

Report Report::read(const std::string& path) {
    Report report;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return report;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) report.raw_.append(buf, static_cast<size_t>(n));
    ::close(fd);
    size_t pos = 0;
    while (pos < report.raw_.size()) {
        const size_t end = report.raw_.find('\n', pos);
        if (end == std::string::npos) break;  // a line still being written
        const std::string line = report.raw_.substr(pos, end - pos);
        const size_t eq = line.find('=');
        if (eq != std::string::npos) report.values_[line.substr(0, eq)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return report;
}

std::string Report::text(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

std::optional<long long> Report::number(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    long long value = 0;
    const std::string& s = it->second;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

Report wait_for_report(const std::string& path, const std::string& key, Millis timeout) {
    Report report;
    wait_until(
        [&] {
            report = Report::read(path);
            return report.has(key);
        },
        timeout);
    return report;
}

termios terminal_modes(int master) {
    termios modes{};
    if (::tcgetattr(master, &modes) != 0) throw std::runtime_error("tcgetattr on the pty failed");
    return modes;
}

}  // namespace vt
