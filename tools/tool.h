// The quorvex tool: lists cameras, shows and changes every control, reaches the
// registers and the vendor commands, reads single frames into files, and tours the
// driver on the simulated machine.
// run() is the whole program; main() only hands it the arguments and the streams.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "camera.h"
#include "output.h"

namespace quorvex::tool {

// Exit codes, as --help documents them.
enum Exit : int {
  kOk = 0,
  kRequestFailed = 1,  // the driver or the camera refused a request
  kUsage = 2,          // bad command, option or value syntax
  kNoDevice = 3,       // no camera at the instance asked for
  kRefused = 4,        // the library refused a value before sending it (range, model)
  kVerifier = 5,       // the simulated platform's verifier reported a fault
  kIoFailed = 6,       // the frame could not be written out (a full disk, an I/O error)
  kUnavailable = 7,    // streaming is not available here (the driver cannot map its buffers)
  kInterrupted = 130,  // Ctrl-C stopped a stream (it was stopped and its figures shown)
};

// One command of a command line, with the options that apply to it. A line may
// hold several commands joined by `then`; the machine options and --camera and
// --trace are the line's, the frame options their command's.
struct Options {
  std::vector<uint16_t> products;  // cameras to plug, in turn (simulated platform)
  int cameras = 0;                 // 0: one per product given, at least one
  int instance = 0;                // the camera the command works on
  bool camera_given = false;       // --camera was given
  bool trace = false;
  std::string output;              // frame: -o FILE, or - for standard output
  uint32_t bytes = 0;              // frame: --bytes N; 0: one frame at the current window
  bool untriggered = false;        // frame: --untriggered
  uint64_t frames = 0;             // stream: --frames N; 0: no bound
  uint32_t seconds = 0;            // stream: --seconds T; 0: no bound
  uint32_t every = 0;              // stream: --every K, every K-th frame saved to -o
  uint32_t sleep_at = 0;           // stream: --sleep-at T (simulated machine); 0: none
  bool terminal = false;           // standard output is a terminal: progress redrawn in place
  std::vector<std::string> words;  // the command and its arguments
};

// Where the cameras are: the simulated machine on the host, the real driver on
// Windows.
class Machine {
 public:
  virtual ~Machine() = default;
  virtual bool simulated() const = 0;
  // Forgets the bus traffic seen so far.
  virtual void clear_trace() {}
  // The bus traffic since clear_trace, one readable line per transfer.
  virtual std::vector<std::string> trace() { return {}; }
  // Takes the machine down; returns kVerifier (after saying why) if the verifier
  // reported a fault at any time, else kOk.
  virtual int finish(std::ostream& err) = 0;
  // The guided tour; see tour.cpp.
  virtual int tour(std::ostream& out, std::ostream& err) = 0;
  // Puts the whole machine to sleep in S1 to S4 (`state` 1 to 4), or wakes it
  // (`state` 0), and says in one line the state reached and the power state of
  // each camera (only that of --camera when it is given). kOk, or the exit code
  // having said why not.
  virtual int system_power(int state, const Options& options, std::ostream& out, std::ostream& err) = 0;
  // The simulated camera's side of a read that sends no trigger on camera
  // `instance`: it is given one frame to send. A real camera needs nothing.
  virtual void release_frame(int /*instance*/) {}
  // The simulated camera `instance` sends frames back to back, at most
  // `bytes_per_second` of them (0: as fast as the bus takes them), or (`on` false)
  // one for each trigger again. A real camera streams as it is made to.
  virtual void stream_frames(int /*instance*/, bool /*on*/, uint64_t /*bytes_per_second*/) {}
  // The frames carry the simulated camera's pattern, its frame number first, so
  // drops can be counted and each frame checked.
  virtual bool numbered_frames() const { return false; }
  // What the camera's test pattern says of the bytes a read received ("whole,
  // frame 0, untorn"); empty where there is no pattern (a real camera).
  virtual std::string check_frame(const uint8_t* /*data*/, uint32_t /*received*/, uint32_t /*frame_bytes*/) {
    return {};
  }
};

// Builds the machine the options ask for, or says why not and sets `exit`.
std::unique_ptr<Machine> make_machine(const Options& options, std::ostream& err, int* exit);

// The whole program: `out` takes results (and a frame written to -o -), `err`
// failures and, when a frame goes to `out`, the messages.
// `terminal`: `out` is a terminal, where a stream's progress line is redrawn in place.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal = false);

// Shared by the commands and the tour.
std::string hex(uint32_t value, int digits);
std::string failure(const Camera& camera, const Status& status);
int exit_for(const Status& status);
int show_info(const Camera& camera, std::ostream& out, std::ostream& err);
int show_list(std::ostream& out, std::ostream& err);

// One frame read as the frame command and the tour do it, and what came of it.
struct FrameResult {
  Status status;
  Resolution window;
  FrameRead read = FrameRead::Triggered;  // which read the driver used
  uint32_t frame_bytes = 0;               // at the current window
  uint32_t received = 0;
  std::vector<uint8_t> data;
  std::string pattern;  // the simulated camera's verdict, if any
};
// Reads one frame of `bytes` (0: the whole frame at the current window) from
// `camera`, by the product's own read or the one without trigger.
FrameResult read_one_frame(Machine& machine, const Camera& camera, uint32_t bytes, bool untriggered);
// "921600 bytes of 921600 asked (640x480, 24 bits per pixel), STATUS_SUCCESS"
std::string frame_text(const FrameResult& frame);
// Writes a frame read to `output`: a PNG picture for a name ending in .png, else
// its raw bytes; `what` says which. kOk, kUsage (no picture of such a frame) or
// kIoFailed, having said why.
int save_frame(FrameOutput& output, const FrameResult& frame, std::ostream& out, std::ostream& err,
               std::string* what);

}  // namespace quorvex::tool
