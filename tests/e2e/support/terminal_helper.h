#pragma once

#include <termios.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace vt {

// Path of the built terminal_helper (tests/helpers/terminal_helper_main.cpp),
// which stands in for a copy ("copy") or for its command ("command") and
// writes what it sees of the terminal to a report file.
std::string terminal_helper_bin();

// Arguments of a terminal_helper copy that runs command, for Spec.args.
std::vector<std::string> helper_copy_args(const std::string& report, std::vector<std::string> flags,
                                          std::vector<std::string> command);
// A terminal_helper command that reports to the given file, as a command line.
std::vector<std::string> helper_command(const std::string& report, bool hold);

// The "key=value" lines of a report file; missing file: empty.
class Report {
  public:
    static Report read(const std::string& path);
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    std::string text(const std::string& key) const;
    // The value as a number; none when missing or not a number.
    std::optional<long long> number(const std::string& key) const;
    // Every line, for failure messages.
    const std::string& raw() const { return raw_; }

  private:
    std::map<std::string, std::string> values_;
    std::string raw_;
};

// Waits until the report at path has key; returns the report as last read.
Report wait_for_report(const std::string& path, const std::string& key, Millis timeout = 10s);

// The modes of a pseudo-terminal, read through its master.
termios terminal_modes(int master);

}  // namespace vt
