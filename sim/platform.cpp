// The Plug and Play and power managers over the simulated bus, and the life of a
// scenario from the first camera plugged to the final leak check.
#include <sim/app.h>
#include <sim/inject.h>
#include <sim/platform.h>

#include <cstdio>

#include "kernel/internal.h"

namespace sim {

void close_process_handles(Process* process);

Platform::Platform(PDRIVER_INITIALIZE function_driver, std::wstring service)
    : driver_(function_driver, std::move(service)), bus_(std::make_unique<UsbBus>()) {
  set_close_hook([this](PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits) {
    on_close(device, driver, freed, waits);
  });
  thread_ = std::thread([this] { worker(); });
}

Platform::~Platform() { teardown(); }

void Platform::worker() {
  ProcessScope system(system_process());
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::packaged_task<NTSTATUS()> task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

std::future<NTSTATUS> Platform::run_async(std::function<NTSTATUS()> work) {
  std::packaged_task<NTSTATUS()> task(std::move(work));
  std::future<NTSTATUS> result = task.get_future();
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(task));
  work_.notify_all();
  return result;
}

NTSTATUS Platform::run(std::function<NTSTATUS()> work) { return run_async(std::move(work)).get(); }

// Builds a request as the Plug and Play or power manager does, sends it to the top
// of the stack over `pdo` and waits for it to complete.
NTSTATUS Platform::send_irp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& fill) {
  // A camera already removed has no stack: the caller's mistake, said plainly.
  if (pdo == nullptr) {
    std::fprintf(stderr, "sim: Plug and Play or power request %u/%u for a camera that is no longer there\n",
                 unsigned{major}, unsigned{minor});
    return STATUS_NO_SUCH_DEVICE;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  PIRP irp = irp_allocate(top->StackSize, false);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PKEVENT signal = &done;
  irp_set_finisher(irp, [signal](PIRP done) {
    power_irp_finished(done);
    KeSetEvent(signal, IO_NO_INCREMENT, FALSE);
  });
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (fill) fill(next);
  if (major == IRP_MJ_POWER) power_irp_issued(irp, top, false);
  NTSTATUS returned = IofCallDriver(top, irp);
  if (returned == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = returned;
  if (irp_is_completed(irp)) {
    status = irp->IoStatus.Status;
    irp_release(irp);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  history_.push_back({pdo, major, minor, status, returned});
  return status;
}

Platform::Plugged Platform::plug(const CameraConfig& config) {
  Plugged plugged = attach(config);
  if (NT_SUCCESS(plugged.add_status)) plugged.start_status = start(*plugged.device);
  return plugged;
}

Platform::Plugged Platform::attach(const CameraConfig& config) {
  UsbDevice& device = bus_->plug(config);
  NTSTATUS added = run([this, &device] {
    PDRIVER_OBJECT object = driver_.object();
    driver_setup_begin();
    NTSTATUS status = object->DriverExtension->AddDevice(object, device.pdo());
    driver_setup_end(false);
    PDEVICE_OBJECT top = IoGetAttachedDevice(device.pdo());
    if (NT_SUCCESS(status) && top != device.pdo()) {
      if (top->Flags & DO_DEVICE_INITIALIZING) {
        report_fault(Fault::InvalidArgument, "device object still initialising after AddDevice");
      }
      std::lock_guard<std::mutex> lock(mutex_);
      fdos_[&device] = top;
    }
    return status;
  });
  return {&device, added, STATUS_NOT_SUPPORTED};
}

PDEVICE_OBJECT Platform::fdo(UsbDevice& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = fdos_.find(&device);
  return it == fdos_.end() ? nullptr : it->second;
}

NTSTATUS Platform::send_pnp(UsbDevice& device, UCHAR minor) {
  return run([this, &device, minor] { return send_irp(device.pdo(), IRP_MJ_PNP, minor, nullptr); });
}

NTSTATUS Platform::start(UsbDevice& device) {
  return run([this, &device] {
    NTSTATUS status = send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
    if (NT_SUCCESS(status)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        started_.insert(&device);
      }
      DEVICE_CAPABILITIES caps{};
      caps.Size = sizeof(caps);
      caps.Version = 1;
      caps.Address = caps.UINumber = 0xFFFFFFFF;
      send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
               [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
      send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr);
    }
    return status;
  });
}

NTSTATUS Platform::stop(UsbDevice& device) {
  return run([this, &device] {
    NTSTATUS status = send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
      return status;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_.erase(&device);
    }
    return send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
  });
}

NTSTATUS Platform::query_remove(UsbDevice& device) { return send_pnp(device, IRP_MN_QUERY_REMOVE_DEVICE); }

NTSTATUS Platform::cancel_remove(UsbDevice& device) { return send_pnp(device, IRP_MN_CANCEL_REMOVE_DEVICE); }

NTSTATUS Platform::query_capabilities(UsbDevice& device, DEVICE_CAPABILITIES* capabilities, USHORT version) {
  return run([this, &device, capabilities, version] {
    memset(capabilities, 0, sizeof(*capabilities));
    capabilities->Size = sizeof(*capabilities);
    capabilities->Version = version;
    return send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                    [capabilities](PIO_STACK_LOCATION s) {
                      s->Parameters.DeviceCapabilities.Capabilities = capabilities;
                    });
  });
}

