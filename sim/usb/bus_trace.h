// The bus trace: every request the camera saw, in the order it saw it, so that a
// test can assert exact traffic and wait for a request to have reached the camera;
// and the count of every URB that reached the bus, served or not.
//
// Locking: one mutex of its own, a leaf. Any lock of the bus may be held when
// recording; nothing else is taken under it. Any IRQL: the host stand-in's
// mutexes do not care, and the bus records at DISPATCH_LEVEL on its thread.
#pragma once

#include <sim/usb_bus.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace sim {

class BusTrace {
 public:
  void record(BusEvent event);
  std::vector<BusEvent> events() const;
  void clear();
  // Waits until at least `count` events matching `match` have been recorded.
  bool wait_for(const UrbMatch& match, size_t count, std::chrono::milliseconds bound);
  // A URB reached the bus; not reset by clear().
  void arrived();
  uint64_t arrivals() const;
  bool wait_for_arrivals(uint64_t count, std::chrono::milliseconds bound);

 private:
  mutable std::mutex mutex_;
  std::condition_variable recorded_;  // on each record and each arrival
  std::vector<BusEvent> events_;      // appended by whoever serves a request, read by tests; mutex_
  uint64_t arrivals_ = 0;             // counted by the sender's thread as a URB arrives; mutex_
};

}  // namespace sim
