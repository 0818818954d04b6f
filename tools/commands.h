// The tool's commands: one row each, with its usage line, help and handler.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "stream.h"
#include "tool.h"

namespace quorvex::tool {

// What a command makes of the options that are not everyone's.
enum Uses : unsigned {
  kUsesCamera = 1,   // --camera
  kUsesTrace = 2,    // --trace
  kUsesFrame = 4,    // -o, --bytes, --untriggered
  kAlone = 8,        // not joined to other commands by `then`
  kUsesStream = 16,  // -o, --frames, --seconds, --every, --sleep-at
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

// USB 2.0 high-speed bulk at its most: 13 packets of 512 bytes each 125 us
// microframe. The simulated camera streams at this rate unless timed by bench.
constexpr uint64_t kHighSpeedBytesPerSecond = 13 * 512 * 8000;

// A stream as the stream command, the tour and bench run it.
struct StreamPlan {
  uint64_t frames = 0;    // stop after this many; 0: no bound
  double seconds = 0;     // stop after this long; 0: no bound
  uint32_t every = 0;     // every k-th frame saved to `output`, numbered; 0: none
  std::string output;     // "shot.png": shot-000000.png, shot-000025.png, ...
  bool check = false;     // each frame checked against the simulated camera's pattern
  bool live = false;      // the progress line while it runs
  bool terminal = false;  // ... redrawn in place
  // The simulated camera's bandwidth for the stream (0: none); it goes back to one
  // frame a trigger afterwards.
  uint64_t bytes_per_second = 0;
  // Called between takes with the seconds since the start and the figures so far
  // (the tour sleeps there); true ends the stream there.
  std::function<bool(double seconds, const StreamStats& stats)> tick;
};

struct StreamOutcome {
  Status status;  // of the start, or of the take that ended the stream
  StreamStats stats;
  double seconds = 0;
  std::vector<std::string> saved;       // the files written, in order
  uint64_t torn = 0;                    // frames not the camera's pattern
  std::string first_torn;               // what the check said of the first
  bool started = false;                 // the driver started the stream
  bool interrupted = false;             // Ctrl-C ended it
  std::optional<uint32_t> last_number;  // the camera's number of the last frame taken
};

// Streams from `camera` as `plan` says, until its bound, a failure or Ctrl-C; says
// why a failure happened on `err`. Returns kOk, or the exit code.
int run_stream(Machine& machine, const Camera& camera, const StreamPlan& plan, std::ostream& out,
               std::ostream& err, StreamOutcome* outcome);
// "287 frames in 5.0 s: 57.3 frames/s, 52.8 MB/s, 0 dropped"
std::string stream_figures(const StreamStats& stats, double seconds);
// "shot.png", 25: "shot-000025.png"
std::string numbered_name(const std::string& name, uint64_t index);

int stream_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);
int bench_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);

int raw_command(Machine& machine, const Options& options, std::ostream& out, std::ostream& err);
void print_raw_help(std::ostream& out);

}  // namespace quorvex::tool
