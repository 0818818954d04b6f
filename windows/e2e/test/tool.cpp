// The shipped quorvex.exe against the real driver: each scenario runs the tool as a
// user would, in a process of its own, and checks its exit code, what it printed,
// what the camera saw on the bus and the files it wrote. The exit codes are the ones the tool
// documents, the same on the host: 0 success, 1 a request failed or a frame read
// timed out, 2 usage, 3 no camera, 4 a value refused before sending.
#include <windows.h>

#include "png.h"
#include "scenarios.h"

namespace quorvex::e2e {
namespace {

// A run takes well under a second, a timed-out frame read one more; the bound only
// keeps a hung tool from hanging the test.
constexpr DWORD kToolMillis = 20000;

std::wstring g_folder;

struct Run {
  std::string command;
  DWORD exit = 0;
  std::string out, err;  // line ends as LF
  ULONGLONG millis = 0;
};

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

HANDLE inheritable_file(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("cannot make " + std::string(path.begin(), path.end()));
  return file;
}

std::string contents(HANDLE file) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i)
      if (buffer[i] != '\r') text += buffer[i];
  }
  return text;
}

// Runs `quorvex.exe <arguments>` in the package folder. Its output goes to files,
// so the tool never waits on a reader.
Run run_tool(const std::string& arguments) {
  Run run;
  run.command = "quorvex " + arguments;
  HANDLE out = inheritable_file(g_folder + L"\\tool-stdout.txt");
  HANDLE err = inheritable_file(g_folder + L"\\tool-stderr.txt");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command = L"\"" + g_folder + L"\\quorvex.exe\" " + widen(arguments);
  PROCESS_INFORMATION process{};
  ULONGLONG start = GetTickCount64();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, g_folder.c_str(), &startup,
                      &process)) {
    CloseHandle(out);
    CloseHandle(err);
    fail("cannot start quorvex.exe: error " + std::to_string(GetLastError()));
  }
  bool ended = WaitForSingleObject(process.hProcess, kToolMillis) == WAIT_OBJECT_0;
  if (!ended) {
    TerminateProcess(process.hProcess, 255);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  run.millis = GetTickCount64() - start;
  GetExitCodeProcess(process.hProcess, &run.exit);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.out = contents(out);
  run.err = contents(err);
  CloseHandle(out);
  CloseHandle(err);
  if (!ended) fail(run.command + " did not end within " + std::to_string(kToolMillis) + " ms");
  return run;
}

std::string shown(const Run& run) {
  return run.command + " (exit " + std::to_string(run.exit) + ", stdout: \"" + run.out + "\", stderr: \"" +
         run.err + "\")";
}

void expect_exit(const Run& run, DWORD exit) {
  if (run.exit != exit) fail("exit " + std::to_string(exit) + " expected from " + shown(run));
}

void expect_output(const Run& run, const std::string& text, const std::string& where = "stdout") {
  const std::string& seen = where == "stdout" ? run.out : run.err;
  if (seen.find(text) == std::string::npos) fail(where + " lacks \"" + text + "\": " + shown(run));
}

// The line of stdout whose first word is `word`, or a failure.
std::string line_of(const Run& run, const std::string& word) {
  for (size_t at = 0; at < run.out.size();) {
    size_t end = std::min(run.out.find('\n', at), run.out.size());
    std::string line = run.out.substr(at, end - at);
    size_t first = line.find_first_not_of(' ');
    if (first != line.npos && line.compare(first, word.size() + 1, word + " ") == 0) return line;
    at = end + 1;
  }
  fail("no line for " + word + ": " + shown(run));
}

// Every camera the driver has, by name, product and model, and nothing on the bus.
std::string list(Bus& bus) {
  Plugged cam{bus.plug(0x100E)};
  cam.mark = mark(bus, cam.slot);
  Run run = run_tool("list");
  expect_exit(run, 0);
  expect_output(run,
                "\\\\.\\Quorvex-0   0x100E   0x1621  2048x1536 sensor, 24 bits per pixel, triggered frames");
  expect_output(run, "the driver's device list, newest first: Quorvex-0");
  expect_since(bus, cam, {}, "list");
  return "";
}

// Identity and the model's controls, read without changing anything on the camera.
std::string info(Bus& bus) {
  Plugged cam{bus.plug(0x1009)};
  cam.mark = mark(bus, cam.slot);
  Run run = run_tool("info");
  expect_exit(run, 0);
  expect_output(run, "vendor 0x04B4, product 0x1009, model 0x8431");
  std::string gain = line_of(run, "gain");
  if (gain.find("0..48") == std::string::npos) fail("gain line \"" + gain + "\" lacks 0..48: " + shown(run));
  std::vector<Transfer> seen = bus.control_transfers(cam.slot, cam.mark);
  if (seen.empty()) fail("info read nothing from the camera");
  for (const Transfer& t : seen) {
    if (t.setup[0] != 0xC0 || t.usbd_status != 0) fail("info sent " + t.text() + ", not a read");
  }
  return std::to_string(seen.size()) + " register reads";
}

