// The commands that read and change a camera: list, info, get, set, reg, status.
#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <ostream>

namespace quorvex::tool {

std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

Number read_number(const std::string& text, int64_t* value) {
  bool negative = !text.empty() && text[0] == '-';
  std::string digits = negative ? text.substr(1) : text;
  int base = digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0 ? 16 : 10;
  if (base == 16) digits = digits.substr(2);
  const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) return Number::NotANumber;
  errno = 0;
  unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE || magnitude > static_cast<unsigned long long>(INT64_MAX)) return Number::TooLarge;
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return Number::Ok;
}

bool parse_number(const std::string& text, int64_t* value) { return read_number(text, value) == Number::Ok; }

int out_of_range(const std::string& what, const std::string& accepts, std::ostream& err) {
  err << "quorvex: " << what << ": refused before sending: out of range; it takes " << accepts << "\n";
  return kRefused;
}

int exit_for(const Status& status) {
  if (status) return kOk;
  if (status.origin != Origin::Library) return kRequestFailed;
  return status.code == kNotOpen ? kNoDevice : kRefused;
}

// Why a request failed, in words; a failed USB transfer also names what the USB
// stack said, from the status the driver keeps.
std::string failure(const Camera& camera, const Status& status) {
  if (status.origin == Origin::Library) return "refused before sending: " + status.detail;
  std::string text = status.message();
  bool usb_failure = status.origin == Origin::Driver
                         ? status.code == 0xC0000001u || status.code == 0xC000000Du
                         : status.code == 31 || status.code == 87;
  uint32_t last = 0;
  if (usb_failure && camera.last_usb_status(&last) && last != 0) {
    text += "; last USB failure the driver recorded: " + last_status_text(last);
  }
  return text;
}

int open_camera(const Options& options, Camera* camera, std::ostream& err) {
  Status status;
  *camera = Camera::open(options.instance, &status);
  if (status) return kOk;
  err << "quorvex: cannot open \\\\.\\Quorvex-" << options.instance << ": " << status.message()
      << " (`quorvex list` shows the cameras there are)\n";
  return kNoDevice;
}

void show_trace(Machine& machine, const Options& options, std::ostream& out) {
  if (!options.trace) return;
  std::vector<std::string> lines = machine.trace();
  out << "bus traffic (setup packet: bmRequestType bRequest wValue wIndex wLength), " << lines.size()
      << (lines.size() == 1 ? " transfer" : " transfers") << ":\n";
  for (const std::string& line : lines) out << "  " << line << "\n";
}

int show_list(std::ostream& out, std::ostream& err) {
  int found = 0;
  std::vector<std::string> names;
  Status first_failure;
  for (int instance = 0; instance < CAM_DEVICE_LIST_ENTRIES; ++instance) {
    Status status;
    Camera camera = Camera::open(instance, &status);
    if (!status && instance == 0) first_failure = status;
    if (!status) continue;
    CAM_IDENTITY id{};
    status = camera.identity(&id);
    if (found++ == 0) out << "device          product  model   description\n";
    out << "\\\\.\\Quorvex-" << instance << "   ";
    if (!status) {
      out << "identity failed: " << failure(camera, status) << "\n";
      continue;
    }
    const ProductInfo* p = find_product(static_cast<uint16_t>(id.ProductId));
    out << hex(id.ProductId, 4) << "   " << hex(id.ModelCode, 4) << "  "
        << (p ? p->description : "unknown product") << "\n";
    if (names.empty()) camera.device_names(&names);
  }
  if (found == 0) {
    err << "quorvex: no camera found: none of \\\\.\\Quorvex-0 to 7 opens (\\\\.\\Quorvex-0: "
        << first_failure.message() << ")\n";
    return kNoDevice;
  }
  out << "the driver's device list, newest first:";
  for (const std::string& name : names) out << " " << name;
  out << "\n";
  return kOk;
}

