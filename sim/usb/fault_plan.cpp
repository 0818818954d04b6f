// The fault plan. Locking and levels as in fault_plan.h.
#include "fault_plan.h"

#include <algorithm>

namespace sim {
namespace {

// Takes the value kept for `key` out of `map`, if there is one.
template <typename Key, typename Value>
std::optional<Value> take_from(std::map<Key, Value>& map, Key key) {
  auto it = map.find(key);
  if (it == map.end()) return std::nullopt;
  Value value = it->second;
  map.erase(it);
  return value;
}

}  // namespace

void FaultPlan::add(const Injection& injection) {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.push_back(injection);
}

bool FaultPlan::matches(const UrbMatch& m, PURB urb, std::optional<UCHAR> endpoint) {
  USHORT function = urb->UrbHeader.Function;
  if (m.function && *m.function != function) return false;
  if (m.request || m.in) {
    if (function != URB_FUNCTION_VENDOR_DEVICE) return false;
    auto& v = urb->UrbControlVendorClassRequest;
    if (m.request && v.Request != *m.request) return false;
    if (m.in && ((v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != *m.in) return false;
  }
  if (m.descriptor_type && (function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                            urb->UrbControlDescriptorRequest.DescriptorType != *m.descriptor_type)) {
    return false;
  }
  if (m.endpoint && (!endpoint || *endpoint != *m.endpoint)) return false;
  return true;
}

std::optional<Injection> FaultPlan::take(PURB urb, std::optional<UCHAR> endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = injections_.begin(); it != injections_.end(); ++it) {
    if (!matches(it->match, urb, endpoint)) continue;
    if (it->skip > 0) {
      it->skip--;
      continue;
    }
    Injection taken = *it;
    if (it->times != UsbDevice::kForever && --it->times <= 0) injections_.erase(it);
    return taken;
  }
  return std::nullopt;
}

size_t FaultPlan::armed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injections_.size();
}

void FaultPlan::release_holds() {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.erase(std::remove_if(injections_.begin(), injections_.end(),
                                   [](const Injection& i) { return i.kind == Injection::Hold; }),
                    injections_.end());
}

void FaultPlan::truncate_descriptor(UCHAR type, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  truncated_[type] = bytes;
}

std::optional<uint32_t> FaultPlan::truncation(UCHAR type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = truncated_.find(type);
  if (it == truncated_.end()) return std::nullopt;
  return it->second;
}

void FaultPlan::change_descriptor(UCHAR type, int nth, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  descriptor_changes_[type] = DescriptorChange{nth, std::move(bytes)};
}

std::optional<std::vector<uint8_t>> FaultPlan::descriptor_read(UCHAR type) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = descriptor_changes_.find(type);
  if (it == descriptor_changes_.end() || --it->second.reads_left > 0) return std::nullopt;
  std::vector<uint8_t> bytes = std::move(it->second.bytes);
  descriptor_changes_.erase(it);
  return bytes;
}

void FaultPlan::short_bulk(uint32_t bytes, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  short_bytes_ = bytes;
  short_times_ = times;
}

std::optional<uint32_t> FaultPlan::short_bulk_limit(uint32_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (short_times_ > 0 && short_bytes_ < limit) return short_bytes_;
  return std::nullopt;
}

void FaultPlan::short_bulk_used() {
  std::lock_guard<std::mutex> lock(mutex_);
  short_times_--;
}

void FaultPlan::limit_control(PURB urb, uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  control_limits_[urb] = bytes;
}

std::optional<uint32_t> FaultPlan::take_control_limit(PURB urb) {
  std::lock_guard<std::mutex> lock(mutex_);
  return take_from(control_limits_, urb);
}

void FaultPlan::fail_pnp(UCHAR minor, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_pnp_[minor] = status;
}

std::optional<NTSTATUS> FaultPlan::take_pnp_failure(UCHAR minor) {
  std::lock_guard<std::mutex> lock(mutex_);
  return take_from(failed_pnp_, minor);
}

void FaultPlan::fail_device_power(DEVICE_POWER_STATE state, NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_device_power_[state] = status;
}

bool FaultPlan::doom_device_power(PIRP irp, DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<NTSTATUS> status = take_from(failed_device_power_, state);
  if (status) doomed_power_[irp] = *status;
  return status.has_value();
}

std::optional<NTSTATUS> FaultPlan::take_power_failure(PIRP irp) {
  std::lock_guard<std::mutex> lock(mutex_);
  return take_from(doomed_power_, irp);
}

void FaultPlan::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  injections_.clear();
  truncated_.clear();
  control_limits_.clear();
  short_times_ = 0;
}

}  // namespace sim
