// Package and device installation through setupapi and newdev.
#include "install.h"

#include <windows.h>
// windows.h first: the setup headers use its types.
#include <newdev.h>
#include <setupapi.h>

#include <vector>

namespace quorvex::e2e {
namespace {

std::string error_text(const char* what) {
  return std::string(what) + " failed: error " + std::to_string(GetLastError());
}

}  // namespace

bool install_package(const std::wstring& inf, std::string* error) {
  if (SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) return true;
  *error = error_text("SetupCopyOEMInf");
  return false;
}

bool install_root_device(const std::wstring& inf, const std::wstring& hardware_id, std::string* error) {
  GUID class_guid;
  wchar_t class_name[64];
  if (!SetupDiGetINFClassW(inf.c_str(), &class_guid, class_name, ARRAYSIZE(class_name), nullptr)) {
    *error = error_text("SetupDiGetINFClass");
    return false;
  }
  HDEVINFO set = SetupDiCreateDeviceInfoList(&class_guid, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    *error = error_text("SetupDiCreateDeviceInfoList");
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  // The hardware id as a multi-string: the id, then an empty string.
  std::vector<wchar_t> ids(hardware_id.begin(), hardware_id.end());
  ids.push_back(0);
  ids.push_back(0);
  bool ok =
      SetupDiCreateDeviceInfoW(set, class_name, &class_guid, nullptr, nullptr, DICD_GENERATE_ID, &device);
  if (!ok) *error = error_text("SetupDiCreateDeviceInfo");
  ok = ok &&
       SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<BYTE*>(ids.data()),
                                         DWORD(ids.size() * sizeof(wchar_t)));
  if (!ok && error->empty()) *error = error_text("SetupDiSetDeviceRegistryProperty");
  ok = ok && SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
  if (!ok && error->empty()) *error = error_text("DIF_REGISTERDEVICE");
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  ok = ok && UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id.c_str(), inf.c_str(), INSTALLFLAG_FORCE,
                                                &reboot);
  if (!ok && error->empty()) *error = error_text("UpdateDriverForPlugAndPlayDevices");
  return ok;
}

}  // namespace quorvex::e2e