// On the Plug and Play thread: remove-device, then forget the stack. A waiter for
// the removal wakes only after the driver, if it has no device left, is unloaded.
NTSTATUS Platform::remove_now(UsbDevice& device) {
  NTSTATUS status = send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fdos_.erase(&device);
    started_.erase(&device);
    awaiting_remove_.erase(&device);
  }
  driver_.unload_if_idle();
  std::lock_guard<std::mutex> lock(mutex_);
  removed_devices_.insert(&device);
  removed_.notify_all();
  return status;
}

NTSTATUS Platform::remove(UsbDevice& device) {
  return run([this, &device] { return remove_now(device); });
}

std::future<NTSTATUS> Platform::remove_async(UsbDevice& device) {
  return run_async([this, &device] { return remove_now(device); });
}

NTSTATUS Platform::unplug(UsbDevice& device) {
  return run([this, &device] {
    device.disconnect();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_.erase(&device);
    }
    NTSTATUS status = send_irp(device.pdo(), IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
    // Decided under the lock on_close takes after a handle's reference is gone:
    // either this sees no handle, or that close sees the device awaiting removal.
    bool now;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = fdos_.find(&device);
      now = it == fdos_.end() || device_reference_count(it->second) == 0;
      if (!now) awaiting_remove_.insert(&device);
    }
    if (now) remove_now(device);
    return status;
  });
}

bool Platform::wait_removed(UsbDevice& device, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return removed_.wait_for(lock, bound, [&] { return removed_devices_.count(&device) != 0; });
}

// After every close: a surprise-removed device gets its remove-device once its
// last handle is gone, and a driver whose last device object went is unloaded
// before the close returns.
void Platform::on_close(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits) {
  std::vector<UsbDevice*> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (UsbDevice* d : awaiting_remove_) {
      if (!freed && fdos_[d] == device && device_reference_count(device) == 0) ready.push_back(d);
    }
    for (UsbDevice* d : ready) awaiting_remove_.erase(d);
  }
  for (UsbDevice* d : ready) run_async([this, d] { return remove_now(*d); });
  if (freed && driver == driver_.current()) {
    auto unload = [this] {
      driver_.unload_if_idle();
      return STATUS_SUCCESS;
    };
    if (!waits) {
      run_async(unload);
    } else if (std::this_thread::get_id() == thread_.get_id()) {
      unload();
    } else {
      run(unload);
    }
  }
}

// On the Plug and Play thread: one system request to each started stack, each
// sent from a system thread of its own as the power manager's workers send them
// to the devices of one level of the tree; the final statuses, in plugging order,
// once every one has completed.
std::vector<NTSTATUS> Platform::broadcast_system_power(UCHAR minor, SYSTEM_POWER_STATE state,
                                                       POWER_ACTION action) {
  std::vector<PDEVICE_OBJECT> stacks;
  std::vector<UsbDevice*> devices = bus_->devices();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (UsbDevice* device : devices) {
      if (started_.count(device) != 0) stacks.push_back(device->pdo());
    }
  }
  std::vector<std::future<NTSTATUS>> sent;
  for (PDEVICE_OBJECT pdo : stacks) {
    sent.push_back(std::async(std::launch::async, [this, pdo, minor, state, action] {
      ProcessScope system(system_process());
      return send_irp(pdo, IRP_MJ_POWER, minor, [state, action](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
        s->Parameters.Power.ShutdownType = action;
      });
    }));
  }
  std::vector<NTSTATUS> statuses;
  for (auto& request : sent) statuses.push_back(request.get());
  return statuses;
}

