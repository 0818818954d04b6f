// `quorvex raw`: the vendor commands as the driver passes them through, and any
// device-control request by its code.
#include <algorithm>
#include <array>
#include <cstdio>
#include <iomanip>
#include <ostream>

#include "commands.h"

namespace quorvex::tool {
namespace {

using Args = std::vector<int64_t>;

struct RawCommand {
  const char* name;
  const char* args;
  const char* help;
  size_t count;    // arguments; extra ones are data bytes where `bytes` says so
  bool bytes;      // the arguments after `count` are data bytes
  int64_t top[2];  // the largest value of each fixed argument
  Status (*run)(const Camera& camera, const Args& a, std::ostream& out);
};

void print_bytes(std::ostream& out, const uint8_t* data, size_t length) {
  char text[4];
  for (size_t i = 0; i < length; ++i) {
    if (i > 0 && i % 16 == 0) out << "\n ";
    std::snprintf(text, sizeof(text), " %02X", data[i]);
    out << text;
  }
  out << "\n";
}

std::vector<uint8_t> tail(const Args& a, size_t from) {
  std::vector<uint8_t> data;
  for (size_t i = from; i < a.size(); ++i) data.push_back(static_cast<uint8_t>(a[i]));
  return data;
}

Status print_u32(Status status, const char* what, uint32_t value, std::ostream& out) {
  if (status) out << what << " " << hex(value, 8) << "\n";
  return status;
}

Status done(Status status, std::ostream& out) {
  if (status) out << "sent\n";
  return status;
}

Status run_ioctl(const Camera& camera, const Args& a, std::ostream& out) {
  uint32_t output_length = a.size() > 1 ? static_cast<uint32_t>(a[1]) : 0;
  std::vector<uint8_t> input = tail(a, 2);
  std::vector<uint8_t> output(output_length, 0);
  Status status = camera.control(static_cast<uint32_t>(a[0]), input.empty() ? nullptr : input.data(),
                                 static_cast<uint32_t>(input.size()),
                                 output.empty() ? nullptr : output.data(), output_length);
  if (status) {
    out << status.name() << ", " << status.returned << " bytes returned";
    if (status.returned > 0) out << ":";
    print_bytes(out, output.data(), std::min<size_t>(status.returned, output.size()));
  }
  return status;
}

const RawCommand kRaw[] = {
    {"trigger",
     "",
     "request 0xB3 with ten 0xFF bytes",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) { return done(c.trigger(), out); }},
    {"b4",
     "",
     "request 0xB4 with ten 0xFF bytes",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) { return done(c.command_b4(), out); }},
    {"b8",
     "",
     "request 0xB8 with ten 0xFF bytes",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) { return done(c.command_b8(), out); }},
    {"b9",
     "SELECTOR DATA",
     "request 0xB9: wValue SELECTOR (0 to 0xFF), two data bytes",
     2,
     false,
     {0xFFFF, 0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_b9(static_cast<uint16_t>(a[0]), static_cast<uint16_t>(a[1])), out);
     }},
    {"block-write",
     "VALUE [BYTE...]",
     "request 0xBA out: wValue VALUE, the bytes as the data stage",
     1,
     true,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_block(static_cast<uint16_t>(a[0]), tail(a, 1)), out);
     }},
    {"block-read",
     "VALUE LENGTH",
     "request 0xBA in: wValue VALUE, LENGTH bytes back",
     2,
     false,
     {0xFFFF, 0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       std::vector<uint8_t> data;
       Status status = c.read_block(static_cast<uint16_t>(a[0]), static_cast<uint32_t>(a[1]), &data);
       if (status) print_bytes(out << data.size() << " bytes:", data.data(), data.size());
       return status;
     }},
    {"bb",
     "VALUE",
     "request 0xBB in, 4 bytes (VALUE 0 is answered without asking the camera)",
     1,
     false,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       uint32_t v = 0;
       Status status = c.read_bb(static_cast<uint16_t>(a[0]), &v);
       return print_u32(status, "value", v, out);
     }},
    {"bc",
     "DATA",
     "request 0xBC, wValue 0, two data bytes",
     1,
     false,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_bc(static_cast<uint16_t>(a[0])), out);
     }},
    {"bc1",
     "",
     "request 0xBC, wValue 1, two zero bytes",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) { return done(c.write_bc1(), out); }},
    {"bd",
     "DATA",
     "request 0xBD, two data bytes",
     1,
     false,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_bd(static_cast<uint16_t>(a[0])), out);
     }},
    {"be",
     "VALUE",
     "request 0xBE: wValue VALUE, four 0xFF bytes",
     1,
     false,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_be(static_cast<uint16_t>(a[0])), out);
     }},
    {"bf",
     "VALUE",
     "request 0xBF: wValue VALUE, ten 0xFF bytes",
     1,
     false,
     {0xFFFF},
     [](const Camera& c, const Args& a, std::ostream& out) {
       return done(c.write_bf(static_cast<uint16_t>(a[0])), out);
     }},
    {"c0",
     "",
     "request 0xC0 in, 8 bytes",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) {
       std::array<uint8_t, 8> data{};
       Status status = c.read_c0(&data);
       if (status) print_bytes(out << "8 bytes:", data.data(), data.size());
       return status;
     }},
    {"abort-pipe",
     "",
     "cancel what is outstanding on the image pipe",
     0,
     false,
     {},
     [](const Camera& c, const Args&, std::ostream& out) { return done(c.abort_pipe(), out); }},
    {"ioctl",
     "CODE [OUT-LENGTH [BYTE...]]",
     "any device-control request by its code, with the input bytes given and an output\n"
     "                    buffer of OUT-LENGTH bytes (the no-action codes, the frame requests)",
     1,
     true,
     {0xFFFFFFFF, 0xFFFF},
     run_ioctl},
};

