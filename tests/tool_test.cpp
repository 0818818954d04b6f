// The quorvex tool end to end on the simulated platform, run in-process as main()
// runs it: what it prints for each command on each product, its exit codes, and the
// messages that bad arguments and refused requests give.
#include <gtest/gtest.h>
#include <sim/camera.h>
#include <sim/verifier.h>

#include <cstdio>
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

class ToolTest : public ::testing::Test {
 protected:
  // The tool routes the verifier's reports to its own verdict; give them back to the
  // test afterwards.
  void TearDown() override {
    sim::set_fault_handler([](const sim::FaultReport& report) {
      ADD_FAILURE() << "verifier: " << sim::fault_name(report.kind) << ": " << report.message;
    });
  }

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
    {{"--help"}, 0, {"usage: quorvex", "Exit codes:", "4  the library refused", "0x100F  model 0x1801"}, {}},
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
    {{"reg", "read", "0x100"}, 2, {}, {"the register is 0 to 0xFF"}},
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
    {{"frame", "-o", "/nonexistent/dir/f.raw"}, 2, {}, {"cannot write /nonexistent/dir/f.raw: No such file"}},
    {{"frame", "--bytes", "0", "-o", "FILE"}, 2, {}, {"--bytes takes a length"}},
    {{"get", "gain", "-o", "FILE"}, 2, {}, {"belong to the frame command"}},
    {{"--product", "100B", "frame", "-o", "FILE"},
     1,
     {},
     {"the plain bulk read: STATUS_INVALID_PARAMETER", "at most 524288 bytes; ask for fewer with --bytes"}},
    {{"frame", "-o", "FILE"},
     0,
     {"frame: 3932160 bytes of 3932160 asked (1280x1024, 24 bits per pixel", "by the triggered read",
      "pattern: whole, frame 0, untorn", "3932160 bytes written to "},
     {}},
    {{"tour"},
     0,
     {"1. A camera is plugged in", "set gain 42 -> reads back 42   (register 0x35 = 0x0160)",
      "921600 bytes of 921600 asked (640x480, 24 bits per pixel", "pattern: whole, frame 0, untorn",
      "pattern: whole, frame 1, untorn", "bulk endpoint 0x82, 524288 of 524288 bytes",
      "streaming is not built yet", "remove-device STATUS_SUCCESS", "no faults, nothing leaked"},
     {}},
    {{"--product", "100D", "tour"}, 0, {"product 0x100D", "no faults, nothing leaked"}, {}},
    {{"--product", "1009", "tour"},
     0,
     {"one plain bulk transfer", "307200 bytes of 307200 asked", "pattern: whole, frame 0, untorn",
      "no faults, nothing leaked"},
     {}},
};

class Lines : public ToolTest, public ::testing::WithParamInterface<Line> {};

// A file of this test's own, for the word FILE in a command line.
std::string temp_file() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name) c = c == '/' ? '_' : c;
  return ::testing::TempDir() + "quorvex_" + name + ".raw";
}

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
  for (const SettingInfo& s : settings()) {
    SCOPED_TRACE(s.name);
    Limits l = limits(s.setting, p);
    EXPECT_NE(info.out.find(s.name + std::string(16 - std::string(s.name).size(), ' ')), std::string::npos);
    EXPECT_NE(info.out.find(l.settable() ? l.text() : "cannot be set on this model"), std::string::npos);
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

INSTANTIATE_TEST_SUITE_P(Tool, EachProduct,
                         ::testing::Values(0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           char name[16];
                           std::snprintf(name, sizeof(name), "Product%04X", info.param);
                           return std::string(name);
                         });

}  // namespace
}  // namespace quorvex::test
