// The quorvex tool end to end on the simulated platform, run in-process as main()
// runs it: what it prints for each command on each product, its exit codes, and the
// messages that bad arguments and refused requests give.
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <sim/camera.h>
#include <sim/verifier.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/models.h"
#include "tools/tool.h"

namespace quorvex::test {
namespace {

struct Result {
  int exit;
  std::string out;
  std::string err;
};

namespace fs = std::filesystem;

class ToolTest : public ::testing::Test {
 protected:
  // Each test in a folder of its own, where the tour writes its pictures.
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) c = c == '/' ? '_' : c;
    folder_ = fs::path(::testing::TempDir()) / ("quorvex_" + name);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    home_ = fs::current_path();
    fs::current_path(folder_);
  }
  // The tool routes the verifier's reports to its own verdict; give them back to the
  // test afterwards.
  void TearDown() override {
    sim::set_fault_handler([](const sim::FaultReport& report) {
      ADD_FAILURE() << "verifier: " << sim::fault_name(report.kind) << ": " << report.message;
    });
    fs::current_path(home_);
    fs::remove_all(folder_);
  }

  // Every file in the test's folder, by name: what a frame leaves behind.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path folder_;
  fs::path home_;

  static Result run(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    int exit = tool::run(args, out, err);
    return {exit, out.str(), err.str()};
  }
};

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += " " + w;
  return text;
}

// A command line, its exit code, and text its output and error stream must hold.
struct Line {
  std::vector<std::string> args;
  int exit;
  std::vector<std::string> out;
  std::vector<std::string> err;
};