const RawCommand* find_raw(const std::string& name) {
  for (const RawCommand& r : kRaw) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

// Fixed arguments within their tops, data bytes 0 to 0xFF. kUsage for a wrong count
// or a word that is no number; kRefused, having said so, for a number out of range.
int parse_args(const RawCommand& r, const std::vector<std::string>& words, Args* args, std::ostream& err) {
  size_t given = words.size() - 2;
  if (given < r.count || (!r.bytes && given != r.count)) return kUsage;
  for (size_t i = 0; i < given; ++i) {
    int64_t v = 0;
    // After its code, ioctl takes the output length, then the input bytes.
    int64_t top = i < r.count ? r.top[i] : (r.run == run_ioctl && i == 1 ? 0xFFFF : 0xFF);
    Number n = read_number(words[i + 2], &v);
    if (n == Number::NotANumber) return kUsage;
    if (n == Number::TooLarge || v < 0 || v > top)
      return out_of_range("raw " + words[1] + " " + words[i + 2],
                          "0 to " + hex(static_cast<uint32_t>(top), 2), err);
    args->push_back(v);
  }
  return kOk;
}

}  // namespace

void print_raw_help(std::ostream& out) {
  out << "Sends one vendor command, or any request by code, and shows what came back.\n\nCommands:\n";
  for (const RawCommand& r : kRaw) {
    std::string head = std::string(r.name) + (r.args[0] ? " " : "") + r.args;
    out << "  " << std::left << std::setw(18) << head << std::right
        << (head.size() >= 18 ? "\n" + std::string(20, ' ') : "") << r.help << "\n";
  }
}

int raw_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err) {
  const RawCommand* r = find_raw(options.words[1]);
  Args args;
  int parsed = r == nullptr ? kUsage : parse_args(*r, options.words, &args, err);
  if (parsed == kRefused) return parsed;
  if (parsed != kOk) {
    err << "quorvex: raw " << options.words[1] << ": "
        << (r == nullptr ? "no such command" : std::string("usage: quorvex raw ") + r->name + " " + r->args)
        << "\n(quorvex raw --help lists the commands and their arguments)\n";
    return kUsage;
  }
  Camera camera;
  int code = open_camera(options, &camera, err);
  if (code != kOk) return code;
  machine.clear_trace();
  Status status = r->run(camera, args, out);
  if (!status) err << "quorvex: raw " << r->name << ": " << failure(camera, status) << "\n";
  show_trace(machine, options, out);
  return exit_for(status);
}

}  // namespace quorvex::tool