// A gain set, then read back, each with exactly its register traffic: gain 42 on
// model 0x1621 is register 0x35 = 0x0160.
std::string gain(Bus& bus) {
  Plugged cam{bus.plug(0x100E)};
  cam.mark = mark(bus, cam.slot);
  Run set = run_tool("set gain 42");
  expect_exit(set, 0);
  expect_output(set, "42");
  expect_since(bus, cam, {reg_write(0x35, 0x0160), reg_read(0x35, 0x0160)}, "set gain 42");
  Run get = run_tool("get gain");
  expect_exit(get, 0);
  expect_output(get, "42");
  expect_since(bus, cam, {reg_read(0x35, 0x0160)}, "get gain");
  return "register 0x35 written 0x0160 and read back";
}

// Each way a run can go wrong, with its exit code and what reached the camera.
struct Refusal {
  const char* arguments;
  DWORD exit;
  const char* said;  // on stderr
  bool stall;        // the camera stalls the next control transfer
  std::vector<Transfer> traffic;
};

std::string refusals(Bus& bus) {
  const std::vector<Refusal> rows = {
      {"set gain 162", 4, "0..161", false, {}},
      {"--camera 1 get gain", 3, "Quorvex-1", false, {}},
      {"frobnicate", 2, "frobnicate", false, {}},
      {"--trace get gain", 2, "--trace", false, {}},
      {"sleep", 2, "only the simulated machine of the host build can be put to sleep", false, {}},
      {"wake", 2, "wake: only the simulated machine", false, {}},
      {"get gain", 1, "USBD_STATUS_STALL_PID", true, {stalled(reg_read(0x35, 0))}},
  };
  Plugged cam{bus.plug(0x100E)};
  cam.mark = mark(bus, cam.slot);
  for (const Refusal& row : rows) {
    if (row.stall) bus.stall(cam.slot, 1);
    Run run = run_tool(row.arguments);
    expect_exit(run, row.exit);
    expect_output(run, row.said, "stderr");
    expect_since(bus, cam, row.traffic, run.command);
  }
  return std::to_string(rows.size()) + " runs, exits 4 3 2 2 2 2 1";
}

std::wstring in_folder(const std::string& name) { return g_folder + L"\\" + widen(name); }

