// The tool's command line: options, help, and which command runs.
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "tool.h"

namespace quorvex::tool {
namespace {

const char kUsageText[] =
    "usage: quorvex [OPTIONS] COMMAND [ARGUMENTS] [then COMMAND [ARGUMENTS]...]\n"
    "\n"
    "Commands:\n"
    "  list                  the cameras the driver runs\n"
    "  info                  identity, model, and every control with its value and range\n"
    "  get NAME              one control's value (the names are in `info`)\n"
    "  set NAME VALUE        change a control, then read it back\n"
    "  reg read ADDR         read a 16-bit camera register, ADDR 0 to 0xFF\n"
    "  reg write ADDR VALUE  write one\n"
    "  reg read-ex ADDR      read one through the request that takes a 16-bit address\n"
    "  raw COMMAND [ARGS]    the vendor commands and any request by code (`quorvex raw --help`)\n"
    "  status                the last USB failure the driver recorded\n"
    "  frame -o FILE         read one frame into FILE: a .png picture, any other name raw\n"
    "                        bytes, - standard output (--bytes N, --untriggered: see\n"
    "                        `quorvex frame --help`)\n"
    "  stream                frames back to back through the driver's stream, with a live line\n"
    "                        of their rate (--frames N, --seconds T, --every K -o NAME.png: see\n"
    "                        `quorvex stream --help`)\n"
    "  bench                 the single-shot read and stream rates of a camera on this machine\n"
    "  sleep [S1|S2|S3|S4]   put the simulated machine to sleep (default S3; S4 hibernates)\n"
    "  wake                  wake it\n"
    "  tour                  plug a simulated camera and walk through the driver\n"
    "  help [COMMAND]        this text, or one command's\n"
    "\n"
    "Several commands run in turn on the same cameras when joined by `then`, for example\n"
    "  quorvex set resolution 640x480 then set gain 42 then frame -o frame.png\n"
    "The first that fails ends the line, with its exit code.\n"
    "\n"
    "Options:\n"
    "  --camera N            work on \\\\.\\Quorvex-N (default 0)\n"
    "  --trace               after each command, show the bus traffic it caused\n"
    "  --product LIST        simulated cameras' USB product IDs, hexadecimal, comma-separated\n"
    "                        (default 100E)\n"
    "  --cameras N           plug N simulated cameras, 1 to 8, taking the products in turn\n"
    "  --version             the tool's version\n"
    "  -h, --help            this text\n"
    "An option a command has no use for is refused, not ignored.\n"
    "\n"
    "Numbers are decimal, or hexadecimal with 0x; --product is always hexadecimal.\n"
#ifdef _WIN32
    "This build talks to the driver installed on this machine; --product, --cameras,\n"
    "--trace, --sleep-at, sleep, wake and tour belong to the simulated platform of the host\n"
    "build.\n"
#else
    "This build runs the driver on the simulated platform: every run starts a fresh\n"
    "machine with the cameras the options ask for, so settings carry over only between\n"
    "the commands of one line.\n"
#endif
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the driver or the camera refused a request (its status is named), a frame\n"
    "     read timed out before the whole frame came, or the simulated machine could not\n"
    "     sleep (asleep already, or a driver refused)\n"
    "  2  usage error (including a frame's -o FILE that cannot be written there, and on\n"
    "     Windows a command only the simulated machine has)\n"
    "  3  no camera at the instance asked for\n"
    "  4  a value refused before anything was sent (out of range, or not on this\n"
    "     camera's model)\n"
    "  5  the simulated platform's verifier reported a fault\n"
    "  6  the frame could not be written out (a full disk, an I/O error)\n"
    "  7  streaming is unavailable here: the driver could not map its frame buffers into\n"
    "     the process (low memory, or Wine, which maps no kernel memory into processes)\n"
    "130  Ctrl-C stopped a stream (it was stopped, and its figures shown)\n";

void print_products(std::ostream& out) {
  out << "Products (USB vendor 0x04B4):\n";
  for (const ProductInfo& p : products()) {
    out << "  " << hex(p.product, 4) << "  model " << hex(p.model, 4) << "  " << p.description << "\n";
  }
}

int usage_error(std::ostream& err, const std::string& message) {
  err << "quorvex: " << message << "\n(quorvex --help shows the commands and options)\n";
  return kUsage;
}

bool parse_products(const std::string& text, std::vector<uint16_t>* out) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    std::string digits = item.rfind("0x", 0) == 0 || item.rfind("0X", 0) == 0 ? item.substr(2) : item;
    char* end = nullptr;
    unsigned long value = digits.empty() ? 0 : std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || *end != '\0' || find_product(static_cast<uint16_t>(value)) == nullptr ||
        value > 0xFFFF) {
      return false;
    }
    out->push_back(static_cast<uint16_t>(value));
  }
  return !out->empty();
}

