// A frame's file: made beside its target under a name of its own, filled, flushed
// to the disk and renamed over the target, so the target is either what it was or
// the whole new frame. Nothing that is not a regular file is ever written, truncated
// or removed.
#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "tool.h"

namespace quorvex::tool {
namespace {

// What the target is when it is there and not a regular file ("a symbolic link",
// "a device", ...); empty when it is absent or a regular file.
std::string not_a_file(const std::string& path, unsigned* mode) {
#ifdef _WIN32
  *mode = 0;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "";
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a link";
  return "";
#else
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "";
  *mode = st.st_mode & 07777;
  if (S_ISREG(st.st_mode)) return "";
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  return "not a regular file";
#endif
}

int create_new(const std::string& path) {
#ifdef _WIN32
  return _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
#endif
}

int process_id() {
#ifdef _WIN32
  return _getpid();
#else
  return getpid();
#endif
}

bool write_all(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    unsigned chunk = length > (1u << 30) ? (1u << 30) : static_cast<unsigned>(length);
    auto n = ::write(fd, data, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// To the disk before the rename, so a crash cannot leave an empty file in place.
bool flush_to_disk(int fd) {
#ifdef _WIN32
  return _commit(fd) == 0;
#else
  return fsync(fd) == 0;
#endif
}

bool replace(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

FrameOutput::~FrameOutput() { discard(); }

void FrameOutput::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
}

int FrameOutput::open(const std::string& target, std::ostream& err) {
  target_ = target;
  if (target == "-") return kOk;
  unsigned mode = 0;
  std::string what = not_a_file(target, &mode);
  if (!what.empty()) {
    err << "quorvex: frame: " << target << " is " << what
        << ", not a regular file: it is left alone (give a new name or a regular file)\n";
    return kUsage;
  }
  size_t slash = target.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  static int serial = 0;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temporary_ =
        folder + "." + name + ".part-" + std::to_string(process_id()) + "-" + std::to_string(serial++);
    fd_ = create_new(temporary_);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    err << "quorvex: frame: cannot write " << target << ": cannot make a file in "
        << (folder.empty() ? "the current folder" : folder) << ": " << std::strerror(errno) << "\n";
    temporary_.clear();
    return kUsage;
  }
#ifndef _WIN32
  if (mode != 0) fchmod(fd_, mode);  // a replaced file keeps its permissions
#endif
  return kOk;
}

int FrameOutput::commit(const std::vector<uint8_t>& bytes, std::ostream& out, std::ostream& err) {
  if (to_standard_output()) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (out) return kOk;
    err << "quorvex: frame: cannot write the frame to standard output\n";
    return kIoFailed;
  }
  bool written = write_all(fd_, bytes.data(), bytes.size()) && flush_to_disk(fd_);
  int error = errno;
  bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed && written) error = errno;
  if (written && closed && replace(temporary_, target_)) {
    temporary_.clear();
    return kOk;
  }
  if (written && closed) error = errno;
  err << "quorvex: frame: cannot write " << target_ << ": " << std::strerror(error)
      << " (it is left as it was)\n";
  discard();
  return kIoFailed;
}

}  // namespace quorvex::tool
