#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/SpecialFiles.h"
#include "support/TempDir.h"
#include "app/Configuration.h"

namespace qvfw::app {
namespace {

using namespace std::string_literals;

struct FileCase {
  const char* what;
  std::string content;
  int32_t chipReset;
};

// Pads `tail` at the front with a harmless token so that the file is exactly `size` bytes.
std::string Sized(size_t size, const std::string& tail) { return std::string(size - tail.size() - 1, 'x') + " " + tail; }

TEST(ReadConfiguration, ChipResetFromTheFile) {
  const FileCase cases[] = {
      {"lower case key", "chipreset=1", 1},
      {"upper case key, space", "CHIPRESET 1", 1},
      {"delimiters around the value", "ChipReset , 1", 1},
      {"runs of every delimiter", "ChipReset \t\r\n,=, 2\r\n", 2},
      {"seven characters fit the capacity", "ChipReset=1234567", 1234567},
      {"eight characters need nine bytes", "ChipReset=12345678", 0},
      {"key at the very end", "ChipReset=", 0},
      {"key and delimiters at the end", "Other=3\r\nChipReset = \r\n", 0},
      {"leading digits convert", "ChipReset=1x", 1},
      {"no digits give 0", "ChipReset=on", 0},
      {"negative value", "ChipReset=-5", -5},
      {"plus sign", "ChipReset=+7", 7},
      {"first occurrence wins", "ChipReset=4\nChipReset=1", 4},
      {"not only at a line start", "[Tool] Reset ChipReset=6", 6},
      {"a value spelling the key is taken as the key", "Mode=ChipReset 9", 9},
      {"the key's value may itself be the key", "ChipReset ChipReset 9", 0},
      {"key must be the whole token", "ChipResetX=1 XChipReset=1", 0},
      {"text ends at a zero byte", "Name=x\0ChipReset=1"s, 0},
      {"empty file", "", 0},
      {"size a multiple of 32, last token counts", Sized(32, "ChipReset=3"), 3},
      {"size 64, value is the last byte", Sized(64, "ChipReset=5"), 5},
  };
  for (const FileCase& c : cases) {
    testing::TempDir dir;
    const auto file = dir.Write("Brantwell.ini", c.content);
    MainWindowState state;
    state.ChipResetMode = 77;  // every read sets it, default included
    platform::CapturingDiagnostics diagnostics;
    ReadConfiguration(state, file, diagnostics);
    EXPECT_EQ(state.ChipResetMode, c.chipReset) << c.what;
    EXPECT_TRUE(diagnostics.lines.empty()) << c.what;
  }
}

TEST(ReadConfiguration, MissingFileGivesTheDefaultsQuietly) {
  testing::TempDir dir;
  MainWindowState state;
  state.ChipResetMode = 77;
  platform::CapturingDiagnostics diagnostics;
  ReadConfiguration(state, dir.path() / "Brantwell.ini", diagnostics);
  EXPECT_EQ(state.ChipResetMode, 0);
  EXPECT_TRUE(diagnostics.lines.empty());
}

// Whatever stands under the name, start-up goes on at once with the defaults and says why in one
// diagnostics line; a FIFO never blocks it, /dev/zero is never read into memory.
TEST(ReadConfiguration, SpecialFilesGiveTheDefaultsAndADiagnosticsLine) {
  for (const testing::SpecialFile& f : testing::SpecialFiles(false)) {
    testing::TempDir dir;
    const auto file = dir.path() / "Brantwell.ini";
    testing::MakeSpecialFile(f, file, kConfigurationMaxSize);
    MainWindowState state;
    state.ChipResetMode = 77;
    platform::CapturingDiagnostics diagnostics;
    ReadConfiguration(state, file, diagnostics);
    EXPECT_EQ(state.ChipResetMode, 0) << f.what;
    ASSERT_EQ(diagnostics.lines.size(), 1u) << f.what;
    const std::string expected = f.kind == testing::SpecialKind::OverSize ? "is larger than 65536 bytes" : "is not a regular file";
    EXPECT_NE(diagnostics.lines[0].find("Brantwell.ini " + expected + ": the defaults apply"), std::string::npos)
        << f.what << ": " << diagnostics.lines[0];
  }
}

TEST(ReadConfiguration, AFileAtTheLimitIsRead) {
  testing::TempDir dir;
  const auto file = dir.Write("Brantwell.ini", Sized(kConfigurationMaxSize, "ChipReset=2"));
  MainWindowState state;
  platform::CapturingDiagnostics diagnostics;
  ReadConfiguration(state, file, diagnostics);
  EXPECT_EQ(state.ChipResetMode, 2);
  EXPECT_TRUE(diagnostics.lines.empty());
}

TEST(LookupKey, ValueKeepsItsCaseAndCapacityCountsTheTerminator) {
  struct Case {
    std::string text, key;
    size_t capacity;
    std::string expected;
  };
  const Case cases[] = {
      {"mode=AbC", "MODE", 8, "AbC"},
      {"MODE=AbC", "mode", 8, "AbC"},
      {"mode=AbC", "mode", 4, "AbC"},   // three characters and the zero
      {"mode=AbCd", "mode", 4, "dflt"},
      {"mode", "mode", 8, "dflt"},
      {"other=1", "mode", 8, "dflt"},
      {"", "mode", 8, "dflt"},
      {"m\xe9=1", "M\xe9", 8, "1"},     // bytes outside a..z compare as they are
      {"m\xc9=1", "m\xe9", 8, "dflt"},
  };
  for (const Case& c : cases) EXPECT_EQ(LookupKey(c.text, c.key, "dflt", c.capacity), c.expected) << c.text;
}

TEST(Tokenize, DelimiterRunsMakeNoEmptyTokens) {
  const std::vector<std::string_view> expected = {"a", "b", "c\x0b"};
  EXPECT_EQ(Tokenize("==a, ,b\t\r\n=c\x0b,"), expected);
  EXPECT_TRUE(Tokenize(" =,\t\r\n").empty());
}

TEST(DecimalValue, LeadingDigitsWithSignAndLimits) {
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"12", 12},          {"\v\f12", 12},       {"-0", 0},
      {"12ab", 12},        {"ab12", 0},          {"", 0},
      {"+", 0},            {"-", 0},             {"--1", 0},
      {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"99999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN}, {"-99999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(DecimalValue(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace qvfw::app