const Line kLines[] = {
    {{"--help"},
     0,
     {"usage: quorvex", "Exit codes:", "4  a value refused before anything was sent",
      "6  the frame could not be written out", "7  streaming is unavailable here",
      "130  Ctrl-C stopped a stream", "0x100F  model 0x1801", "then COMMAND"},
     {}},
    {{"set", "--help"}, 0, {"usage: quorvex [OPTIONS] set NAME VALUE", "offset-pair"}, {}},
    {{"help", "raw"}, 0, {"block-read VALUE LENGTH", "ioctl CODE"}, {}},
    {{}, 2, {}, {"usage: quorvex"}},
    {{"--product", "banana", "list"}, 2, {}, {"not banana", "0x100E  model 0x1621"}},
    {{"--product", "4105", "list"}, 2, {}, {"hexadecimal", "not 4105"}},
    {{"--product", "0x1008", "list"}, 2, {}, {"not 0x1008"}},
    {{"--product"}, 2, {}, {"--product takes"}},
    {{"--cameras", "9", "list"}, 2, {}, {"--cameras takes a number from 1 to 8"}},
    {{"frobnicate"}, 2, {}, {"unknown command frobnicate"}},
    {{"--bogus", "list"}, 2, {}, {"unknown option --bogus"}},
    {{"get"}, 2, {}, {"usage: quorvex get NAME"}},
    {{"get", "brightness"}, 2, {}, {"no control named brightness"}},
    {{"set", "gain", "lots"}, 2, {}, {"lots is not a number"}},
    {{"set", "resolution", "640"}, 2, {}, {"WIDTHxHEIGHT"}},
    {{"reg", "read", "0x100"}, 4, {}, {"reg read 0x100: refused before sending: out of range", "0 to 0xFF"}},
    {{"reg", "write", "1", "99999999999999999999999"},
     4,
     {},
     {"out of range; it takes a value from 0 to 0xFFFF"}},
    {{"reg", "write", "1", "banana"}, 2, {}, {"are numbers"}},
    {{"set", "gain", "99999999999999999999999"}, 4, {}, {"out of range; it takes 0..161"}},
    {{"set", "exposure", "4294967296"}, 4, {}, {"exposure 4294967296 is outside 0..65535"}},
    {{"set", "resolution", "99999999999999999999999x480"}, 4, {}, {"out of range; it takes 640x480"}},
    {{"raw", "b9", "0x10000", "1"}, 4, {}, {"raw b9 0x10000: refused before sending: out of range"}},
    {{"--version"}, 0, {"quorvex 2.1.0\n"}, {}},
    {{"--camera", "1", "list"}, 2, {}, {"--camera does not apply to list: list shows every camera"}},
    {{"tour", "--trace"}, 2, {}, {"--trace does not apply to tour"}},
    {{"--camera", "0", "tour"}, 2, {}, {"--camera does not apply to tour"}},
    {{"tour", "then", "list"}, 2, {}, {"tour runs alone"}},
    {{"set", "gain", "1", "then"}, 2, {}, {"`then` stands between two commands"}},
    {{"--camera", "0", "get", "gain", "then", "--camera", "1", "list"},
     2,
     {},
     {"--camera belongs to the whole line"}},
    {{"--trace", "list"}, 0, {"\\\\.\\Quorvex-0   0x100E", "bus traffic", "transfers:"}, {}},
    {{"--trace", "status"}, 0, {"last USB failure: none", "0 transfers:"}, {}},
    {{"--product", "1009", "--trace", "frame", "--bytes", "4096", "-o", "FILE"},
     0,
     {"1 transfer:", "bulk endpoint 0x82, 4096 of 4096 bytes"},
     {}},
    {{"set", "resolution", "640x480", "then", "set", "gain", "42", "then", "frame", "-o", "FILE"},
     0,
     {"resolution 640x480 (24 bits per pixel)", "gain 42\n", "921600 bytes of 921600 asked (640x480"},
     {}},
    {{"set", "gain", "162", "then", "frame", "-o", "FILE"}, 4, {}, {"gain 162 is outside 0..161"}},
    {{"raw", "nope"}, 2, {}, {"raw nope: no such command"}},
    {{"raw", "bb"}, 2, {}, {"usage: quorvex raw bb VALUE"}},
    {{"--camera", "3", "info"}, 3, {}, {"cannot open \\\\.\\Quorvex-3: STATUS_OBJECT_NAME_NOT_FOUND"}},
    {{"set", "gain", "162"}, 4, {}, {"set gain 162: refused before sending: gain 162 is outside 0..161"}},
    {{"--product", "100B", "get", "gain"}, 4, {}, {"gain cannot be read on product 0x100B (model 0x1801)"}},
    {{"--product", "1009", "set", "offset-60", "1"}, 4, {}, {"offset-60 cannot be set on product 0x1009"}},
    {{"raw", "b9", "0x100", "1"}, 4, {}, {"selector 0x100 is above 0xFF"}},
    {{"raw", "ioctl", "0x222010"}, 1, {}, {"raw ioctl: STATUS_INVALID_PARAMETER, 0xC000000D"}},
    {{"raw", "ioctl", "0x222014"}, 0, {"STATUS_SUCCESS, 0 bytes returned"}, {}},
    {{"raw", "ioctl", "0x2220D0", "12"}, 0, {"12 bytes returned: B4 04 00 00 0E 10 00 00 21 16 00 00"}, {}},
    {{"--product", "100E,1009", "--cameras", "3", "list"},
     0,
     {"\\\\.\\Quorvex-0   0x100E   0x1621", "\\\\.\\Quorvex-1   0x1009   0x8431", "\\\\.\\Quorvex-2   0x100E",
      "newest first: Quorvex-2 Quorvex-1 Quorvex-0"},
     {}},
    {{"--camera", "1", "--product", "100E,1009", "info"}, 0, {"product 0x1009, model 0x8431"}, {}},
    {{"reg", "write", "0x35", "0x160", "--trace"},
     0,
     {"register 0x35 := 0x0160 (352)", "1 transfer:", "40 B7 0035 0000 0002  OUT  60 01",
      "write register 0x35 = 0x0160"},
     {}},
    {{"--trace", "set", "gain", "42"}, 0, {"gain 42\n", "OUT  60 01", "IN   60 01"}, {}},
    {{"set", "reg62", "on"}, 0, {"reg62 1\n"}, {}},
    {{"raw", "bb", "3"}, 0, {"value 0x00BB0003"}, {}},
    {{"raw", "block-read", "7", "3"}, 0, {"3 bytes: 07 08 09"}, {}},
    {{"raw", "block-write", "7", "1", "2", "--trace"}, 0, {"sent", "40 BA 0007 0000 0002  OUT  01 02"}, {}},
    {{"status"}, 0, {"last USB failure: none"}, {}},
    {{"frame"}, 2, {}, {"frame needs -o FILE"}},
    {{"frame", "-o", "/nonexistent/dir/f.raw"},
     2,
     {},
     {"cannot write /nonexistent/dir/f.raw: cannot make a file in /nonexistent/dir/: No such file"}},
    {{"frame", "--bytes", "0", "-o", "FILE"}, 2, {}, {"--bytes takes a length from 1 to 15116544"}},
    {{"frame", "--bytes", "15116545", "-o", "FILE"}, 2, {}, {"--bytes takes a length from 1 to 15116544"}},
    {{"frame", "--bytes", "99999999999999999999999", "-o", "FILE"}, 2, {}, {"--bytes takes a length"}},
    {{"get", "gain", "-o", "FILE"}, 2, {}, {"-o does not apply to get"}},
    {{"--product", "100B", "frame", "-o", "FILE"},
     1,
     {},
     {"the plain bulk read: STATUS_INVALID_PARAMETER", "at most 524288 bytes; ask for fewer with --bytes"}},
    {{"frame", "-o", "FILE"},
     0,
     {"frame: 9437184 bytes of 9437184 asked (2048x1536, 24 bits per pixel", "by the triggered read",
      "pattern: whole, frame 0, untorn", "9437184 bytes written to ", "(raw bytes)"},
     {}},
    {{"tour"},
     0,
     {"1. A camera is plugged in", "set gain 42 -> reads back 42   (register 0x35 = 0x0160)",
      "921600 bytes of 921600 asked (640x480, 24 bits per pixel", "pattern: whole, frame 0, untorn",
      "pattern: whole, frame 1, untorn", "bulk endpoint 0x82, 524288 of 524288 bytes",
      "written to frame.png: 640x480 colour PNG picture",
      "written to frame-untriggered.png: 640x480 colour PNG picture",
      "IOCTL_CAM_STREAM_STOP on a handle with no stream: STATUS_INVALID_PARAMETER",
      "asleep in S3: \\\\.\\Quorvex-0 in D3\n   awake in S0: \\\\.\\Quorvex-0 in D0\n",
      "every frame the camera's pattern, whole and untorn", "after the wake the stream went on",
      "its first frame written to stream-000000.png", "remove-device STATUS_SUCCESS",
      "no faults, nothing leaked", "10. What to try next"},
     {}},
    {{"--product", "100D", "tour"}, 0, {"product 0x100D", "no faults, nothing leaked"}, {}},
    {{"help", "stream"}, 0, {"usage: quorvex [OPTIONS] stream [--frames N]", "exits 130"}, {}},
    {{"stream", "--every", "5"}, 2, {}, {"--every K saves frames to -o NAME"}},
    {{"stream", "-o", "-"}, 2, {}, {"-o takes a file name"}},
    {{"stream", "--frames", "0"}, 2, {}, {"--frames takes a whole number from 1 to 100000000"}},
    {{"stream", "--seconds", "100000001"}, 2, {}, {"--seconds takes a whole number"}},
    {{"stream", "--sleep-at"}, 2, {}, {"--sleep-at takes a whole number"}},
    {{"get", "gain", "--every", "3"},
     2,
     {},
     {"--frames, --seconds, --every and --sleep-at do not apply to get"}},
    {{"stream", "--untriggered"}, 2, {}, {"--bytes and --untriggered do not apply to stream"}},
    {{"--trace", "stream"}, 2, {}, {"--trace does not apply to stream: a stream's bus traffic"}},
    {{"stream", "-o", "/nonexistent/dir/s.png"}, 2, {}, {"cannot write /nonexistent/dir/s-000000.png"}},
    {{"sleep", "then", "stream"}, 1, {"asleep in S3"}, {"stream: STATUS_DEVICE_POWERED_OFF"}},
    {{"--cameras", "2", "--camera", "1", "stream", "--seconds", "2", "--sleep-at", "1", "then", "frame", "-o",
      "FILE"},
     0,
     {" s: ", "asleep in S3: \\\\.\\Quorvex-1 in D3\nawake in S0: \\\\.\\Quorvex-1 in D0\n",
      "every frame is the camera's pattern, whole and untorn", "the camera's test pattern: whole, frame "},
     {}},
    {{"--product", "100B", "bench"},
     0,
     {"product 0x100B at 2592x1944 (15116544 bytes a frame)",
      "single-shot    not timed: one plain bulk transfer carries at most 524288 bytes", "of memcpy",
      "dropped"},
     {}},
    {{"--product", "1009", "bench"}, 0, {"at 640x480 (307200 bytes a frame)", "single-shot ", "stream "}, {}},
    {{"help", "sleep"}, 0, {"usage: quorvex [OPTIONS] sleep [S1|S2|S3|S4]", "S3 (the default)"}, {}},
    {{"sleep", "S5"}, 2, {}, {"sleep takes S1, S2, S3 or S4 (hibernate); not S5"}},
    {{"sleep", "S0"}, 2, {}, {"not S0"}},
    {{"sleep", "3"}, 2, {}, {"not 3"}},
    {{"sleep", "S3", "S4"}, 2, {}, {"usage: quorvex sleep [S1|S2|S3|S4]"}},
    {{"wake", "now"}, 2, {}, {"usage: quorvex wake"}},
    {{"sleep", "-o", "FILE"}, 2, {}, {"does not apply to sleep: sleep reads no frame"}},
    {{"--camera", "1", "sleep"}, 3, {}, {"sleep S3: no camera \\\\.\\Quorvex-1 on this machine (1 plugged)"}},
    {{"--trace", "wake"},
     0,
     {"awake in S0 (it was not asleep): \\\\.\\Quorvex-0 in D0\n", "0 transfers:"},
     {}},
    {{"sleep"}, 0, {"asleep in S3: \\\\.\\Quorvex-0 in D3\n"}, {}},
    {{"--cameras", "2", "sleep", "S4", "then", "wake", "then", "sleep", "S1"},
     0,
     {"asleep in S4 (hibernate): \\\\.\\Quorvex-0 in D3, \\\\.\\Quorvex-1 in D3\n",
      "awake in S0: \\\\.\\Quorvex-0 in D0, \\\\.\\Quorvex-1 in D0\n", "asleep in S1: "},
     {}},
    {{"--camera", "1", "--cameras", "2", "sleep", "S2", "then", "wake"},
     0,
     {"asleep in S2: \\\\.\\Quorvex-1 in D3\n", "awake in S0: \\\\.\\Quorvex-1 in D0\n"},
     {}},
    {{"sleep", "then", "sleep", "s1"},
     1,
     {"asleep in S3"},
     {"sleep S1: STATUS_INVALID_DEVICE_STATE: the machine is asleep already, in S3; wake it first"}},
    {{"sleep", "then", "get", "gain"}, 1, {"asleep in S3"}, {"get gain: STATUS_DEVICE_POWERED_OFF"}},
    {{"set", "gain", "42", "then", "sleep", "then", "wake", "then", "--trace", "get", "gain", "then", "frame",
      "-o", "FILE"},
     0,
     {"gain 42\n", "asleep in S3", "awake in S0", "0 transfers:", "C0 B7 0035 0000 0002  IN   60 01",
      "pattern: whole, frame 0, untorn"},
     {}},
    {{"--product", "1009", "tour"},
     0,
     {"one plain bulk transfer", "307200 bytes of 307200 asked", "pattern: whole, frame 0, untorn",
      "no faults, nothing leaked"},
     {}},
};

