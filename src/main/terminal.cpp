#include "main/terminal.h"

namespace vorn {

TerminalState probe_terminal() {
    return {};
}
PreExec make_pre_exec(const TerminalState&) {
    return {};
}
void run_pre_exec(const PreExec&) noexcept {}
void give_back_terminal(const TerminalState&) {}

}  // namespace vorn