// The largest --frames, --seconds, --every and --sleep-at: a day of seconds and more
// frames than a day of streaming brings.
constexpr int64_t kMaxCount = 100000000;

bool parse_count(const std::string& text, int low, int high, int* value) {
  int64_t v = 0;
  if (!parse_number(text, &v) || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// Options may stand anywhere; a word starting with '-' and a digit is a value, and
// a lone - is -o's standard output.
int parse(const std::vector<std::string>& args, Options* o, bool* help, bool* version, std::ostream& err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "-h" || a == "--help") {
      *help = true;
    } else if (a == "--version") {
      *version = true;
    } else if (a == "--trace") {
      o->trace = true;
    } else if (a == "--product") {
      if (!has_value || !o->products.empty() || !parse_products(args[++i], &o->products)) {
        std::ostringstream text;
        text << "--product takes USB product IDs in hexadecimal, 1009 to 100F, comma-separated, once";
        if (has_value) text << "; not " << args[i];
        err << "quorvex: " << text.str() << "\n";
        print_products(err);
        return kUsage;
      }
    } else if (a == "--cameras") {
      if (!has_value || !parse_count(args[++i], 1, 8, &o->cameras)) {
        return usage_error(err, "--cameras takes a number from 1 to 8");
      }
    } else if (a == "-o" || a == "--output") {
      if (!has_value) return usage_error(err, a + " takes a file name, or - for standard output");
      o->output = args[++i];
    } else if (a == "--bytes") {
      int64_t bytes = 0;
      if (!has_value || !parse_number(args[++i], &bytes) || bytes < 1 || bytes > max_frame_bytes()) {
        return usage_error(err, "--bytes takes a length from 1 to " + std::to_string(max_frame_bytes()) +
                                    ", the largest frame of any of the cameras");
      }
      o->bytes = static_cast<uint32_t>(bytes);
    } else if (a == "--untriggered") {
      o->untriggered = true;
    } else if (a == "--frames" || a == "--seconds" || a == "--every" || a == "--sleep-at") {
      int64_t n = 0;
      if (!has_value || !parse_number(args[++i], &n) || n < 1 || n > kMaxCount) {
        return usage_error(err, a + " takes a whole number from 1 to " + std::to_string(kMaxCount));
      }
      if (a == "--frames") o->frames = static_cast<uint64_t>(n);
      if (a == "--seconds") o->seconds = static_cast<uint32_t>(n);
      if (a == "--every") o->every = static_cast<uint32_t>(n);
      if (a == "--sleep-at") o->sleep_at = static_cast<uint32_t>(n);
    } else if (a == "--camera") {
      if (!has_value || !parse_count(args[++i], 0, 7, &o->instance)) {
        return usage_error(err, "--camera takes an instance number from 0 to 7");
      }
      o->camera_given = true;
    } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      return usage_error(err, "unknown option " + a);
    } else {
      o->words.push_back(a);
    }
  }
  return kOk;
}

