// The demo: a simulated camera plugged into the simulated machine, found and driven
// by the driver, exactly as an application on Windows would drive a real one.
#include <sim/platform.h>
#include <sim/verifier.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera.h"

extern "C" NTSTATUS NTAPI CamDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

int g_faults = 0;

const char* pnp_name(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "query-remove";
    case IRP_MN_REMOVE_DEVICE:
      return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "cancel-remove";
    case IRP_MN_STOP_DEVICE:
      return "stop";
    case IRP_MN_QUERY_STOP_DEVICE:
      return "query-stop";
    case IRP_MN_QUERY_CAPABILITIES:
      return "query-capabilities";
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return "query-device-state";
    case IRP_MN_SURPRISE_REMOVAL:
      return "surprise-removal";
    default:
      return "other";
  }
}

void usage() {
  std::fprintf(stderr,
               "usage: quorvex-demo [--product 0x1009..0x100F]\n"
               "Plugs a simulated camera, lets the driver start it, opens it as an application\n"
               "would and shows what the driver reports; then removes it and checks for leaks.\n");
}

void show(const char* what, const quorvex::Status& status) {
  if (!status) std::printf("  %-12s failed: %s\n", what, status.message().c_str());
}

void show_camera(const quorvex::Camera& camera) {
  CAM_IDENTITY identity{};
  quorvex::Status status = camera.identity(&identity);
  show("identity", status);
  if (status) {
    std::printf("  identity     vendor 0x%04X, product 0x%04X, model 0x%04X\n", identity.VendorId,
                identity.ProductId, identity.ModelCode);
  }
  std::vector<std::string> names;
  status = camera.device_names(&names);
  show("device list", status);
  if (status) {
    std::printf("  device list ");
    for (const std::string& name : names) std::printf(" %s", name.c_str());
    std::printf("\n");
  }
  CAM_RESOLUTION resolution{};
  status = camera.resolution(&resolution);
  show("resolution", status);
  if (status) {
    std::printf("  resolution   %u x %u, %u bits per pixel\n", resolution.Width, resolution.Height,
                resolution.BitsPerPixel);
  }
  uint16_t value = 0;
  status = camera.write_register(0x35, 0x0160);
  if (status) status = camera.read_register(0x35, &value);
  show("register", status);
  if (status) std::printf("  register     0x35 written 0x0160, read back 0x%04X\n", value);
}

}  // namespace

int main(int argc, char** argv) {
  USHORT product = 0x100E;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--product") == 0 && i + 1 < argc) {
      product = static_cast<USHORT>(std::strtoul(argv[++i], nullptr, 0));
    } else {
      usage();
      return 2;
    }
  }
  sim::set_fault_handler([](const sim::FaultReport& report) {
    g_faults++;
    std::printf("verifier: %s: %s\n", sim::fault_name(report.kind), report.message.c_str());
  });

  std::printf("Quorvex demo: the driver on the simulated machine\n\n");
  {
    sim::Platform machine(CamDriverEntry);
    sim::CameraConfig config;
    config.product_id = product;
    sim::Platform::Plugged plugged = machine.plug(config);
    std::printf("plugged camera 04B4:%04X on the simulated USB bus\n", product);
    std::printf("  AddDevice    0x%08X\n  start        0x%08X\n", static_cast<unsigned>(plugged.add_status),
                static_cast<unsigned>(plugged.start_status));
    for (const sim::BusEvent& e : plugged.device->trace()) {
      if (e.kind == sim::BusEvent::SelectConfiguration) {
        std::printf("  configured   configuration %u selected on the bus\n", e.value());
      }
    }

    quorvex::Status status;
    {
      quorvex::Camera camera = quorvex::Camera::open(0, &status);
      std::printf("\nopened \\\\.\\Quorvex-0: %s\n", status ? "ok" : status.message().c_str());
      if (camera.is_open()) show_camera(camera);
    }

    machine.remove(*plugged.device);
    std::printf("\nPlug and Play requests the driver handled:\n");
    for (const sim::PnpRecord& r : machine.history()) {
      std::printf("  %-20s 0x%08X\n", pnp_name(r.minor), static_cast<unsigned>(r.status));
    }
    std::printf("\nbus requests the camera answered: %zu\n", plugged.device->trace().size());
  }
  std::printf("driver unloaded; verifier: %d fault(s)\n", g_faults);
  return g_faults == 0 ? 0 : 1;
}
