// `quorvex frame`: one frame read into the tool's buffer and written to a file as
// the raw bytes the camera sent (no image format).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "commands.h"

namespace quorvex::tool {
namespace {

const char* read_name(const FrameResult& f, bool untriggered) {
  if (untriggered) return "the read without trigger";
  return f.read == FrameRead::PlainBulk ? "the plain bulk read" : "the triggered read";
}

// A plain bulk read is one transfer; the driver refuses one longer than the pipe takes.
std::string hint(const FrameResult& f, uint32_t length, bool untriggered) {
  if (untriggered || f.read != FrameRead::PlainBulk || length <= kPlainReadMaxBytes) return "";
  return " (this product's frame read is one bulk transfer of at most " + std::to_string(kPlainReadMaxBytes) +
         " bytes; ask for fewer with --bytes)";
}

}  // namespace

// Sizes the read from the window, then reads; the bus trace afterwards is the read's.
FrameResult read_one_frame(Machine& machine, const Camera& camera, uint32_t bytes, bool untriggered) {
  FrameResult f;
  const ProductInfo* p = nullptr;
  f.status = camera.product(&p);
  if (f.status) f.status = camera.resolution(&f.window);
  if (!f.status) return f;
  f.frame_bytes = frame_bytes(f.window);
  f.read = p->frame_read;
  machine.ready_frame(camera.instance(), f.frame_bytes, untriggered || f.read == FrameRead::PlainBulk);
  f.data.assign(bytes != 0 ? bytes : f.frame_bytes, 0);
  machine.clear_trace();  // the trace shows the read alone
  uint32_t length = static_cast<uint32_t>(f.data.size());
  f.status = untriggered ? camera.read_frame_untriggered(f.data.data(), length, &f.received)
                         : camera.read_frame(f.data.data(), length, &f.received);
  if (f.status) f.pattern = machine.check_frame(f.data.data(), f.received, f.frame_bytes);
  return f;
}

std::string frame_text(const FrameResult& f) {
  return std::to_string(f.received) + " bytes of " + std::to_string(f.data.size()) + " asked (" +
         std::to_string(f.window.width) + "x" + std::to_string(f.window.height) + ", " +
         std::to_string(f.window.bits_per_pixel) + " bits per pixel: " + std::to_string(f.frame_bytes) +
         " bytes a frame), " + f.status.name();
}

int frame_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  if (options.output.empty()) {
    err << "quorvex: frame needs -o FILE, the file the frame's bytes go to\n";
    return kUsage;
  }
  // The file first: a path that cannot be written costs no read.
  std::FILE* file = std::fopen(options.output.c_str(), "wb");
  if (file == nullptr) {
    err << "quorvex: frame: cannot write " << options.output << ": " << std::strerror(errno) << "\n";
    return kUsage;
  }
  Camera camera;
  int code = open_camera(options, &camera, err);
  FrameResult f;
  if (code == kOk) f = read_one_frame(machine, camera, options.bytes, options.untriggered);
  bool written = code == kOk && f.status && std::fwrite(f.data.data(), 1, f.received, file) == f.received;
  bool closed = std::fclose(file) == 0;
  if (code != kOk || !f.status) {
    std::remove(options.output.c_str());
    if (code != kOk) return code;
    err << "quorvex: frame: " << read_name(f, options.untriggered) << ": " << failure(camera, f.status)
        << hint(f, static_cast<uint32_t>(f.data.size()), options.untriggered) << "\n";
    return exit_for(f.status);
  }
  if (!written || !closed) {
    err << "quorvex: frame: cannot write " << options.output << ": " << std::strerror(errno) << "\n";
    return kUsage;
  }
  out << "frame: " << frame_text(f) << ", by " << read_name(f, options.untriggered) << "\n";
  if (!f.pattern.empty()) out << "the camera's test pattern: " << f.pattern << "\n";
  out << f.received << " bytes written to " << options.output << " (raw, no image format)\n";
  if (f.status.timed_out()) {
    err << "quorvex: frame: the camera fell silent: " << f.received << " of " << f.data.size()
        << " bytes came before the read timed out (STATUS_TIMEOUT)\n";
    return kRequestFailed;
  }
  return kOk;
}

}  // namespace quorvex::tool