bool exists(const std::string& name) {
  return GetFileAttributesW(in_folder(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<uint8_t> read_file(const std::string& name) {
  HANDLE file =
      CreateFileW(in_folder(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("cannot open " + name + ": error " + std::to_string(GetLastError()));
  LARGE_INTEGER size{};
  GetFileSizeEx(file, &size);
  std::vector<uint8_t> data(size_t(size.QuadPart));
  DWORD got = 0;
  BOOL read = ReadFile(file, data.data(), DWORD(data.size()), &got, nullptr);
  CloseHandle(file);
  if (!read || got != data.size()) fail("cannot read " + name + ": error " + std::to_string(GetLastError()));
  return data;
}

void write_file(const std::string& name, const std::string& text) {
  HANDLE file = CreateFileW(in_folder(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put = 0;
  bool written =
      file != INVALID_HANDLE_VALUE && WriteFile(file, text.data(), DWORD(text.size()), &put, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!written || put != text.size()) fail("cannot write " + name);
}

// What the tool leaves of a frame it does not finish: its files beside the target.
std::vector<std::string> partial_files() {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(in_folder("*.part-*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(std::string(found.cFileName, found.cFileName + wcslen(found.cFileName)));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

// A camera that sends nothing: the read ends after a second with STATUS_TIMEOUT,
// which Windows reports as success with the bytes that came; the tool exits 1, as
// on the host, and writes nothing: a new name is not made, a file there stays.
std::string short_frame(Bus& bus) {
  const std::string kKept = "the user's own";
  Plugged cam{bus.plug(0x100E)};
  ULONGLONG longest = 0;
  for (const char* name : {"short.png", "kept.png"}) {
    bool there = name == std::string("kept.png");
    DeleteFileW(in_folder(name).c_str());
    if (there) write_file(name, kKept);
    cam.mark = mark(bus, cam.slot);
    Run run = run_tool("frame --untriggered --bytes 4096 -o " + std::string(name));
    expect_exit(run, 1);
    expect_output(run, "(STATUS_TIMEOUT); nothing was written to " + std::string(name), "stderr");
    if (run.millis < 900)
      fail("the read ended after " + std::to_string(run.millis) + " ms, before the time-out");
    longest = std::max(longest, run.millis);
    Traffic t = image_traffic(bus, cam.slot, cam.mark);
    expect_list(t.sent, {"out 4096", "abort"}, "sent");
    if (!there && exists(name)) fail(run.command + " made " + name);
    if (there) {
      std::vector<uint8_t> left = read_file(name);
      if (std::string(left.begin(), left.end()) != kKept) fail(run.command + " changed " + name);
    }
    std::vector<std::string> beside = partial_files();
    if (!beside.empty()) fail(run.command + " left " + joined(beside));
  }
  return "exit 1 within " + std::to_string(longest) + " ms, no file made, an existing one untouched";
}

// A frame the tool writes to a file, and the window the camera sends it at.
struct FrameFile {
  uint16_t product;
  const char* arguments;  // ending in -o `file`
  const char* file;
  sim::pattern::Geometry window;
  uint32_t queued;  // frames given to a read that sends no trigger
};

// Raw bytes are the frame itself; a picture is checked as a file by the format's
// rules, then decoded by Windows and compared pixel by pixel.
std::string frame_file(Bus& bus, const FrameFile& row) {
  const sim::pattern::Geometry& w = row.window;
  uint32_t bytes = w.width * w.height * w.bytes_per_pixel;
  uint32_t slot = bus.plug(row.product);
  bus.queue_frames(slot, row.queued, bytes, w);
  DeleteFileW(in_folder(row.file).c_str());
  Run run = run_tool(row.arguments);
  expect_exit(run, 0);
  expect_output(run, std::to_string(bytes) + " bytes of " + std::to_string(bytes) + " asked");
  std::vector<uint8_t> data = read_file(row.file);
  std::string note = row.file + std::string(" ");
  if (std::string(row.file).find(".png") == std::string::npos) {
    expect_picture(data.data(), uint32_t(data.size()), bytes, 0, w, row.file);
    note += "the camera's bytes";
  } else {
    note += std::to_string(w.width) + "x" + std::to_string(w.height) +
            (w.bytes_per_pixel == 1 ? " grey" : " colour") + " (" +
            check_png_structure(data, w.width, w.height, w.bytes_per_pixel) + ")";
    DecodedPicture picture = decode_png(in_folder(row.file));
    if (picture.width != w.width || picture.height != w.height ||
        picture.bytes_per_pixel != w.bytes_per_pixel) {
      fail(std::string(row.file) + " decodes to " + std::to_string(picture.width) + "x" +
           std::to_string(picture.height) + " at " + std::to_string(picture.bytes_per_pixel) +
           " bytes a pixel");
    }
    expect_picture(picture.pixels.data(), uint32_t(picture.pixels.size()), bytes, 0, w,
                   std::string(row.file) + " as Windows decodes it");
    note += " decoded by Windows to the camera's picture";
  }
  DeleteFileW(in_folder(row.file).c_str());
  bus.unplug(slot);
  return note;
}

// One frame at the camera's window, written by the tool and read back from the
// file: the simulated camera's picture, byte for byte, as raw bytes at the window
// the camera starts with and as PNG pictures in colour and in grey at windows the
// same line chose.
std::string frames(Bus& bus) {
  const FrameFile rows[] = {
      {0x100E, "frame -o frame.raw", "frame.raw", {2048, 1536, 3}, 0},  // 0x100E as it starts
      {0x100E, "set resolution 1024x768 then frame -o colour.png", "colour.png", {1024, 768, 3}, 0},
      {0x1009, "set resolution 640x480 then frame -o grey.png", "grey.png", {640, 480, 1}, 1},
  };
  std::string note;
  for (const FrameFile& row : rows) note += (note.empty() ? "" : "; ") + frame_file(bus, row);
  return note;
}

// Wine maps no kernel memory into processes (MmMapLockedPagesSpecifyCache returns
// NULL for a user-mode view), so the driver cannot start a stream there: the tool
// says streaming is unavailable and exits 7, having sent nothing on the image pipe,
// and the camera serves the next run as before.
std::string stream(Bus& bus) {
  Plugged cam{bus.plug(0x100E)};
  cam.mark = mark(bus, cam.slot);
  Run run = run_tool("stream --frames 3");
  expect_exit(run, 7);
  expect_output(run, "(STATUS_INSUFFICIENT_RESOURCES)", "stderr");
  expect_output(run, "streaming is unavailable here", "stderr");
  expect_list(image_traffic(bus, cam.slot, cam.mark).sent, {}, "sent by the stream");
  for (const char* refused : {"stream --sleep-at 1", "stream -o -"}) expect_exit(run_tool(refused), 2);
  Run get = run_tool("get gain");
  expect_exit(get, 0);
  return "exit 7, streaming unavailable, nothing sent; the camera works on";
}

}  // namespace

void set_tool_folder(const std::wstring& folder) { g_folder = folder; }

std::vector<Scenario> tool_scenarios() {
  return {
      {"quorvex list", list},
      {"quorvex info", info},
      {"quorvex set and get gain", gain},
      {"quorvex exit codes", refusals},
      {"quorvex frame", frames},
      {"quorvex frame times out", short_frame},
      {"quorvex stream under Wine", stream},
  };
}

}  // namespace quorvex::e2e