class Lines : public ToolTest, public ::testing::WithParamInterface<Line> {};

// The file for the word FILE in a command line, in the test's own folder.
std::string temp_file() { return "frame.raw"; }

std::vector<std::string> with_file(std::vector<std::string> args, const std::string& file) {
  for (std::string& a : args) a = a == "FILE" ? file : a;
  return args;
}

TEST_P(Lines, ExitAndMessages) {
  const Line& l = GetParam();
  std::string file = temp_file();
  Result r = run(with_file(l.args, file));
  std::remove(file.c_str());
  EXPECT_EQ(r.exit, l.exit) << joined(l.args) << "\n" << r.out << r.err;
  for (const std::string& text : l.out)
    EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
  for (const std::string& text : l.err)
    EXPECT_NE(r.err.find(text), std::string::npos) << text << " in\n" << r.err;
  // Help and results go to standard output, failures to standard error, never both.
  EXPECT_EQ(r.out.empty(), l.exit != 0 && l.out.empty()) << r.out;
  EXPECT_EQ(r.err.empty(), l.exit == 0) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Tool, Lines, ::testing::ValuesIn(kLines));

// The file holds the raw bytes the read received, checked against the camera's
// pattern, on each routing; a failed read leaves no file behind.
TEST_F(ToolTest, FrameWritesTheRawBytes) {
  struct Case {
    std::vector<std::string> args;
    size_t bytes;
  };
  const Case kCases[] = {
      {{"--product", "100A", "frame"}, 1280 * 1024},
      {{"--product", "1009", "frame", "--bytes", "4096"}, 4096},
      {{"--product", "100C", "frame", "--untriggered", "--bytes", "0x80200"}, 0x80200},
      {{"--product", "100F", "frame"}, 0},
  };
  std::string file = temp_file();
  for (const Case& c : kCases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", file});
    Result r = run(args);
    EXPECT_EQ(r.exit, c.bytes != 0 ? 0 : 1) << joined(args) << "\n" << r.err;
    std::FILE* f = std::fopen(file.c_str(), "rb");
    EXPECT_EQ(f != nullptr, c.bytes != 0) << joined(args);
    if (f == nullptr) continue;
    std::vector<uint8_t> data(c.bytes + 1);
    EXPECT_EQ(std::fread(data.data(), 1, data.size(), f), c.bytes) << joined(args);
    std::fclose(f);
    std::remove(file.c_str());
    sim::pattern::Check check = sim::pattern::check(data.data(), c.bytes);
    EXPECT_TRUE(check.ok) << joined(args) << " at " << check.first_bad_offset;
    EXPECT_EQ(check.frame, 0u) << joined(args);
  }
}