namespace {

std::string value_text(const Camera& camera, const SettingInfo& s, const Limits& l) {
  if (!l.settable() && !l.readable) return "-";
  if (s.setting == Setting::SensorCommand) return "(command)";
  if (s.get_code == 0 && !s.read_register) return "(write-only)";
  if (!l.readable) return "(not readable)";
  if (s.setting == Setting::Resolution) {
    Resolution r;
    Status status = camera.resolution(&r);
    if (!status) return "failed: " + status.name();
    return std::to_string(r.width) + "x" + std::to_string(r.height) + ", " +
           std::to_string(r.bits_per_pixel) + " bpp";
  }
  int64_t value = 0;
  Status status = camera.get(s.setting, &value);
  return status ? std::to_string(value) : "failed: " + status.name();
}

int show_one(const Camera& camera, const SettingInfo& s, std::ostream& out, std::ostream& err) {
  if (s.setting == Setting::Resolution) {
    Resolution r;
    Status status = camera.resolution(&r);
    if (!status) {
      err << "quorvex: get resolution: " << failure(camera, status) << "\n";
      return exit_for(status);
    }
    out << "resolution " << r.width << "x" << r.height << " (" << r.bits_per_pixel << " bits per pixel)\n";
    return kOk;
  }
  int64_t value = 0;
  Status status = camera.get(s.setting, &value);
  if (!status) {
    err << "quorvex: get " << s.name << ": " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  out << s.name << " " << value << "\n";
  return kOk;
}

const SettingInfo* setting_named(const std::string& name, std::ostream& err) {
  const SettingInfo* s = find_setting(name);
  if (s == nullptr) {
    err << "quorvex: no control named " << name << "; the controls are:";
    for (const SettingInfo& each : settings()) err << " " << each.name;
    err << "\n";
  }
  return s;
}

int set_resolution(const Camera& camera, const std::string& text, std::ostream& out, std::ostream& err) {
  size_t x = text.find_first_of("xX");
  int64_t width = 0;
  int64_t height = 0;
  Number w = x == std::string::npos ? Number::NotANumber : read_number(text.substr(0, x), &width);
  Number h = x == std::string::npos ? Number::NotANumber : read_number(text.substr(x + 1), &height);
  if (w == Number::NotANumber || h == Number::NotANumber) {
    err << "quorvex: set resolution takes WIDTHxHEIGHT, for example 640x480; not " << text << "\n";
    return kUsage;
  }
  if (w == Number::TooLarge || h == Number::TooLarge || width < 0 || height < 0 || width > UINT32_MAX ||
      height > UINT32_MAX) {
    return out_of_range("set resolution " + text, camera.limits(Setting::Resolution).text(), err);
  }
  Status status = camera.set_resolution(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  if (!status) {
    err << "quorvex: set resolution " << text << ": " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  return show_one(camera, info(Setting::Resolution), out, err);
}

int with_camera(const Options& options, std::ostream& err, Camera* camera) {
  return open_camera(options, camera, err);
}

int cmd_list(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  machine.clear_trace();
  int code = show_list(out, err);
  show_trace(machine, options, out);
  return code;
}

int cmd_info(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  Camera camera;
  int code = with_camera(options, err, &camera);
  if (code != kOk) return code;
  machine.clear_trace();
  code = show_info(camera, out, err);
  show_trace(machine, options, out);
  return code;
}

int cmd_get(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  const SettingInfo* s = setting_named(options.words[1], err);
  if (s == nullptr) return kUsage;
  Camera camera;
  int code = with_camera(options, err, &camera);
  if (code != kOk) return code;
  machine.clear_trace();
  code = show_one(camera, *s, out, err);
  show_trace(machine, options, out);
  return code;
}

int set_value(const Camera& camera, const SettingInfo& s, const std::string& text, std::ostream& out,
              std::ostream& err) {
  if (s.setting == Setting::Resolution) return set_resolution(camera, text, out, err);
  int64_t value = 0;
  Number number = Number::Ok;
  if (s.setting == Setting::Reg62 && (text == "on" || text == "off")) {
    value = text == "on";
  } else if ((number = read_number(text, &value)) == Number::NotANumber) {
    err << "quorvex: set " << s.name << ": " << text << " is not a number\n";
    return kUsage;
  } else if (number == Number::TooLarge) {
    Limits l = camera.limits(s.setting);
    return out_of_range(std::string("set ") + s.name + " " + text, l.settable() ? l.text() : "no value here",
                        err);
  }
  Status status = camera.set(s.setting, value);
  if (!status) {
    err << "quorvex: set " << s.name << " " << text << ": " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  Limits l = camera.limits(s.setting);
  if (!l.readable || (s.get_code == 0 && !s.read_register)) {
    out << s.name << " " << value << " sent ("
        << (s.setting == Setting::SensorCommand ? "a command" : "write-only") << ")\n";
    return kOk;
  }
  return show_one(camera, s, out, err);
}

int cmd_set(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  const SettingInfo* s = setting_named(options.words[1], err);
  if (s == nullptr) return kUsage;
  Camera camera;
  int code = with_camera(options, err, &camera);
  if (code != kOk) return code;
  machine.clear_trace();
  code = set_value(camera, *s, options.words[2], out, err);
  show_trace(machine, options, out);
  return code;
}

int reg_access(const Camera& camera, const std::vector<std::string>& w, std::ostream& out,
               std::ostream& err) {
  int64_t address = 0;
  int64_t value = 0;
  bool write = w[1] == "write";
  bool ex = w[1] == "read-ex";
  if ((!write && w.size() != 3) || (write && w.size() != 4) || (!write && !ex && w[1] != "read")) {
    err << "quorvex: usage: quorvex reg read ADDR | reg write ADDR VALUE | reg read-ex ADDR\n";
    return kUsage;
  }
  Number a = read_number(w[2], &address);
  Number v = write ? read_number(w[3], &value) : Number::Ok;
  if (a == Number::NotANumber || v == Number::NotANumber) {
    err << "quorvex: reg " << w[1] << ": the register and the value are numbers\n";
    return kUsage;
  }
  int64_t top = ex ? 0xFFFF : 0xFF;
  if (a == Number::TooLarge || address < 0 || address > top)
    return out_of_range("reg " + w[1] + " " + w[2], "a register from 0 to " + hex(top, 2), err);
  if (v == Number::TooLarge || value < 0 || value > 0xFFFF)
    return out_of_range("reg write " + w[2] + " " + w[3], "a value from 0 to 0xFFFF", err);
  Status status;
  uint32_t read = 0;
  if (write) {
    status = camera.write_register(static_cast<uint8_t>(address), static_cast<uint16_t>(value));
    read = static_cast<uint32_t>(value);
  } else if (ex) {
    status = camera.read_register_ex(static_cast<uint16_t>(address), &read);
  } else {
    uint16_t narrow = 0;
    status = camera.read_register(static_cast<uint8_t>(address), &narrow);
    read = narrow;
  }
  if (!status) {
    err << "quorvex: reg " << w[1] << " " << w[2] << ": " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  out << "register " << hex(static_cast<uint32_t>(address), 2) << (write ? " := " : " = ") << hex(read, 4)
      << " (" << read << ")\n";
  return kOk;
}

int cmd_reg(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  Camera camera;
  int code = with_camera(options, err, &camera);
  if (code != kOk) return code;
  machine.clear_trace();
  code = reg_access(camera, options.words, out, err);
  show_trace(machine, options, out);
  return code;
}

// The driver answers from what it keeps: the trace shows that nothing reached the bus.
int cmd_status(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  Camera camera;
  int code = with_camera(options, err, &camera);
  if (code != kOk) return code;
  machine.clear_trace();
  uint32_t last = 0;
  Status status = camera.last_usb_status(&last);
  if (!status) {
    err << "quorvex: status: " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  out << "last USB failure: " << last_status_text(last) << "\n";
  show_trace(machine, options, out);
  return kOk;
}

// One step of the machine's power, and the bus traffic it caused.
int power_step(Machine& machine, int state, const Options& options, std::ostream& out, std::ostream& err) {
  machine.clear_trace();
  int code = machine.system_power(state, options, out, err);
  if (code == kOk) show_trace(machine, options, out);
  return code;
}

// S1 to S4 by name; S3, the usual sleep, when none is given.
int cmd_sleep(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  int state = 3;
  if (options.words.size() > 1) {
    const std::string& w = options.words[1];
    if (w.size() != 2 || (w[0] != 'S' && w[0] != 's') || w[1] < '1' || w[1] > '4') {
      err << "quorvex: sleep takes S1, S2, S3 or S4 (hibernate); not " << w << "\n";
      return kUsage;
    }
    state = w[1] - '0';
  }
  return power_step(machine, state, options, out, err);
}

int cmd_wake(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  return power_step(machine, 0, options, out, err);
}

int cmd_tour(Machine& machine, const Options&, std::ostream& out, std::ostream& err) {
  return machine.tour(out, err);
}

constexpr unsigned kCameraAndTrace = kUsesCamera | kUsesTrace;

const Command kCommands[] = {
    {"list", "list", "Lists the cameras the driver runs: name, product, model, and the driver's device list.",
     1, 1, cmd_list, kUsesTrace, "list shows every camera"},
    {"info", "info",
     "Shows the camera's identity and model, the last USB failure, and each control the model has with its\n"
     "value, the values it accepts, and its unit and power-on value where the camera defines them.",
     1, 1, cmd_info, kCameraAndTrace, "info reads no frame"},
    {"get", "get NAME", "Reads one control in the camera's units. The names are those `info` shows.", 2, 2,
     cmd_get, kCameraAndTrace, "get reads no frame"},
    {"set", "set NAME VALUE",
     "Changes one control, in the camera's units, then reads it back where the driver can.\n"
     "A value the camera's model does not accept is refused before anything is sent (exit 4).\n"
     "resolution takes WIDTHxHEIGHT; reg62 takes on or off.",
     3, 3, cmd_set, kCameraAndTrace, "set reads no frame; join a frame command to it with `then`"},
    {"reg", "reg read ADDR | reg write ADDR VALUE | reg read-ex ADDR",
     "Reads or writes one of the camera's 256 16-bit registers (vendor request 0xB7).", 3, 4, cmd_reg,
     kCameraAndTrace, "reg reads no frame"},
    {"raw", "raw COMMAND [ARGS]", nullptr, 2, 64, raw_command, kCameraAndTrace, "raw reads no frame"},
    {"status", "status", "Shows the last USB failure the driver recorded, by name.", 1, 1, cmd_status,
     kCameraAndTrace, "status reads no frame"},
    {"frame", "frame -o FILE [--bytes N] [--untriggered]",
     "Reads one frame straight into the tool's buffer and writes it to FILE: a picture if FILE ends in\n"
     ".png (8-bit frames grey, 24-bit frames colour, bytes that did not come black), the raw bytes\n"
     "otherwise, or the raw bytes to standard output for -o - (the messages then go to standard error).\n"
     "The read is the product's own: a trigger, then the image pipe in 512 KiB chunks, or on 0x1009,\n"
     "0x100B and 0x100F one plain bulk transfer of at most 524288 bytes. --untriggered reads the next\n"
     "frame the camera sends without triggering it. The length is one frame at the current window\n"
     "(width x height x bits per pixel / 8) unless --bytes N says otherwise (at most 15116544, the\n"
     "largest frame of any of the cameras).\n"
     "FILE is written beside its place under another name and renamed into place only when the frame\n"
     "is whole, so a failed read leaves what was there as it was. FILE must be a new name or a regular\n"
     "file; a link, a device or a folder is refused, as is a folder that cannot be written (exit 2, found\n"
     "before anything is read). A write that fails (a full disk) exits 6.\n"
     "A camera that falls silent ends the read with STATUS_TIMEOUT and exit 1: no whole frame came, so\n"
     "nothing is written and FILE stays as it was. On the simulated platform the frame is also checked\n"
     "against the camera's pattern. To capture at another window, join commands:\n"
     "set resolution 640x480 then frame -o f.png",
     1, 1, frame_command, kCameraAndTrace | kUsesFrame, ""},
    {"stream", "stream [--frames N] [--seconds T] [-o NAME.png [--every K]] [--sleep-at T]",
     "Starts the driver's stream on the camera and takes its frames in place as they come, for N frames\n"
     "or T seconds (5 seconds when neither is given), whichever comes first. A progress line shows the\n"
     "frames taken, frames and megabytes (10^6 bytes) a second, and the frames dropped (known from the\n"
     "numbers the simulated camera's frames carry): redrawn in place on a terminal, one line a second\n"
     "otherwise; the last figures close the run. -o NAME.png writes every K-th frame (every frame\n"
     "without --every) as NAME-000000.png, NAME-000025.png, ... (a name without .png: raw bytes), each\n"
     "put in place only once whole; a reader that spends its time writing pictures drops frames.\n"
     "On the simulated platform the camera streams at USB 2.0 high-speed bandwidth (53,248,000 bytes a\n"
     "second), each frame is checked against its pattern, and --sleep-at T puts the machine to sleep\n"
     "(S3) T seconds into the stream and wakes it: the stream goes on after the wake.\n"
     "Ctrl-C stops the stream, shows its figures and exits 130; a second Ctrl-C ends the tool at once.\n"
     "No frame for 5 seconds, or the camera unplugged, ends the stream (exit 1). Where the driver\n"
     "cannot map its frame buffers into the process (low memory, or Wine) it exits 7.",
     1, 1, stream_command, kUsesCamera | kUsesStream,
     "a stream's bus traffic is thousands of transfers; --bytes and --untriggered are the frame command's"},
    {"bench", "bench",
     "Times the camera at its largest window: single-shot reads one after another, then a stream taking\n"
     "every frame in place, each as milliseconds a frame, frames and megabytes (10^6 bytes) a second and\n"
     "its share of the speed of one memcpy of the frame; the stream also the share of frames dropped.\n"
     "The simulated camera sends with no bandwidth limit, so the figures are the driver's and the\n"
     "machine's, as the benchmarks in bench/ measure them. The camera is left at its largest window.",
     1, 1, bench_command, kUsesCamera, "bench shows no bus traffic: it would be most of its time"},
    {"sleep", "sleep [S1|S2|S3|S4]",
     "Puts the simulated machine to sleep in S1, S2, S3 (the default) or S4 (hibernate), as Windows\n"
     "does: every started camera's stack is asked first (query-power), then told (set-power), and its\n"
     "driver takes the camera to a low-power state. Says the state reached and each camera's power\n"
     "state (D0 to D3; with --camera, that camera's). Joined with `then` to other commands, it sleeps\n"
     "between them: sleep S3 then wake then frame -o f.png. Asleep already, it fails (exit 1); a\n"
     "driver that refuses the query keeps the machine working (exit 1). The Windows build cannot\n"
     "put its machine to sleep (exit 2).",
     1, 2, cmd_sleep, kCameraAndTrace, "sleep reads no frame; join a frame command to it with `then`"},
    {"wake", "wake",
     "Wakes the simulated machine (S0, working): every started camera's stack is told, and its driver\n"
     "brings the camera back to D0. Says the state reached and each camera's power state (with\n"
     "--camera, that camera's). A machine that is not asleep stays as it is. The Windows build cannot\n"
     "wake its machine (exit 2).",
     1, 1, cmd_wake, kCameraAndTrace, "wake reads no frame; join a frame command to it with `then`"},
    {"tour", "tour",
     "Plugs a simulated camera, shows its identity and controls, changes a few settings, shows\n"
     "the bus traffic of one, reads one frame with and one without a trigger into frame.png and\n"
     "frame-untriggered.png in the current folder, streams for three seconds with the machine put to\n"
     "sleep and woken in the middle (its first frame into stream-000000.png), unplugs the camera and\n"
     "gives the verifier's verdict.",
     1, 1, cmd_tour, kAlone, "the tour plugs its own camera and shows its bus traffic itself"},
};

}  // namespace

int show_info(const Camera& camera, std::ostream& out, std::ostream& err) {
  CAM_IDENTITY id{};
  uint32_t model = 0;
  uint32_t last = 0;
  Status status = camera.identity(&id);
  if (status) status = camera.model(&model);
  if (status) status = camera.last_usb_status(&last);
  if (!status) {
    err << "quorvex: info: " << failure(camera, status) << "\n";
    return exit_for(status);
  }
  const ProductInfo* p = find_product(static_cast<uint16_t>(id.ProductId));
  out << "\\\\.\\Quorvex-" << camera.instance() << ": vendor " << hex(id.VendorId, 4) << ", product "
      << hex(id.ProductId, 4) << ", model " << hex(model, 4) << "\n  "
      << (p ? p->description : "unknown product") << "\n  last USB failure: " << last_status_text(last)
      << "\n\n";
  out << std::left << std::setw(16) << "control" << std::setw(22) << "value"
      << "accepts\n";
  std::string absent;
  for (const SettingInfo& s : settings()) {
    Limits l = camera.limits(s.setting);
    if (!l.settable() && !l.readable) {
      absent += std::string(absent.empty() ? "" : ", ") + s.name;
      continue;
    }
    std::string accepts = l.settable() ? l.text() : "read only on this model";
    std::string notes = s.unit;
    if (!l.power_on().empty()) notes += "; " + l.power_on() + " at power-on";
    if (!notes.empty()) accepts += " (" + notes + ")";
    out << std::setw(16) << s.name << std::setw(22) << value_text(camera, s, l) << accepts << "\n";
  }
  if (!absent.empty()) out << "not on this model: " << absent << "\n";
  out << std::right;
  return kOk;
}

const Command* find_command(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

int command_help(const std::string& name, std::ostream& out, std::ostream& err) {
  const Command* c = find_command(name);
  if (c == nullptr) {
    err << "quorvex: unknown command " << name << "\n(quorvex --help shows the commands and options)\n";
    return kUsage;
  }
  out << "usage: quorvex [OPTIONS] " << c->usage << "\n\n";
  if (c->help != nullptr) {
    out << c->help << "\n";
  } else {
    print_raw_help(out);
  }
  if (std::string(name) == "get" || std::string(name) == "set") {
    out << "\nControls:\n";
    for (const SettingInfo& s : settings())
      out << "  " << std::left << std::setw(16) << s.name << s.what << "\n";
    out << std::right;
  }
  return kOk;
}

}  // namespace quorvex::tool
