#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/RecordingPassThrough.h"
#include "app/MainPresenter.h"
#include "app/ProgramVersion.h"
#include "cli/Cli.h"

namespace qvfw::cli {
namespace {

struct Outcome {
  int code;
  std::string out, err;
};

Outcome RunCli(std::vector<const char*> args) {
  args.insert(args.begin(), "qvfw");
  std::ostringstream out, err;
  const int code = Run(static_cast<int>(args.size()), args.data(), out, err, false);
  return {code, out.str(), err.str()};
}

TEST(CommandLine, OptionsAndExitCodes) {
  struct Case {
    std::vector<const char*> args;
    int code;
    std::string inOut, inErr;  // must appear in standard output / error
  };
  const Case cases[] = {
      {{"--version"}, 0, std::string("qvfw ") + app::kBuildVersionText + "\n", ""},
      {{"--help"}, 0, "3  no supported device", ""},
      {{}, 0, "Exit codes:", ""},
      {{"--trace", "-v", "-d", "3"}, 0, "Usage:", ""},
      {{"--sim"}, 0, "Usage:", ""},
      {{"--sim=/tmp/machine"}, 0, "Usage:", ""},
      {{"check"}, 2, "", "IMAGE"},
      {{"list", "info"}, 2, "", "info"},
      {{"--device", "x"}, 2, "", "--device"},
      {{"-d", "-1"}, 2, "", "-1"},
      {{"-d", "128"}, 2, "", "128"},
      {{"-d"}, 2, "", "-d"},
      {{"--no-such-option"}, 2, "", "--no-such-option"},
      {{"stray"}, 2, "", "stray"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    const Outcome o = RunCli(c.args);
    EXPECT_EQ(o.code, c.code) << line << "\n" << o.err;
    EXPECT_NE(o.out.find(c.inOut), std::string::npos) << line << "\nout: " << o.out;
    EXPECT_NE(o.err.find(c.inErr), std::string::npos) << line << "\nerr: " << o.err;
  }
}

TEST(CommandLine, HelpDocumentsEveryExitCode) {
  const Outcome o = RunCli({"--help"});
  for (const char* line : {"0  success", "1  the operation failed on the device",
                           "2  bad usage or bad input (missing or mismatched file)", "3  no supported device"})
    EXPECT_NE(o.out.find(line), std::string::npos) << line;
}

struct Terminal {
  std::ostringstream out, err;
};

TEST(CliShell, PlainMarksWhenNotATerminal) {
  Terminal t;
  {
    CliShell shell(t.out, t.err, false, false);
    app::Control edit;
    edit.name = "StatusEdit";
    shell.TextChanged({edit, "Programming Flash...", "", std::nullopt});
    for (int i = 0; i < 3; ++i) shell.TextChanged({edit, "", ".", std::nullopt});
    shell.TextChanged({edit, "", "done", std::nullopt});
    shell.TextChanged({edit, "", "", std::nullopt});  // cleared: prints nothing
    shell.TextChanged({edit, "ReadFlash...", "", std::nullopt});
    shell.TextChanged({edit, "", "..", std::nullopt});
  }  // the open line ends with the shell
  EXPECT_EQ(t.out.str(), "Programming Flash......done\nReadFlash.....\n");
  EXPECT_EQ(t.err.str(), "");
}

TEST(CliShell, MarksBecomeABarOnATerminal) {
  Terminal t;
  CliShell shell(t.out, t.err, true, false);
  app::Control edit;
  edit.name = "StatusEdit";
  shell.ExpectMarks(4);
  shell.TextChanged({edit, "Programming Flash...", "", std::nullopt});
  shell.TextChanged({edit, "", ".", std::nullopt});
  shell.TextChanged({edit, "", ".", std::nullopt});
  const std::string screen = t.out.str();
  EXPECT_EQ(screen.find('.', screen.rfind("Flash...") + 8), std::string::npos) << "marks printed as dots";
  EXPECT_NE(screen.rfind("\rProgramming Flash... " + ProgressBarText(2, 4)), std::string::npos) << screen;
  shell.Finish();
  EXPECT_EQ(t.out.str().back(), '\n');
}

TEST(CliShell, StatusLineIsColouredOnATerminalOnly) {
  app::Control panel;
  panel.name = "devpnl";
  for (bool terminal : {false, true}) {
    Terminal t;
    CliShell shell(t.out, t.err, terminal, false);
    shell.TextChanged({panel, "Update    Fail!!", "", app::kRed});
    shell.Finish();
    EXPECT_EQ(t.out.str().find("\x1b[31m") != std::string::npos, terminal) << t.out.str();
    EXPECT_NE(t.out.str().find("Update    Fail!!"), std::string::npos);
  }
}

TEST(ProgressBarText, FillsByTheAnnouncedCount) {
  struct Case {
    size_t marks, expected;
    std::string text;
  };
  const std::string empty(30, ' '), full(30, '#');
  const Case cases[] = {
      {0, 4, "[" + empty + "] 0/4 0%"},
      {1, 4, "[" + std::string(7, '#') + std::string(23, ' ') + "] 1/4 25%"},
      {4, 4, "[" + full + "] 4/4 100%"},
      {9, 4, "[" + full + "] 9/4 100%"},  // more pieces than announced never overflows the bar
  };
  for (const Case& c : cases) EXPECT_EQ(ProgressBarText(c.marks, c.expected), c.text) << c.marks;
  // Unknown length: the count is shown and the bar keeps its width.
  for (size_t marks : {1u, 27u, 28u, 100u}) {
    const std::string text = ProgressBarText(marks, 0);
    EXPECT_EQ(text.find(']'), 31u) << text;
    EXPECT_EQ(text.substr(33), std::to_string(marks));
  }
}

TEST(CliShell, MessagesAreOneLineOnStandardError) {
  Terminal t;
  CliShell shell(t.out, t.err, false, false);
  app::Control edit;
  edit.name = "StatusEdit";
  shell.TextChanged({edit, "ReadFlash...", "", std::nullopt});
  shell.MessageBox("Warning", "The tool only can show 128 disks.", app::MessageIcon::Warning);
  shell.MessageBox("Message", "two\nlines", app::MessageIcon::None);
  EXPECT_EQ(t.err.str(), "Warning: The tool only can show 128 disks.\nMessage: two lines\n");
  EXPECT_EQ(t.out.str(), "ReadFlash...\n");  // the open status line was ended first
  EXPECT_FALSE(shell.OpenFileDialog("BinaryFile|*.bin", "bin", "").has_value());
  for (bool safe : {false, true}) EXPECT_EQ(shell.Ask("Warning", "Erase the flash?", safe), safe);
  EXPECT_NE(t.err.str().find("Warning: Erase the flash? (answered no)\n"), std::string::npos) << t.err.str();
}

TEST(Session, TraceAndVerboseRouteToStandardError) {
  struct Case {
    bool trace, verbose;
  };
  for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
    testing::RecordingPassThrough backend;
    std::ostringstream out, err;
    GlobalOptions options;
    options.trace = c.trace;
    options.verbose = c.verbose;
    Session session(options, backend, out, err, false);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x28, 0};
    uint8_t data[40];
    EXPECT_TRUE(session.ctx().transport.PassThroughIn("/dev/sg9", cdb, data, sizeof data, nullptr));
    session.ctx().diagnostics.Line("diagnostic line");
    ASSERT_EQ(backend.requests.size(), 1u);
    EXPECT_EQ(err.str().find("scsi: 12 00 00 00 28 00") != std::string::npos, c.trace) << err.str();
    EXPECT_EQ(err.str().find("diagnostic line") != std::string::npos, c.verbose) << err.str();
    EXPECT_EQ(out.str(), "");
  }
}

// Runs the test body in a fresh working directory and returns to the old one afterwards.
class InWorkingDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() / "qvfw_cli_session";
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path old_, dir_;
};

using SessionLife = InWorkingDirectory;

TEST_F(SessionLife, StartsLikeTheWindowAndClosesWithTheExchangeFile) {
  std::ofstream("Brantwell.ini") << "ChipReset=1";
  std::ofstream("ExChangeData.tmp") << "left from an update";
  testing::RecordingPassThrough backend;
  std::ostringstream out, err;
  {
    Session session(GlobalOptions{}, backend, out, err, false);
    session.Start();
    EXPECT_EQ(session.ctx().state.ChipResetMode, 1);
    EXPECT_EQ(session.ctx().form.YesBtn.text, "Update firmware to version 01.02.00.03");
    EXPECT_EQ(session.ctx().form.window.caption, app::FormatCaption(app::kBuildVersion));
    EXPECT_TRUE(std::filesystem::exists("ExChangeData.tmp"));
  }
  EXPECT_FALSE(std::filesystem::exists("ExChangeData.tmp"));
  EXPECT_TRUE(std::filesystem::exists("Brantwell.ini"));
}

}  // namespace
}  // namespace qvfw::cli