// The line's options, from whichever of its commands they stand by, given to each.
int share_line_options(std::vector<Options>* line, std::ostream& err) {
  Options shared;
  for (const Options& o : *line) {
    if (!o.products.empty()) {
      if (!shared.products.empty()) return usage_error(err, "--product belongs once to the whole line");
      shared.products = o.products;
    }
    if (o.cameras != 0) shared.cameras = o.cameras;
    if (o.camera_given) {
      if (shared.camera_given && shared.instance != o.instance)
        return usage_error(err, "--camera belongs to the whole line; give it once");
      shared.instance = o.instance;
      shared.camera_given = true;
    }
    shared.trace = shared.trace || o.trace;
  }
  for (Options& o : *line) {
    o.products = shared.products;
    o.cameras = shared.cameras;
    o.instance = shared.instance;
    o.camera_given = shared.camera_given;
    o.trace = shared.trace;
  }
  return kOk;
}

// A command refuses the options it has no use for, and the words it does not take.
int check_command(const Options& o, size_t commands, std::ostream& err) {
  const Command* command = find_command(o.words[0]);
  if (command == nullptr) return usage_error(err, "unknown command " + o.words[0]);
  if (!command->accepts(o.words)) return usage_error(err, "usage: quorvex " + std::string(command->usage));
  const char* refused = nullptr;
  if (o.camera_given && !(command->uses & kUsesCamera)) refused = "--camera";
  if (o.trace && !(command->uses & kUsesTrace)) refused = "--trace";
  if ((o.bytes != 0 || o.untriggered) && !(command->uses & kUsesFrame)) refused = "--bytes and --untriggered";
  if ((o.frames != 0 || o.seconds != 0 || o.every != 0 || o.sleep_at != 0) && !(command->uses & kUsesStream))
    refused = "--frames, --seconds, --every and --sleep-at";
  if (!o.output.empty() && !(command->uses & (kUsesFrame | kUsesStream))) refused = "-o";
  if (refused != nullptr) {
    return usage_error(err, std::string(refused) + " do" +
                                (std::string(refused).find(' ') == std::string::npos ? "es" : "") +
                                " not apply to " + command->name + ": " + command->not_used);
  }
  if (commands > 1 && (command->uses & kAlone))
    return usage_error(err, std::string(command->name) + " runs alone");
  return kOk;
}

// Splits a command line at each `then`, each part one command with its options.
int parse_line(const std::vector<std::string>& args, std::vector<Options>* line, bool* help, bool* version,
               std::ostream& err) {
  std::vector<std::string> part;
  for (size_t i = 0; i <= args.size(); ++i) {
    if (i < args.size() && args[i] != "then") {
      part.push_back(args[i]);
      continue;
    }
    Options o;
    int code = parse(part, &o, help, version, err);
    if (code != kOk) return code;
    if (o.words.empty() && (i < args.size() || !line->empty()))
      return usage_error(err, "`then` stands between two commands");
    line->push_back(o);
    part.clear();
  }
  return share_line_options(line, err);
}

}  // namespace

void print_usage(std::ostream& out) {
  out << kUsageText << "\n";
  print_products(out);
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal) {
  std::vector<Options> line;
  bool help = false;
  bool version = false;
  int code = parse_line(args, &line, &help, &version, err);
  if (code != kOk) return code;
  for (Options& o : line) o.terminal = terminal;
  const Options& first = line.front();
  if (version) {
    out << "quorvex " << QUORVEX_VERSION << "\n";
    return kOk;
  }
  if (first.words.empty() || first.words[0] == "help") {
    if (first.words.size() > 1) return command_help(first.words[1], out, err);
    if (!help && first.words.empty()) {
      print_usage(err);
      return kUsage;
    }
    print_usage(out);
    return kOk;
  }
  if (help) return command_help(first.words[0], out, err);
  for (const Options& o : line) {
    code = check_command(o, line.size(), err);
    if (code != kOk) return code;
  }
  int exit = kOk;
  std::unique_ptr<Machine> machine = make_machine(first, err, &exit);
  if (machine == nullptr) return exit;
  if (first.trace && !machine->simulated()) {
    machine->finish(err);
    return usage_error(err, "--trace needs the simulated platform");
  }
  for (const Options& o : line) {
    exit = find_command(o.words[0])->run(*machine, o, out, err);
    if (exit != kOk) break;
  }
  int verdict = machine->finish(err);
  return exit != kOk ? exit : verdict;
}

}  // namespace quorvex::tool
