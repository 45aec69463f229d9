#include "main/message.h"

#include <unistd.h>

#include <mutex>

#include "base/exit.h"
#include "base/io.h"

namespace vorn {
namespace {
std::mutex stderr_lock;
}

void write_message(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::lock_guard guard(stderr_lock);
    (void)write_all(STDERR_FILENO, line);
}

void launch_message(std::string_view body) {
    std::string text(kLaunchPrefix);
    text.append(body);
    write_message(text);
}

void end_with_message(int status, std::string_view text) {
    write_message(text);
    exit_process(status);
}

void end_with_launch_message(int status, std::string_view body) {
    launch_message(body);
    exit_process(status);
}

}  // namespace vorn
