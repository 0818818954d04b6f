// Installing driver packages as an administrator's tools would: the package into
// the driver store, and for a root-enumerated device, the device itself.
#pragma once

#include <string>

namespace quorvex::e2e {

// Copies the package of `inf` (a full path) into the system's driver store.
bool install_package(const std::wstring& inf, std::string* error);

// Creates a root-enumerated device with the hardware id and installs the
// package's driver on it.
bool install_root_device(const std::wstring& inf, const std::wstring& hardware_id, std::string* error);

}  // namespace quorvex::e2e
