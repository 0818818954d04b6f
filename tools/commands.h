// The tool's commands: one row each, with its usage line, help and handler.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tool.h"

namespace quorvex::tool {

// What a command makes of the options that are not everyone's.
enum Uses : unsigned {
  kUsesCamera = 1,  // --camera
  kUsesTrace = 2,   // --trace
  kUsesFrame = 4,   // -o, --bytes, --untriggered
  kAlone = 8,       // not joined to other commands by `then`
};

struct Command {
  const char* name;
  const char* usage;
  const char* help;
  size_t min_words;  // counting the command itself
  size_t max_words;
  int (*run)(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);
  unsigned uses;         // Uses
  const char* not_used;  // why the options it refuses do not apply

  bool accepts(const std::vector<std::string>& words) const {
    return words.size() >= min_words && words.size() <= max_words;
  }
};

const Command* find_command(const std::string& name);
int command_help(const std::string& name, std::ostream& out, std::ostream& err);
void print_usage(std::ostream& out);

// Decimal, or hexadecimal with 0x; an optional minus sign; nothing else. A number
// past 64 bits is TooLarge: out of any range, not a fault of syntax.
enum class Number { Ok, NotANumber, TooLarge };
Number read_number(const std::string& text, int64_t* value);
bool parse_number(const std::string& text, int64_t* value);  // read_number is Ok

// "set gain 99999999999999999999: out of range: gain takes 0..161", and its exit code.
int out_of_range(const std::string& what, const std::string& accepts, std::ostream& err);

// Opens the camera of --camera, or says why not (kNoDevice).
int open_camera(const Options& options, Camera* camera, std::ostream& err);
// Prints the bus traffic of the command when --trace asks for it.
void show_trace(Machine& machine, const Options& options, std::ostream& out);

int frame_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);

int raw_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);
void print_raw_help(std::ostream& out);

}  // namespace quorvex::tool
