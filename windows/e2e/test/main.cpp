// The end-to-end test under a Windows kernel: installs the test bus and the
// camera driver package, then runs each scenario against the real driver through
// the client library and prints one line per scenario:
//
//   qvx_e2e.exe <folder with quorvex.inf, quorvex.sys, quorvex.cat, quorvex.exe,
//                qvxbus.inf, qvxbus.sys>
//
// Exits non-zero if installation or any scenario failed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "install.h"
#include "rig.h"
#include "scenarios.h"

using namespace quorvex::e2e;

namespace {

// Installation and the bus's start run in the system's Plug and Play manager; the
// bound only keeps a broken install from hanging the run.
constexpr DWORD kInstallMillis = 60000;

std::wstring full_path(const std::wstring& folder, const wchar_t* file) {
  wchar_t path[MAX_PATH];
  std::wstring joined = folder + L"\\" + file;
  DWORD n = GetFullPathNameW(joined.c_str(), MAX_PATH, path, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(path) : joined;
}

// The camera package first: it must install as built. Then the bus, whose start
// is announced by the event the test made beforehand.
bool install(const std::wstring& folder, std::string* error) {
  HANDLE started = CreateEventW(nullptr, TRUE, FALSE, QVXBUS_STARTED_EVENT_USER);
  if (started == nullptr) {
    *error = "cannot create the start event: error " + std::to_string(GetLastError());
    return false;
  }
  bool ok = install_package(full_path(folder, L"quorvex.inf"), error);
  if (!ok) *error = "quorvex.inf: " + *error;
  std::wstring bus_inf = full_path(folder, L"qvxbus.inf");
  ok = ok && install_package(bus_inf, error) && install_root_device(bus_inf, QVXBUS_HARDWARE_ID, error);
  if (ok && WaitForSingleObject(started, kInstallMillis) != WAIT_OBJECT_0) {
    *error = "the test bus did not start within " + std::to_string(kInstallMillis) + " ms";
    ok = false;
  }
  CloseHandle(started);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) {
    std::printf("usage: qvx_e2e <driver folder>\n");
    return 2;
  }
  std::string error;
  if (!install(argv[1], &error)) {
    std::printf("FAIL install: %s\n", error.c_str());
    return 1;
  }
  std::printf("PASS install: quorvex.inf and the test bus installed through setupapi\n");
  set_tool_folder(full_path(argv[1], L"."));
  Bus bus;
  if (!bus.open(&error)) {
    std::printf("FAIL install: %s\n", error.c_str());
    return 1;
  }
  return run_scenarios(bus) ? 0 : 1;
}
