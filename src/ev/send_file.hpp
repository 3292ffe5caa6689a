// Socket sendfile carried out by the loop as file reads and socket sends.
#pragma once

#include "ev/completion.hpp"

namespace vorn::ev {

struct Loop;

// Starts the pipeline of a net_send_file record (already running and
// counted active). Owning thread.
void netSendFileStart(Loop* loop, Completion* c) noexcept;
// Cancels a running pipeline; it completes once both children are done.
void netSendFileCancel(Loop* loop, Completion* c) noexcept;

}  // namespace vorn::ev
