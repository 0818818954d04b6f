// The bus trace. Locking and levels as in bus_trace.h.
#include "bus_trace.h"

#include <algorithm>
#include <map>

#include "device_internal.h"

namespace sim {
namespace {

bool matches_event(const UrbMatch& m, const BusEvent& e) {
  static const std::map<BusEvent::Kind, USHORT> functions{
      {BusEvent::Bulk, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER},
      {BusEvent::AbortPipe, URB_FUNCTION_ABORT_PIPE},
      {BusEvent::ResetPipe, URB_FUNCTION_RESET_PIPE},
      {BusEvent::SelectConfiguration, URB_FUNCTION_SELECT_CONFIGURATION},
      {BusEvent::Unconfigure, URB_FUNCTION_SELECT_CONFIGURATION}};
  if (m.function) {
    if (e.kind == BusEvent::Control) {
      bool descriptor = e.setup[1] == 0x06 && (e.setup[0] & 0x60) == 0;
      USHORT f = descriptor ? URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE : URB_FUNCTION_VENDOR_DEVICE;
      if (*m.function != f) return false;
    } else if (functions.at(e.kind) != *m.function) {
      return false;
    }
  }
  if (m.request && (e.kind != BusEvent::Control || e.setup[1] != *m.request)) return false;
  if (m.in && (e.kind != BusEvent::Control || ((e.setup[0] & kDirIn) != 0) != *m.in)) return false;
  if (m.descriptor_type && (e.kind != BusEvent::Control || e.setup[3] != *m.descriptor_type)) {
    return false;
  }
  if (m.endpoint && e.endpoint != *m.endpoint) return false;
  return true;
}

}  // namespace

void BusTrace::record(BusEvent event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
  recorded_.notify_all();
}

std::vector<BusEvent> BusTrace::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void BusTrace::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

bool BusTrace::wait_for(const UrbMatch& match, size_t count, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, bound, [&] {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(), [&](const BusEvent& e) {
             return matches_event(match, e);
           })) >= count;
  });
}

void BusTrace::arrived() {
  std::lock_guard<std::mutex> lock(mutex_);
  arrivals_++;
  recorded_.notify_all();
}

uint64_t BusTrace::arrivals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

bool BusTrace::wait_for_arrivals(uint64_t count, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, bound, [&] { return arrivals_ >= count; });
}

}  // namespace sim
