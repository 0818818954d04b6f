// `quorvex frame`: one frame read into the tool's buffer and written out as a PNG
// picture or as the raw bytes the camera sent.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "commands.h"
#include "output.h"
#include "picture.h"

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
  if (untriggered || f.read == FrameRead::PlainBulk) machine.release_frame(camera.instance());
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

namespace {

bool wants_png(const std::string& target) {
  return target.size() > 4 && (target.compare(target.size() - 4, 4, ".png") == 0 ||
                               target.compare(target.size() - 4, 4, ".PNG") == 0);
}

// The file's bytes: the frame as a picture, or as it came.
bool file_bytes(const FrameResult& f, bool png, std::vector<uint8_t>* bytes, std::string* what,
                std::ostream& err) {
  if (!png) {
    bytes->assign(f.data.begin(), f.data.begin() + f.received);
    *what = "raw bytes";
    return true;
  }
  std::string why;
  if (!encode_png(f.data.data(), f.received, f.window.width, f.window.height, f.window.bits_per_pixel / 8,
                  bytes, &why)) {
    err << "quorvex: frame: " << why << "\n";
    return false;
  }
  *what = std::to_string(f.window.width) + "x" + std::to_string(f.window.height) +
          (f.window.bits_per_pixel == 8 ? " grey" : " colour") + " PNG picture";
  if (f.received < f.frame_bytes)
    *what += ", the " + std::to_string(f.frame_bytes - f.received) + " bytes that did not come black";
  return true;
}

}  // namespace

int save_frame(FrameOutput& output, const FrameResult& f, std::ostream& out, std::ostream& err,
               std::string* what) {
  std::vector<uint8_t> bytes;
  if (!file_bytes(f, wants_png(output.target()), &bytes, what, err)) return kUsage;
  return output.commit(bytes, out, err);
}

// The file is made before the read (a path that cannot be written costs no read)
// and takes the frame's place only once it is whole.
int frame_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  if (options.output.empty()) {
    err << "quorvex: frame needs -o FILE: a .png picture, raw bytes, or - for standard output\n";
    return kUsage;
  }
  FrameOutput output;
  int code = output.open(options.output, err);
  if (code != kOk) return code;
  // With the frame on standard output, the messages go with the failures.
  std::ostream& text = output.to_standard_output() ? err : out;
  Camera camera;
  code = open_camera(options, &camera, err);
  if (code != kOk) return code;
  FrameResult f = read_one_frame(machine, camera, options.bytes, options.untriggered);
  if (!f.status) {
    err << "quorvex: frame: " << read_name(f, options.untriggered) << ": " << failure(camera, f.status)
        << hint(f, static_cast<uint32_t>(f.data.size()), options.untriggered) << "\n";
    return exit_for(f.status);
  }
  text << "frame: " << frame_text(f) << ", by " << read_name(f, options.untriggered) << "\n";
  if (!f.pattern.empty()) text << "the camera's test pattern: " << f.pattern << "\n";
  show_trace(machine, options, text);
  const std::string& target = output.to_standard_output() ? "standard output" : options.output;
  // What a silent camera left is no frame: whatever stands at the target stays.
  if (f.status.timed_out()) {
    err << "quorvex: frame: the camera fell silent: " << f.received << " of " << f.data.size()
        << " bytes came before the read timed out (STATUS_TIMEOUT); nothing was written to " << target
        << "\n";
    return kRequestFailed;
  }
  std::string what;
  code = save_frame(output, f, out, err, &what);
  if (code != kOk) return code;
  text << f.received << " bytes written to " << target << " (" << what << ")\n";
  return kOk;
}

}  // namespace quorvex::tool
