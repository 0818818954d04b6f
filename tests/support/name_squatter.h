// Another driver's device objects holding names of ours, as a removed camera's
// object can while its last close is under way: IoCreateDevice reports the names
// as collisions.
#pragma once

#include <sim/kernel.h>

#include <string>
#include <vector>

#include "support/testbed.h"

namespace quorvex::test {

inline std::wstring device_name(int instance) { return L"\\Device\\Quorvex-" + std::to_wstring(instance); }

inline NTSTATUS NTAPI squatter_entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class NameSquatter {
 public:
  explicit NameSquatter(const std::vector<int>& instances) {
    for (int instance : instances) {
      std::wstring text = device_name(instance);
      UNICODE_STRING name;
      RtlInitUnicodeString(&name, text.c_str());
      PDEVICE_OBJECT device = nullptr;
      EXPECT_EQ(IoCreateDevice(driver_.object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
      if (device == nullptr) continue;
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      devices_.push_back(device);
    }
  }
  // The driver object goes with the Driver, after its device objects.
  ~NameSquatter() {
    for (PDEVICE_OBJECT device : devices_) IoDeleteDevice(device);
  }
  NameSquatter(const NameSquatter&) = delete;
  NameSquatter& operator=(const NameSquatter&) = delete;

 private:
  sim::Driver driver_{squatter_entry, L"Squatter"};
  std::vector<PDEVICE_OBJECT> devices_;
};

}  // namespace quorvex::test
