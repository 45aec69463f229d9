#pragma once

#include <cstddef>
#include <optional>

#include "base/unique_fd.h"

namespace vorn {

// What a direction borrows while its source has more ready than one receive
// takes, and gives back as soon as the source has nothing ready: an idle
// connection holds no descriptor and no memory for bulk. Given-back kits wait
// for the next borrower, a few of each kind, until the relay's last
// connection handler ends.

// A pipe to splice a TCP source through: the bytes pass from socket to socket
// without a copy through the relay. Only an empty pipe is given back.
struct SplicePipe {
    UniqueFd read_end;
    UniqueFd write_end;
    size_t capacity = 0;
};
std::optional<SplicePipe> borrow_pipe();
void give_back_pipe(SplicePipe pipe);

// A buffer for a source that cannot be spliced from (a Unix socket copies in
// a splice too): fewer, larger receives and sends.
inline constexpr size_t kBulkBufferSize = 262144;
char* borrow_bulk_buffer();
void give_back_bulk_buffer(char* buffer);

void drop_spare_kits();

}  // namespace vorn
