// The tool's command line: options, help, and which command runs.
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "tool.h"

namespace quorvex::tool {
namespace {

const char kUsageText[] =
    "usage: quorvex [OPTIONS] COMMAND [ARGUMENTS]\n"
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
    "  frame -o FILE         read one frame and write its raw bytes to FILE (--bytes N,\n"
    "                        --untriggered: see `quorvex frame --help`)\n"
    "  tour                  plug a simulated camera and walk through the driver\n"
    "  help [COMMAND]        this text, or one command's\n"
    "\n"
    "Options:\n"
    "  --camera N            work on \\\\.\\Quorvex-N (default 0)\n"
    "  --trace               after the command, show the bus traffic it caused\n"
    "  --product LIST        simulated cameras' USB product IDs, hexadecimal, comma-separated\n"
    "                        (default 100E)\n"
    "  --cameras N           plug N simulated cameras, 1 to 8, taking the products in turn\n"
    "  -h, --help            this text\n"
    "\n"
    "Numbers are decimal, or hexadecimal with 0x; --product is always hexadecimal.\n"
#ifdef _WIN32
    "This build talks to the driver installed on this machine; --product, --cameras,\n"
    "--trace and tour belong to the simulated platform of the host build.\n"
#else
    "This build runs the driver on the simulated platform: every run starts a fresh\n"
    "machine with the cameras the options ask for, so settings do not carry over.\n"
#endif
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the driver or the camera refused a request (its status is named), or a frame\n"
    "     read timed out before the whole frame came\n"
    "  2  usage error (including a frame's -o FILE that cannot be written)\n"
    "  3  no camera at the instance asked for\n"
    "  4  the library refused a value before sending anything (out of range, or not\n"
    "     on this camera's model)\n"
    "  5  the simulated platform's verifier reported a fault\n";

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

bool parse_count(const std::string& text, int low, int high, int* value) {
  int64_t v = 0;
  if (!parse_number(text, &v) || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// Options may stand anywhere; a word starting with '-' and a digit is a value.
int parse(const std::vector<std::string>& args, Options* o, bool* help, std::ostream& err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "-h" || a == "--help") {
      *help = true;
    } else if (a == "--trace") {
      o->trace = true;
    } else if (a == "--product") {
      if (!has_value || !parse_products(args[++i], &o->products)) {
        std::ostringstream text;
        text << "--product takes USB product IDs in hexadecimal, 1009 to 100F, comma-separated";
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
      if (!has_value) return usage_error(err, a + " takes a file name");
      o->output = args[++i];
    } else if (a == "--bytes") {
      int64_t bytes = 0;
      if (!has_value || !parse_number(args[++i], &bytes) || bytes < 1 || bytes > 0xFFFFFFFFll) {
        return usage_error(err, "--bytes takes a length from 1 to 4294967295");
      }
      o->bytes = static_cast<uint32_t>(bytes);
    } else if (a == "--untriggered") {
      o->untriggered = true;
    } else if (a == "--camera") {
      if (!has_value || !parse_count(args[++i], 0, 7, &o->instance)) {
        return usage_error(err, "--camera takes an instance number from 0 to 7");
      }
    } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
      return usage_error(err, "unknown option " + a);
    } else {
      o->words.push_back(a);
    }
  }
  return kOk;
}

}  // namespace

void print_usage(std::ostream& out) {
  out << kUsageText << "\n";
  print_products(out);
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  bool help = false;
  int code = parse(args, &options, &help, err);
  if (code != kOk) return code;
  if (options.words.empty() || options.words[0] == "help") {
    if (options.words.size() > 1) return command_help(options.words[1], out, err);
    if (!help && options.words.empty()) {
      print_usage(err);
      return kUsage;
    }
    print_usage(out);
    return kOk;
  }
  if (help) return command_help(options.words[0], out, err);
  const Command* command = find_command(options.words[0]);
  if (command == nullptr) return usage_error(err, "unknown command " + options.words[0]);
  if (!command->accepts(options.words)) {
    return usage_error(err, "usage: quorvex " + std::string(command->usage));
  }
  bool frame_options = !options.output.empty() || options.bytes != 0 || options.untriggered;
  if (frame_options && command->run != frame_command) {
    return usage_error(err, "-o, --bytes and --untriggered belong to the frame command");
  }
  int exit = kOk;
  std::unique_ptr<Machine> machine = make_machine(options, err, &exit);
  if (machine == nullptr) return exit;
  if (options.trace && !machine->simulated()) {
    machine->finish(err);
    return usage_error(err, "--trace needs the simulated platform");
  }
  exit = command->run(*machine, options, out, err);
  int verdict = machine->finish(err);
  return exit != kOk ? exit : verdict;
}

}  // namespace quorvex::tool
