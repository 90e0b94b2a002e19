#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/RecordingPassThrough.h"
#include "support/TempDir.h"
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
      {{"--version"}, 0, std::string("qvfw ") + app::kBuildVersionText + " (carries firmware ", ""},
      {{"--help"}, 0, "3  no supported device", ""},
      {{}, 0, "Exit codes:", ""},
      {{"--trace", "-v", "-d", "3"}, 0, "Usage:", ""},
      {{"--sim"}, 0, "Usage:", ""},
      {{"--sim=/tmp/machine"}, 0, "Usage:", ""},
      // A word after --sim is the command, never the machine's folder.
      {{"--sim", "lsit"}, 2, "", "lsit"},
      {{"--sim=", "list"}, 2, "", "--sim=DIR needs a folder"},
      {{"check"}, 2, "", "IMAGE"},
      {{"list", "info"}, 2, "", "info"},
      // -d after the command, as an index or a path.
      {{"--sim", "info", "-d", "5"}, 2, "", "there is no device 5 (1 listed)"},
      {{"--sim", "info", "-d", "/dev/sg9"}, 2, "", "no listed device has the path /dev/sg9"},
      {{"--sim", "info", "-d", "sim:usbstor:bridge0:1"}, 0, "QVS812 Series", ""},
      {{"--sim", "info", "-d", "0"}, 0, "QVS812 Series", ""},
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

TEST(CommandLine, VersionNamesTheCarriedFirmware) {
  const Outcome o = RunCli({"--version"});
  EXPECT_EQ(o.code, 0);
  const std::string head = std::string("qvfw ") + app::kBuildVersionText + " (carries firmware ";
  ASSERT_TRUE(o.out.starts_with(head)) << o.out;
  const std::string carried = o.out.substr(head.size());
  ASSERT_EQ(carried.size(), 13u) << carried;  // "NN.NN.NN.NN)\n"
  EXPECT_EQ(carried.substr(11), ")\n");
  for (size_t i : {2u, 5u, 8u}) EXPECT_EQ(carried[i], '.') << carried;
  EXPECT_NE(carried.substr(0, 11), "00.00.00.00") << "the program carries an update image";
}

TEST(CommandLine, HelpDocumentsEveryExitCode) {
  const Outcome o = RunCli({"--help"});
  for (const char* line : {"0  success", "1  the operation failed on the device", "2  bad usage or bad input",
                           "3  no supported device", "4  a device is there but nothing is offered"})
    EXPECT_NE(o.out.find(line), std::string::npos) << line;
}

TEST(CommandLine, ExitCodeOfEveryOutcome) {
  using app::OutcomeCode;
  const std::pair<OutcomeCode, int> cases[] = {
      {OutcomeCode::Success, 0},  {OutcomeCode::AlreadyCurrent, 0}, {OutcomeCode::Failed, 1},
      {OutcomeCode::BadInput, 2}, {OutcomeCode::NoDevice, 3},       {OutcomeCode::NotOffered, 4},
      {OutcomeCode::NotAvailable, 4},
  };
  for (const auto& [code, exit] : cases) EXPECT_EQ(ExitCodeOf(code), exit) << app::OutcomeCodeName(code);
}

struct Terminal {
  std::ostringstream out, err;
};

// Standard output is the command's alone: the status line goes to standard error, the panel's
// texts and marks only with -v (their headings, never the marks).
TEST(CliShell, StatusTextsStayOffStandardOutput) {
  app::Control panel, edit;
  panel.name = "devpnl";
  edit.name = "StatusEdit";
  for (bool verbose : {false, true}) {
    Terminal t;
    {
      CliShell shell(t.out, t.err, false, verbose);
      shell.TextChanged({panel, "Updating firmware. Please wait...", "", app::kBlue});
      shell.TextChanged({edit, "Programming Flash...", "Programming Flash...", std::nullopt});
      for (int i = 0; i < 3; ++i) shell.TextChanged({edit, "Programming Flash...", ".", std::nullopt});
      shell.TextChanged({edit, "", "", std::nullopt});  // cleared: prints nothing
      shell.TextChanged({panel, "Update    Pass!!", "", app::kGreen});
    }
    EXPECT_EQ(t.out.str(), "");
    EXPECT_EQ(t.err.str(), verbose ? "Updating firmware. Please wait...\nProgramming Flash...\nUpdate    Pass!!\n"
                                   : "Updating firmware. Please wait...\nUpdate    Pass!!\n");
  }
}

