// Where a frame goes: a file made beside its target and renamed into place only when
// the frame is whole, so that a failed read or write leaves what was there as it
// was; or standard output.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace quorvex::tool {

class FrameOutput {
 public:
  FrameOutput() = default;
  ~FrameOutput();  // a file not committed is removed
  FrameOutput(const FrameOutput&) = delete;
  FrameOutput& operator=(const FrameOutput&) = delete;

  // Checks `target` and makes the file beside it, before anything is read: "-" is
  // standard output; otherwise the target must be a new name or a regular file, in
  // a folder that can be written. Returns kOk, or kUsage having said why.
  int open(const std::string& target, std::ostream& err);
  bool to_standard_output() const { return target_ == "-"; }
  const std::string& target() const { return target_; }

  // Writes `bytes` and puts them in place of the target (or onto `out`). Returns
  // kOk, or kIoFailed having said why; the target is then as it was.
  int commit(const std::vector<uint8_t>& bytes, std::ostream& out, std::ostream& err);

 private:
  void discard();

  std::string target_;
  std::string temporary_;
  int fd_ = -1;
};

}  // namespace quorvex::tool