std::string product_name(const ::testing::TestParamInfo<uint16_t>& info) {
  char name[16];
  std::snprintf(name, sizeof(name), "Product%04X", info.param);
  return name;
}

class EachProduct : public ToolTest, public ::testing::WithParamInterface<uint16_t> {
 protected:
  std::vector<std::string> with_product(std::vector<std::string> words) {
    char id[8];
    std::snprintf(id, sizeof(id), "%04X", GetParam());
    words.insert(words.begin(), {"--product", id});
    return words;
  }
};

// info shows every control with what this model accepts; get and set reach each of
// them, or say plainly that this model does not have it.
TEST_P(EachProduct, InfoGetAndSetEveryControl) {
  const ProductInfo& p = *find_product(GetParam());
  Result info = run(with_product({"info"}));
  ASSERT_EQ(info.exit, 0) << info.err;
  char head[64];
  std::snprintf(head, sizeof(head), "product 0x%04X, model 0x%04X", p.product, p.model);
  EXPECT_NE(info.out.find(head), std::string::npos) << info.out;
  size_t at = info.out.find("not on this model:");
  std::string absent =
      at == std::string::npos ? "" : info.out.substr(at + 18, info.out.find('\n', at) - at - 18) + ",";
  for (const SettingInfo& s : settings()) {
    SCOPED_TRACE(s.name);
    Limits l = limits(s.setting, p);
    // A control the model has is listed with what it accepts; the others on one line.
    bool has = l.settable() || l.readable;
    EXPECT_EQ(info.out.find("\n" + std::string(s.name) + std::string(16 - std::string(s.name).size(), ' ')) !=
                  std::string::npos,
              has);
    EXPECT_EQ(absent.find(" " + std::string(s.name) + ",") != std::string::npos, !has) << absent;
    if (has) {
      EXPECT_NE(info.out.find(l.settable() ? l.text() : "read only on this model"), std::string::npos);
    }
    bool readable = l.readable && (s.get_code != 0 || s.read_register);
    Result get = run(with_product({"get", s.name}));
    EXPECT_EQ(get.exit, readable ? 0 : 4) << get.err;
    EXPECT_EQ(get.out.rfind(s.name, 0), readable ? 0 : std::string::npos) << get.out;
    std::string value;
    if (s.setting == Setting::Resolution) {
      value = std::to_string(l.windows.back().width) + "x" + std::to_string(l.windows.back().height);
    } else {
      value = l.settable() ? std::to_string(l.values.back().high) : "1";
    }
    Result set = run(with_product({"set", s.name, value}));
    EXPECT_EQ(set.exit, l.settable() ? 0 : 4) << set.err;
    if (!l.settable()) continue;
    std::string shown =
        s.setting == Setting::Resolution ? "resolution " + value + " (" : s.name + (" " + value);
    EXPECT_EQ(set.out.rfind(shown, 0), 0u) << set.out;
    EXPECT_EQ(set.out.find("sent ("), readable ? std::string::npos : shown.size() + 1) << set.out;
  }
}

