// The fault plan of one plugged camera: the failures a test asked the bus to
// inject, each consumed as the requests it names arrive.
//
// Locking: one mutex of its own, a leaf: taken under the transfer engine's lock
// (a short bulk transfer is decided while data moves) and alone elsewhere;
// nothing else is taken under it. Any IRQL.
#pragma once

#include <sim/usb_bus.h>

#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

struct Injection {
  enum Kind { Fail, Refuse, Hold, Unplug, ShortControl, Inside } kind;
  UrbMatch match;
  int skip;   // matches to let through first
  int times;  // matches to act on
  USBD_STATUS usbd;
  NTSTATUS status;
  uint32_t bytes = 0;  // ShortControl: the data-stage limit
};

class FaultPlan {
 public:
  void add(const Injection& injection);
  // The injection that acts on this URB, counted against its skip and times.
  // `endpoint` is the endpoint of the pipe the URB names, if it names one.
  std::optional<Injection> take(PURB urb, std::optional<UCHAR> endpoint);
  void release_holds();
  // URB injections not used up yet.
  size_t armed() const;

  // Descriptor reads.
  void truncate_descriptor(UCHAR type, uint32_t bytes);
  std::optional<uint32_t> truncation(UCHAR type) const;
  void change_descriptor(UCHAR type, int nth, std::vector<uint8_t> bytes);
  // Counts a read of a descriptor of this type; returns the bytes the camera
  // presents from this read on, when this is the read the change was asked for.
  std::optional<std::vector<uint8_t>> descriptor_read(UCHAR type);

  // Short bulk IN transfers: the limit for a transfer that has moved nothing yet,
  // and, once such a transfer ended, that one was used.
  void short_bulk(uint32_t bytes, int times);
  std::optional<uint32_t> short_bulk_limit(uint32_t limit) const;
  void short_bulk_used();

  // Data-stage limits of vendor IN requests on their way, taken so they apply once.
  void limit_control(PURB urb, uint32_t bytes);
  std::optional<uint32_t> take_control_limit(PURB urb);

  // Plug and Play requests the physical device object fails.
  void fail_pnp(UCHAR minor, NTSTATUS status);
  std::optional<NTSTATUS> take_pnp_failure(UCHAR minor);

  // Device set-power requests the physical device object fails, by the state they
  // ask for. The failure is given to the request as it reaches the bus (which then
  // keeps the device's state as it was) and taken back when the bus completes it,
  // inline or later on the host controller's thread.
  void fail_device_power(DEVICE_POWER_STATE state, NTSTATUS status);
  bool doom_device_power(PIRP irp, DEVICE_POWER_STATE state);  // whether it is to fail
  std::optional<NTSTATUS> take_power_failure(PIRP irp);

  // Drops the URB injections, truncations and short transfers (not the Plug and
  // Play or power failures or a descriptor change).
  void clear();

 private:
  static bool matches(const UrbMatch& match, PURB urb, std::optional<UCHAR> endpoint);

  // Every field: set by the test's thread, consumed by whichever thread sends or
  // serves the request they name; guarded by mutex_.
  mutable std::mutex mutex_;
  std::vector<Injection> injections_;
  std::map<UCHAR, uint32_t> truncated_;  // by descriptor type
  struct DescriptorChange {
    int reads_left;  // before the change
    std::vector<uint8_t> bytes;
  };
  std::map<UCHAR, DescriptorChange> descriptor_changes_;  // by descriptor type
  uint32_t short_bytes_ = 0;
  int short_times_ = 0;
  std::map<PURB, uint32_t> control_limits_;
  std::map<UCHAR, NTSTATUS> failed_pnp_;
  std::map<DEVICE_POWER_STATE, NTSTATUS> failed_device_power_;
  std::map<PIRP, NTSTATUS> doomed_power_;  // on their way through the bus
};

}  // namespace sim
