// Ctrl-C while a stream runs: caught while an InterruptWatch lives, so the stream is
// stopped and its figures shown rather than the process ended under it. A second
// Ctrl-C ends the process as usual.
#pragma once

namespace quorvex::tool {

class InterruptWatch {
 public:
  InterruptWatch();   // from now on Ctrl-C is caught once
  ~InterruptWatch();  // as it was before
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Ctrl-C came since the watch began.
  static bool raised();
};

}  // namespace quorvex::tool
