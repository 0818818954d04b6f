// An application of the client library: opens the first camera, sets its gain,
// reads one frame at the current window and saves it as a PNG picture. On the host
// the camera is a simulated one (quorvex::Platform plugs it in); on Windows it is
// the first camera the installed driver runs.
#include <quorvex/client/camera.h>
#include <quorvex/client/picture.h>
#include <quorvex/client/platform.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int fail(const std::string& what, const quorvex::Status& status) {
  std::fprintf(stderr, "capture: %s: %s\n", what.c_str(), status.message().c_str());
  return 1;
}

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "capture.png";
  quorvex::Platform platform;
  if (!platform.error().empty()) {
    std::fprintf(stderr, "capture: %s\n", platform.error().c_str());
    return 1;
  }
  quorvex::Status status;
  quorvex::Camera camera = quorvex::Camera::open(0, &status);
  if (!status) return fail("cannot open \\\\.\\Quorvex-0", status);
  status = camera.set(quorvex::Setting::GlobalGain, 42);
  if (!status) return fail("set gain 42", status);

  quorvex::Resolution window;
  status = camera.resolution(&window);
  if (!status) return fail("resolution", status);
  std::vector<uint8_t> frame(quorvex::frame_bytes(window));
  uint32_t received = 0;
  status = camera.read_frame(frame.data(), static_cast<uint32_t>(frame.size()), &received);
  if (!status) return fail("frame read", status);
  if (received < frame.size()) {
    std::fprintf(stderr, "capture: the camera sent %u of %zu bytes\n", received, frame.size());
    return 1;
  }

  std::vector<uint8_t> png;
  std::string why;
  if (!quorvex::encode_png(frame.data(), received, window.width, window.height, window.bits_per_pixel / 8,
                           &png, &why)) {
    std::fprintf(stderr, "capture: %s\n", why.c_str());
    return 1;
  }
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  if (!file.flush()) {
    std::fprintf(stderr, "capture: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("gain 42; one %ux%u frame, %u bytes, saved to %s\n", window.width, window.height, received,
              path.c_str());
  return 0;
}