TEST(CliShell, PhasesBecomeABarOnATerminalOnly) {
  for (bool terminal : {false, true}) {
    Terminal t;
    CliShell shell(t.out, t.err, terminal, false);
    shell.ShowProgress({app::Phase::Program, 2, 4, 0.25});
    shell.Finish();
    EXPECT_EQ(t.out.str(), "");
    EXPECT_EQ(t.err.str(), terminal ? "\r" + ProgressBarText(0.25) + " program\x1b[K\n" : "") << terminal;
  }
}

TEST(CliShell, StatusLineIsColouredOnATerminalWithoutNoColor) {
  app::Control panel;
  panel.name = "devpnl";
  struct Case {
    bool terminal;
    const char* noColor;  // nullptr: not set
    bool coloured;
  };
  // An empty NO_COLOR counts as not set, as the convention has it.
  for (const Case c : {Case{false, nullptr, false}, Case{true, nullptr, true}, Case{true, "1", false},
                       Case{true, "", true}, Case{false, "", false}}) {
    testing::SetEnv("NO_COLOR", c.noColor);
    Terminal t;
    CliShell shell(t.out, t.err, c.terminal, false);
    shell.TextChanged({panel, "Update    Fail!!", "", app::kRed});
    EXPECT_EQ(t.err.str().find("\x1b[31m") != std::string::npos, c.coloured)
        << c.terminal << " NO_COLOR=" << (c.noColor ? c.noColor : "(unset)") << ": " << t.err.str();
    EXPECT_NE(t.err.str().find("Update    Fail!!"), std::string::npos);
  }
  testing::SetEnv("NO_COLOR", nullptr);
}

// A terminal without escape codes (a console that cannot take them) gets plain text: no colour,
// and the bar drawn over itself, with spaces where a longer label was.
TEST(CliShell, ATerminalWithoutEscapeCodesGetsPlainText) {
  app::Control panel;
  panel.name = "devpnl";
  CliShell::SetTerminalEscapes(false);
  Terminal t;
  {
    CliShell shell(t.out, t.err, true, false);
    shell.ShowProgress(0.5, "0 of 2 bridges done");
    shell.ShowProgress(0.75, "program");
    shell.TextChanged({panel, "Update    Fail!!", "", app::kRed});
  }
  CliShell::SetTerminalEscapes(true);
  const std::string first = ProgressBarText(0.5) + " 0 of 2 bridges done";
  const std::string second = ProgressBarText(0.75) + " program";
  EXPECT_EQ(t.err.str(), "\r" + first + "\r" + second + std::string(first.size() - second.size(), ' ') +
                             "\nUpdate    Fail!!\n");
}

TEST(ProgressBarText, FillsByFractionAndNeverOverflows) {
  const std::string empty(30, ' '), full(30, '#');
  const std::pair<double, std::string> cases[] = {
      {0.0, "[" + empty + "]   0%"},
      {0.25, "[" + std::string(7, '#') + std::string(23, ' ') + "]  25%"},
      {1.0, "[" + full + "] 100%"},
      {1.5, "[" + full + "] 100%"},
      {-1.0, "[" + empty + "]   0%"},
  };
  for (const auto& [fraction, text] : cases) EXPECT_EQ(ProgressBarText(fraction), text) << fraction;
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
  EXPECT_EQ(t.out.str(), "");
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

// The session removes only an exchange file it made itself: one an update of another run left is
// not its own.
TEST(Session, ReadsTheConfigurationAndLeavesAnotherRunsExchangeFile) {
  testing::TempDir dir;
  dir.Write("Brantwell.ini", "ChipReset=1");
  dir.Write("ExChangeData.tmp", "left from an update");
  testing::RecordingPassThrough backend;
  std::ostringstream out, err;
  GlobalOptions options;
  options.workingDirectory = dir.path();
  {
    Session session(options, backend, out, err, false);
    session.Start();
    EXPECT_EQ(session.ctx().state.ChipResetMode, 1);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "ExChangeData.tmp"));
  }
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "ExChangeData.tmp"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Brantwell.ini"));
}

}  // namespace
}  // namespace qvfw::cli
