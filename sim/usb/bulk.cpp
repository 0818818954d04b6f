// Bulk and interrupt transfers on the wire: a transfer moves data in packets of
// its endpoint's maximum packet size, from the camera's image source, inside
// IofCallDriver when asked and otherwise on the host-controller thread.
//
// Locking and levels as in transfer_engine.h: data moves under the engine lock,
// which takes the camera's lock inside it and the fault plan's for a short
// transfer; the transfer completes after the lock is dropped.
#include <algorithm>
#include <cstring>

#include "bus_trace.h"
#include "device_internal.h"
#include "fault_plan.h"
#include "transfer_engine.h"

namespace sim {

NTSTATUS TransferEngine::bulk_transfer(PIRP irp, PURB urb, Serve serve) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  if (urb->UrbHeader.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
    return refuse(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  Transfer t{irp, urb, nullptr};
  t.requested = b.TransferBufferLength;
  t.held = serve == Serve::Held;
  USBD_STATUS refusal = USBD_STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  bool finished = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pipes_.find(b.PipeHandle);
    t.pipe = it == pipes_.end() ? nullptr : it->second;
    if (t.pipe == nullptr) {
      refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (transfer_buffer(b.TransferBuffer, b.TransferBufferMDL) == nullptr && t.requested > 0) {
      refusal = USBD_STATUS_INVALID_PARAMETER;
    } else if (serve == Serve::Inside || (serve == Serve::Default && complete_inline_ &&
                                          t.pipe->queue.empty() && t.pipe->halted == USBD_STATUS_SUCCESS)) {
      Deadline wait;
      finished = progress(t, &usbd, &wait) || serve == Serve::Inside;
    }
  }
  if (USBD_ERROR(refusal)) return refuse(irp, urb, refusal, STATUS_INVALID_PARAMETER);
  if (!finished) return pend(t);
  NTSTATUS status = USBD_SUCCESS(usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  finish(t, usbd, status);
  return status;
}

// Moves data for a transfer. Returns true when the transfer is finished. Called locked.
bool TransferEngine::progress(Transfer& t, USBD_STATUS* usbd, Deadline* wait) {
  auto& b = t.urb->UrbBulkOrInterruptTransfer;
  *usbd = USBD_STATUS_SUCCESS;
  if (t.forced) {
    *usbd = t.forced_usbd;
    return true;
  }
  if (t.pipe->halted != USBD_STATUS_SUCCESS) {
    *usbd = t.pipe->halted;
    return true;
  }
  if (power_ != PowerDeviceD0 || system_sleeping_) return false;  // a suspended port moves nothing
  if (!(t.pipe->info.EndpointAddress & kDirIn)) {
    t.done = t.requested;  // the camera takes whatever is sent to it
    return true;
  }
  uint8_t* buffer = transfer_buffer(b.TransferBuffer, b.TransferBufferMDL);
  uint32_t limit = t.requested;
  std::optional<uint32_t> cut = t.done == 0 ? faults_.short_bulk_limit(limit) : std::nullopt;
  if (cut) limit = *cut;
  bool ends = false;
  while (t.done < limit && !ends) {
    if (!receive_packets(t, buffer, limit, usbd, &ends, wait)) return false;
  }
  if (cut) faults_.short_bulk_used();
  return true;
}

// Packets of at most wMaxPacketSize (less when a short transfer is injected):
// while whole packets fit they land straight in the buffer, as many as the camera
// has; the last one that may not fit goes through a packet buffer. A packet that
// does not fit what is left of the buffer is babble: the bytes that fit land, the
// transfer ends with BABBLE_DETECTED and the endpoint halts until a reset (a
// streamed frame it was part of is cut). A short
// packet, or the end of a triggered frame, ends the transfer. Returns false when
// the camera has nothing to send now. Called locked.
bool TransferEngine::receive_packets(Transfer& t, uint8_t* buffer, uint32_t limit, USBD_STATUS* usbd,
                                     bool* ends, Deadline* wait) {
  size_t max_packet = std::max<size_t>(t.pipe->info.MaximumPacketSize, 1);
  size_t want = limit < t.requested ? std::min<size_t>(max_packet, limit - t.done) : max_packet;
  size_t room = t.requested - t.done;
  size_t packets = want == max_packet ? std::max<size_t>((limit - t.done) / max_packet, 1) : 1;
  if (packet_.size() < want) packet_.resize(want);
  uint8_t* into = room >= want ? buffer + t.done : packet_.data();
  bool frame_end = false;
  size_t n = camera_.produce(into, want, packets, &frame_end, wait);
  if (n == 0 && !frame_end) return false;
  if (n > room) {
    memcpy(buffer + t.done, packet_.data(), room);
    t.done += static_cast<uint32_t>(room);
    t.pipe->halted = USBD_STATUS_ENDPOINT_HALTED;
    *usbd = USBD_STATUS_BABBLE_DETECTED;
    camera_.cut_frame();
    *ends = true;
    return true;
  }
  if (into != buffer + t.done) memcpy(buffer + t.done, into, n);
  t.done += static_cast<uint32_t>(n);
  *ends = frame_end || n % max_packet != 0;
  return true;
}

}  // namespace sim