// Units and the power-on window where the camera defines them.
TEST_F(ToolTest, InfoGivesUnitsAndThePowerOnWindow) {
  Result info = run({"--product", "1009", "info"});
  ASSERT_EQ(info.exit, 0) << info.err;
  EXPECT_NE(info.out.find("0..48 (gain steps)"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("0..65535 (camera units)"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("640x480, 1024x768, 1280x1024 (pixels; 1280x1024 at power-on)"), std::string::npos);
  EXPECT_NE(info.out.find("not on this model: gain-2b, gain-2c, gain-2d, gain-2e, offset-60"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Tool, EachProduct,
                         ::testing::Values(0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F),
                         product_name);

struct Png {
  uint32_t width = 0;
  uint32_t height = 0;
  int colour = -1;
  std::vector<uint8_t> bytes;
};

Png read_png(const std::string& path) {
  Png picture;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return picture;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    picture.width = png_get_image_width(png, info);
    picture.height = png_get_image_height(png, info);
    picture.colour = png_get_color_type(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (uint32_t y = 0; y < picture.height; ++y)
      picture.bytes.insert(picture.bytes.end(), rows[y], rows[y] + png_get_rowbytes(png, info));
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return picture;
}

// A name ending in .png gets a picture of the window: grey for 8-bit frames, colour
// for 24-bit ones, its pixels the bytes the camera sent and black where none came.
TEST_F(ToolTest, FrameWritesAPicture) {
  struct Case {
    std::vector<std::string> args;
    uint32_t width;
    uint32_t height;
    int colour;
    size_t received;
  };
  const Case kCases[] = {
      {{"--product", "1009", "set", "resolution", "640x480", "then", "frame"},
       640,
       480,
       PNG_COLOR_TYPE_GRAY,
       640 * 480},
      {{"set", "resolution", "640x480", "then", "frame", "--untriggered"},
       640,
       480,
       PNG_COLOR_TYPE_RGB,
       640 * 480 * 3},
      {{"--product", "100A", "frame", "--bytes", "4096"}, 1280, 1024, PNG_COLOR_TYPE_GRAY, 4096},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "frame.png"});
    Result r = run(args);
    ASSERT_EQ(r.exit, 0) << joined(args) << "\n" << r.err;
    EXPECT_NE(r.out.find("PNG picture"), std::string::npos) << r.out;
    Png picture = read_png("frame.png");
    EXPECT_EQ(picture.width, c.width) << joined(args);
    EXPECT_EQ(picture.height, c.height) << joined(args);
    EXPECT_EQ(picture.colour, c.colour) << joined(args);
    ASSERT_EQ(picture.bytes.size(), size_t{c.width} * c.height * (c.colour == PNG_COLOR_TYPE_RGB ? 3 : 1));
    sim::pattern::Check check = sim::pattern::check(picture.bytes.data(), c.received);
    EXPECT_TRUE(check.ok) << joined(args) << " at " << check.first_bad_offset;
    EXPECT_TRUE(std::all_of(picture.bytes.begin() + c.received, picture.bytes.end(),
                            [](uint8_t b) { return b == 0; }));
    std::remove("frame.png");
  }
}

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// What stands where the frame goes is never lost: a failed read or write leaves a
// file as it was, and a link, a device or a folder is refused untouched. Only a
// whole frame replaces a file, which keeps its permissions; nothing is left beside.
TEST_F(ToolTest, AFrameNeverDestroysWhatIsThere) {
  write_file("kept.raw", "kept");
  Result r = run({"--camera", "3", "frame", "-o", "kept.raw"});
  EXPECT_EQ(r.exit, 3) << r.err;
  EXPECT_EQ(contents("kept.raw"), "kept");

  // A read the camera left unfinished is no frame: asked for more than the frame, it
  // waits out its time-out, and neither the file nor a new name gets what came.
  for (const std::string name : {"kept.raw", "timed-out.png"}) {
    r = run({"--product", "100A", "set", "resolution", "640x480", "then", "frame", "--bytes", "600000", "-o",
             name});
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_NE(r.err.find("307200 of 600000 bytes came before the read timed out (STATUS_TIMEOUT); nothing "
                         "was written to " +
                         name),
              std::string::npos)
        << r.err;
  }
  EXPECT_TRUE(contents("kept.raw") == "kept") << "a read that timed out replaced kept.raw";

  fs::create_symlink("kept.raw", "link.raw");
  r = run({"frame", "--bytes", "4096", "-o", "link.raw"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("link.raw is a symbolic link, not a regular file: it is left alone"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::is_symlink("link.raw"));
  EXPECT_EQ(contents("kept.raw"), "kept");

  bool device = mknod("device", S_IFCHR | 0600, makedev(1, 3)) == 0;  // as /dev/null is
  if (device) {
    r = run({"frame", "--bytes", "4096", "-o", "device"});
    EXPECT_EQ(r.exit, 2);
    EXPECT_NE(r.err.find("device is a device"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_character_file("device"));
  }
  fs::create_directory("folder");
  r = run({"frame", "--bytes", "4096", "-o", "folder"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_TRUE(fs::is_directory("folder"));

  // A folder no one may write in, even as root.
  r = run({"frame", "--bytes", "4096", "-o", "/proc/quorvex.raw"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("cannot write /proc/quorvex.raw: cannot make a file in /proc/"), std::string::npos)
      << r.err;

  // A full disk: the file-size limit stops the write part-way.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 65536;
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  r = run({"frame", "--bytes", "200000", "-o", "kept.raw"});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(r.exit, 6);
  EXPECT_NE(r.err.find("cannot write kept.raw: File too large (it is left as it was)"), std::string::npos)
      << r.err;
  EXPECT_EQ(contents("kept.raw"), "kept");

  fs::permissions("kept.raw", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  r = run({"frame", "--bytes", "4096", "-o", "kept.raw"});
  EXPECT_EQ(r.exit, 0) << r.err;
  std::string frame = contents("kept.raw");
  ASSERT_EQ(frame.size(), 4096u);
  EXPECT_TRUE(sim::pattern::check(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()).ok);
  EXPECT_EQ(fs::status("kept.raw").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::vector<std::string> left = {"folder", "kept.raw", "link.raw"};
  if (device) left.insert(left.begin(), "device");
  EXPECT_EQ(files(), left);
}

// -o - puts the frame's bytes alone on standard output, the messages with the
// failures on standard error.
TEST_F(ToolTest, FrameToStandardOutput) {
  Result r = run({"--product", "1009", "set", "resolution", "640x480", "then", "frame", "-o", "-"});
  ASSERT_EQ(r.exit, 0) << r.err;
  ASSERT_EQ(r.out.size(), 640u * 480u + std::string("resolution 640x480 (8 bits per pixel)\n").size());
  std::string frame = r.out.substr(r.out.size() - 640 * 480);
  EXPECT_TRUE(sim::pattern::check(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()).ok);
  EXPECT_NE(r.err.find("307200 bytes written to standard output (raw bytes)"), std::string::npos) << r.err;
  EXPECT_TRUE(files().empty());
}

// A stream on each product: the closing figures are those of the frames it took,
// each frame is written as a picture of the window holding the camera's bytes, and
// the drops it counts are the numbers the pictures skip.
class EachModel : public EachProduct {};

TEST_P(EachModel, StreamWritesPicturesOfTheFramesItTook) {
  const ProductInfo& p = *find_product(GetParam());
  Limits windows = limits(Setting::Resolution, p);
  std::vector<std::string> args;
  if (windows.settable()) {
    const WindowSize& w = windows.windows.front();
    args = {"set", "resolution", std::to_string(w.width) + "x" + std::to_string(w.height), "then"};
  }
  args.insert(args.end(), {"stream", "--frames", "3", "-o", "shot.png"});
  Result r = run(with_product(args));
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  unsigned long long frames = 0, dropped = 0;
  double seconds = 0, rate = 0, megabytes = 0;
  size_t at = r.out.find("stream: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(
      std::sscanf(r.out.c_str() + at, "stream: %llu frames in %lf s: %lf frames/s, %lf MB/s, %llu dropped",
                  &frames, &seconds, &rate, &megabytes, &dropped),
      5)
      << r.out;
  EXPECT_EQ(frames, 3u);
  EXPECT_NE(r.out.find("every frame is the camera's pattern, whole and untorn"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 frames written: shot-000000.png ... shot-000002.png"), std::string::npos) << r.out;
  EXPECT_EQ(files(), (std::vector<std::string>{"shot-000000.png", "shot-000001.png", "shot-000002.png"}));
  std::vector<uint32_t> numbers;
  uint32_t bytes = 0;
  for (const std::string& name : files()) {
    Png picture = read_png(name);
    ASSERT_FALSE(picture.bytes.empty()) << name;
    bytes = static_cast<uint32_t>(picture.bytes.size());
    EXPECT_EQ(picture.colour, p.bits_per_pixel == 8 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB) << name;
    if (windows.settable()) {
      EXPECT_EQ(picture.width, windows.windows.front().width) << name;
    }
    sim::pattern::Check check = sim::pattern::check(picture.bytes.data(), bytes);
    EXPECT_TRUE(check.ok) << name << " at " << check.first_bad_offset;
    numbers.push_back(check.frame);
  }
  ASSERT_EQ(numbers.size(), 3u);
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()) && numbers.front() < numbers.back());
  EXPECT_EQ(dropped, numbers.back() - numbers.front() + 1 - 3);
  // Each figure is shown to a tenth, the seconds too: the rates lie between those of
  // the shortest and the longest time shown as `seconds`.
  double longest = seconds + 0.05, shortest = std::max(seconds - 0.05, 1e-9);
  EXPECT_GE(rate, frames / longest - 0.05);
  EXPECT_LE(rate, frames / shortest + 0.05);
  EXPECT_GE(megabytes, frames * bytes / longest / 1e6 - 0.05);
  EXPECT_LE(megabytes, frames * bytes / shortest / 1e6 + 0.05);
}

INSTANTIATE_TEST_SUITE_P(Tool, EachModel, ::testing::Values(0x1009, 0x100D, 0x100E), product_name);

// Runs the built tool in a process of its own, its standard output on a pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      std::vector<char*> argv{const_cast<char*>(QUORVEX_CLI)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(QUORVEX_CLI, argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads until `text` has come (empty: until the output ends) or `bound` passes.
  bool read_until(const std::string& text, std::chrono::seconds bound) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (text.empty() || output_.find(text) == std::string::npos) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count());
      pollfd ready{out_, POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, left) <= 0) return false;
      char buffer[4096];
      ssize_t got = read(out_, buffer, sizeof(buffer));
      if (got <= 0) return text.empty();
      output_.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }
  void signal(int number) { kill(pid_, number); }
  // The exit code once the output has ended within `bound` (the process is then
  // ending); 1000 and the signal's number for a process a signal ended; -1 otherwise.
  int exit_code(std::chrono::seconds bound) {
    if (!read_until("", bound)) return -1;
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string output_;
};

// Ctrl-C stops the stream under way: its figures are shown, the driver unloads with
// nothing leaked, and the tool exits 130.
TEST_F(ToolTest, CtrlCStopsTheStream) {
  Child tool({"stream", "--seconds", "60"});
  ASSERT_TRUE(tool.read_until(" s: ", std::chrono::seconds(30))) << tool.output();
  tool.signal(SIGINT);
  EXPECT_EQ(tool.exit_code(std::chrono::seconds(30)), 130) << tool.output();
  EXPECT_NE(tool.output().find("; stopped by Ctrl-C\n"), std::string::npos) << tool.output();
  EXPECT_NE(tool.output().find("every frame is the camera's pattern, whole and untorn"), std::string::npos);
  EXPECT_EQ(tool.output().find("verifier"), std::string::npos) << tool.output();
}

}  // namespace
}  // namespace quorvex::test
