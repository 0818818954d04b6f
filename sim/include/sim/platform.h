// The whole simulated machine for one scenario: a fresh kernel, a USB bus, the
// Plug and Play and power managers (on a system thread of their own) and the
// function driver under test. Destroying it removes every camera, closes what is
// still open, unloads the driver and checks that nothing was leaked.
#pragma once

#include <sim/kernel.h>
#include <sim/usb_bus.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace sim {

struct PnpRecord {
  PDEVICE_OBJECT pdo;
  UCHAR major;
  UCHAR minor;
  NTSTATUS status;    // the request's final I/O status
  NTSTATUS returned;  // what the top driver's dispatch routine returned
};

class Platform {
 public:
  explicit Platform(PDRIVER_INITIALIZE function_driver, std::wstring service = L"quorvex");
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  Driver& driver() { return driver_; }
  UsbBus& bus() { return *bus_; }

  struct Plugged {
    UsbDevice* device;
    NTSTATUS add_status;
    NTSTATUS start_status;  // STATUS_NOT_SUPPORTED when AddDevice failed
  };
  // Plugs a camera: the bus creates its physical device object, the driver's
  // AddDevice runs and, if it succeeds, the device is started.
  Plugged plug(const CameraConfig& config);
  // Only the first half of plug: the camera is added but not started.
  Plugged attach(const CameraConfig& config);
  // The function device object above a camera (null once removed).
  PDEVICE_OBJECT fdo(UsbDevice& device);

  // Plug and Play requests, sent from the Plug and Play thread to the top of the
  // camera's stack; each returns the final status.
  NTSTATUS start(UsbDevice& device);
  NTSTATUS stop(UsbDevice& device);  // query-stop, then stop (or cancel-stop)
  NTSTATUS query_remove(UsbDevice& device);
  NTSTATUS cancel_remove(UsbDevice& device);
  NTSTATUS remove(UsbDevice& device);  // remove-device; the camera is then gone
  std::future<NTSTATUS> remove_async(UsbDevice& device);
  // Unplugs the camera: transfers fail, surprise removal is sent, and
  // remove-device follows once no handle is open on the device.
  NTSTATUS unplug(UsbDevice& device);
  bool wait_removed(UsbDevice& device, std::chrono::milliseconds bound);
  NTSTATUS query_capabilities(UsbDevice& device, DEVICE_CAPABILITIES* capabilities, USHORT version = 1);
  NTSTATUS send_pnp(UsbDevice& device, UCHAR minor);

  // Power manager: the whole machine sleeps and wakes. The system requests go to
  // every started stack (started and not since stopped, surprise-removed or
  // removed) at once, each from a system thread of its own at PASSIVE_LEVEL, and
  // each step waits for all of them, on the Plug and Play thread, so no Plug and
  // Play request overlaps a transition.
  // sleep(S1 to S5): query-power for the state to every stack; if each succeeds,
  // set-power for it to every stack, and the machine sleeps. If a query fails,
  // set-power for the working state goes to every stack instead, the machine
  // stays working and the query's failure is returned. STATUS_INVALID_DEVICE_STATE
  // when the machine already sleeps, STATUS_INVALID_PARAMETER for S0 or no state.
  NTSTATUS sleep(SYSTEM_POWER_STATE state);
  // Set-power for the working state to every started stack (never queried first);
  // nothing when the machine works already.
  NTSTATUS wake();
  SYSTEM_POWER_STATE system_power() const;
  // The camera signals wake. A sleeping machine wakes first (as wake()) when the
  // held wait-wake request allows waking it from the state it sleeps in; then the
  // bus completes that request with STATUS_SUCCESS, as the USB stack does on
  // resume. False, and nothing happens, when no request is held or the machine
  // sleeps deeper than it allows.
  bool signal_wake(UsbDevice& device);
  // A raw power request to one stack, from a thread of its own.
  std::future<NTSTATUS> send_power(UsbDevice& device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

  std::vector<PnpRecord> history() const;
  void clear_history();

 private:
  NTSTATUS run(std::function<NTSTATUS()> work);
  std::future<NTSTATUS> run_async(std::function<NTSTATUS()> work);
  void worker();
  NTSTATUS send_irp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& fill);
  NTSTATUS remove_now(UsbDevice& device);
  NTSTATUS wake_now();
  std::vector<NTSTATUS> broadcast_system_power(UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action);
  void on_close(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits);
  void teardown();

  Driver driver_;
  std::unique_ptr<UsbBus> bus_;

  mutable std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable removed_;
  std::deque<std::packaged_task<NTSTATUS()>> queue_;
  bool stopping_ = false;
  std::map<UsbDevice*, PDEVICE_OBJECT> fdos_;
  std::set<UsbDevice*> started_;                          // stacks that get system power requests
  SYSTEM_POWER_STATE system_power_ = PowerSystemWorking;  // changed on the Plug and Play thread
  std::set<UsbDevice*> awaiting_remove_;
  std::set<UsbDevice*> removed_devices_;
  std::vector<PnpRecord> history_;
  std::thread thread_;
};

}  // namespace sim
