#pragma once

namespace vorn {

// The one way a copy ends once it may have threads: takes a process-wide lock
// that is never released, so exactly one thread ever ends the process, then
// _exit()s. Output is written with write(2) throughout, so nothing is left in
// a buffer; static destructors and atexit handlers never run while other
// threads are still at work.
[[noreturn]] void exit_process(int status);

}  // namespace vorn