// A set-power's status is not looked at: no driver may fail one, and the verifier
// reports one that does as it completes.
NTSTATUS Platform::sleep(SYSTEM_POWER_STATE state) {
  if (state <= PowerSystemWorking || state >= PowerSystemMaximum) return STATUS_INVALID_PARAMETER;
  return run([this, state] {
    if (system_power() != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
    POWER_ACTION action = state == PowerSystemHibernate  ? PowerActionHibernate
                          : state == PowerSystemShutdown ? PowerActionShutdown
                                                         : PowerActionSleep;
    for (NTSTATUS status : broadcast_system_power(IRP_MN_QUERY_POWER, state, action)) {
      if (NT_SUCCESS(status)) continue;
      broadcast_system_power(IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
      return status;
    }
    broadcast_system_power(IRP_MN_SET_POWER, state, action);
    std::lock_guard<std::mutex> lock(mutex_);
    system_power_ = state;
    return STATUS_SUCCESS;
  });
}

NTSTATUS Platform::wake() {
  return run([this] { return wake_now(); });
}

// On the Plug and Play thread.
NTSTATUS Platform::wake_now() {
  if (system_power() == PowerSystemWorking) return STATUS_SUCCESS;
  broadcast_system_power(IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
  std::lock_guard<std::mutex> lock(mutex_);
  system_power_ = PowerSystemWorking;
  return STATUS_SUCCESS;
}

bool Platform::signal_wake(UsbDevice& device) {
  NTSTATUS woke = run([this, &device] {
    std::optional<SYSTEM_POWER_STATE> from = device.wait_wake_from();
    if (!from || system_power() > *from) return STATUS_UNSUCCESSFUL;
    wake_now();
    return device.signal_wake() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  });
  return woke == STATUS_SUCCESS;
}

SYSTEM_POWER_STATE Platform::system_power() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return system_power_;
}

// Power requests to one stack run on a thread of their own: a wait-wake request
// may hold its sender until the camera wakes.
std::future<NTSTATUS> Platform::send_power(UsbDevice& device, UCHAR minor, POWER_STATE_TYPE type,
                                           POWER_STATE state) {
  PDEVICE_OBJECT pdo = device.pdo();
  return std::async(std::launch::async, [this, pdo, minor, type, state] {
    ProcessScope system(system_process());
    return send_irp(pdo, IRP_MJ_POWER, minor, [minor, type, state](PIO_STACK_LOCATION s) {
      if (minor == IRP_MN_WAIT_WAKE) {
        s->Parameters.WaitWake.PowerState = state.SystemState;
      } else {
        s->Parameters.Power.Type = type;
        s->Parameters.Power.State = state;
      }
    });
  });
}

std::vector<PnpRecord> Platform::history() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return history_;
}

void Platform::clear_history() {
  std::lock_guard<std::mutex> lock(mutex_);
  history_.clear();
}

// Closing the last handles may queue removals; what is left to remove is decided
// on the Plug and Play thread after them, so that no device is removed twice.
void Platform::teardown() {
  close_process_handles(&default_process());
  for (UsbDevice* device : bus_->devices()) {
    run([this, device] {
      if (device->pdo() == nullptr) return STATUS_SUCCESS;
      if (fdo(*device) != nullptr) return remove_now(*device);
      device->delete_pdo();
      return STATUS_SUCCESS;
    });
  }
  run([this] {
    if (!driver_.unload_if_idle() && driver_.loaded()) {
      report_fault(Fault::DeviceObjectLeak, "the driver still has device objects at the end");
    }
    return STATUS_SUCCESS;
  });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    work_.notify_all();
  }
  thread_.join();
  check_for_leaks("at the end of the scenario");
  set_close_hook(nullptr);
  bus_.reset();
  reset_kernel();
}

}  // namespace sim
