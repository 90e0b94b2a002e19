// Processes side by side on one machine: the lock on a persistent machine's folder (no lost
// update), the lock on a device, read-only commands that write nothing, the temporary files an
// interrupted run left behind, and SIGTERM / SIGHUP during a write (a child process each).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliRun.h"
#include "frontend/Machines.h"
#include "platform/Clock.h"
#include "platform/ProcessLock.h"
#include "platform/Writing.h"
#include "sim/Scenario.h"
#include "support/TempDir.h"

namespace qvfw::cli {
namespace {

namespace fs = std::filesystem;

using Outcome = CliOutcome;

class OneProcess : public ::testing::Test {
 protected:
  Outcome Run(std::vector<std::string> args) { return RunCli(std::move(args), dir_.path()); }
  fs::path Folder() const { return dir_.path() / "m"; }
  std::string Sim() const { return "--sim=" + Folder().string(); }
  // The inode of each of the machine's files: a file that is replaced gets a new one.
  std::map<std::string, ino_t> Inodes() const {
    std::map<std::string, ino_t> inodes;
    for (const char* name : {"machine.json", "bridge0.flash"}) {
      struct stat st {};
      EXPECT_EQ(::stat((Folder() / name).c_str(), &st), 0) << name;
      inodes[name] = st.st_ino;
    }
    return inodes;
  }
  testing::TempDir dir_;
};

// A pipe pair for talking to a child: one byte each way.
struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void Put(char c) { EXPECT_EQ(::write(fd[1], &c, 1), 1); }
  char Get() {
    char c = 0;
    return ::read(fd[0], &c, 1) == 1 ? c : 0;
  }
};

// A child holds the machine's folder, as a `list` or an open window that started before an update
// does; the update meanwhile is refused with the holder's process id, and the child's later save
// does not take the update back. Then the other way round: an update holds the folder, and a
// `list` started meanwhile is refused instead of saving an older copy afterwards.
TEST_F(OneProcess, TwoProcessesOnOneMachineFolderLoseNoUpdate) {
  ASSERT_EQ(Run({Sim(), "list"}).code, 0);
  const std::string before = Run({Sim(), "list"}).out;
  ASSERT_NE(before.find("firmware 1.2.0.1"), std::string::npos) << before;

  Pipe ready, go;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::NullDiagnostics quiet;
    auto machine = frontend::Machine::Open(Folder(), quiet);
    ready.Put('r');
    go.Get();
    machine->Save();  // the stale copy of the machine, as it was when this process started
    ::_exit(0);
  }
  ASSERT_EQ(ready.Get(), 'r');
  const Outcome refused = Run({Sim(), "update"});
  EXPECT_EQ(refused.code, kExitDeviceFailed) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("is in use by process " + std::to_string(child)), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out.find("Update"), std::string::npos) << "nothing was written: " << refused.out;
  go.Put('g');
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // The update holds the folder from load to save; a list started meanwhile is refused.
  {
    platform::NullDiagnostics quiet;
    auto machine = frontend::Machine::Open(Folder(), quiet);
    const pid_t lister = ::fork();
    ASSERT_GE(lister, 0);
    if (lister == 0) {
      std::vector<const char*> argv{"qvfw", nullptr, "list"};
      const std::string sim = Sim();
      argv[1] = sim.c_str();
      std::ostringstream out, err;
      ::_exit(cli::Run(3, argv.data(), out, err, false, dir_.path()));
    }
    ASSERT_EQ(::waitpid(lister, &status, 0), lister);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kExitDeviceFailed);
  }
  const Outcome update = Run({Sim(), "update"});
  ASSERT_EQ(update.code, 0) << update.out << update.err;
  const std::string after = Run({Sim(), "list"}).out;
  EXPECT_NE(after.find("firmware 1.2.0.3"), std::string::npos) << "the update stayed: " << after;
}

// Every command that changes a device holds its lock: another holder is named, and the device is
// left as it was.
TEST_F(OneProcess, AWriteWaitsForTheDeviceLockThenNamesItsHolder) {
  ASSERT_EQ(Run({Sim(), "backup", (dir_.path() / "b.bin").string()}).code, 0);
  fs::path lockFile;
  for (const auto& e : fs::directory_iterator(Folder()))
    if (e.path().filename().string().rfind("qvfw-", 0) == 0) lockFile = e.path();
  ASSERT_FALSE(lockFile.empty()) << "the backup locked the device";
  const auto inodes = Inodes();
  platform::VirtualClock clock;
  platform::ProcessLock::Refusal unused;
  const auto held = platform::ProcessLock::Acquire(lockFile, "the device", clock, 0, &unused);
  ASSERT_TRUE(held);
  const std::string mine = "is in use by process " + std::to_string(::getpid());
  for (std::vector<std::string> command :
       {std::vector<std::string>{"update"}, {"erase", "--yes"}, {"program", "--yes", (dir_.path() / "b.bin").string()}}) {
    command.insert(command.begin(), Sim());
    const Outcome o = Run(command);
    EXPECT_EQ(o.code, kExitDeviceFailed) << command[1] << ": " << o.out << o.err;
    EXPECT_NE(o.err.find(mine), std::string::npos) << command[1] << ": " << o.err;
  }
  EXPECT_EQ(Inodes(), inodes) << "no file of the machine was rewritten";
}

// list, info and check write nothing; a command that changes nothing rewrites no file, and one
// that changes the flash rewrites the flash file only.
TEST_F(OneProcess, ReadOnlyCommandsWriteNothing) {
  ASSERT_EQ(Run({Sim(), "list"}).code, 0);
  const auto inodes = Inodes();
  const std::string image = (dir_.path() / "b.bin").string();
  for (std::vector<std::string> command :
       {std::vector<std::string>{"list"}, {"info"}, {"--json", "list"}, {"backup", image}, {"check", image}}) {
    command.insert(command.begin(), Sim());
    const Outcome o = Run(command);
    if (command[1] != "check") {
      EXPECT_EQ(o.code, 0) << command[1] << ": " << o.out << o.err;
    }
    EXPECT_EQ(Inodes(), inodes) << command[1];
  }
  ASSERT_EQ(Run({Sim(), "update"}).code, 0);
  const auto after = Inodes();
  EXPECT_NE(after.at("bridge0.flash"), inodes.at("bridge0.flash"));
}

// What an interrupted run (kill -9 mid-save) leaves is removed by the next run that holds the
// folder: temporaries of ended processes and the random names of earlier versions. A live
// process's temporary, other names ending in ".new" and folders stay.
TEST_F(OneProcess, StaleTemporariesGoWithTheNextRun) {
  ASSERT_EQ(Run({Sim(), "list"}).code, 0);
  const pid_t ended = ::fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  const std::string dead = std::to_string(ended);
  const std::string live = std::to_string(::getpid());
  const std::vector<std::string> stale = {"bridge0.flash." + dead + "-0.new", "machine.json.3fa01c9e.new"};
  const std::vector<std::string> kept = {"bridge0.flash." + live + "-5.new", "notes.new", "bridge0.flash.x1-2.new"};
  for (const auto& name : stale) std::ofstream(Folder() / name) << "half";
  for (const auto& name : kept) std::ofstream(Folder() / name) << "other";
  fs::create_directory(Folder() / "old.0badf00d.new");
  // The exchange file's, in the working directory.
  std::ofstream(dir_.path() / ("ExChangeData.tmp." + dead + "-3.new")) << "half";

  ASSERT_EQ(Run({Sim(), "list"}).code, 0);
  for (const auto& name : stale) EXPECT_FALSE(fs::exists(Folder() / name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(Folder() / name)) << name;
  EXPECT_TRUE(fs::is_directory(Folder() / "old.0badf00d.new"));
  ASSERT_EQ(Run({Sim(), "update"}).code, 0);
  EXPECT_FALSE(fs::exists(dir_.path() / ("ExChangeData.tmp." + dead + "-3.new")));
}

// A pass-through that sends the process a signal at the chosen WRITE BUFFER piece (during the
// write), or at the first INQUIRY (before anything is written) when `atPiece` is negative.
class SignallingPassThrough final : public platform::PassThrough {
 public:
  SignallingPassThrough(platform::PassThrough& inner, int signal, int atPiece)
      : inner_(inner), signal_(signal), atPiece_(atPiece) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    if (atPiece_ < 0 && !sent_ && !r.cdb.empty() && r.cdb[0] == 0x12) {
      sent_ = true;
      ::kill(::getpid(), signal_);
    }
    if (r.cdb.size() >= 2 && r.cdb[0] == 0x3B && r.cdb[1] == 0x0E && pieces_++ == atPiece_) ::kill(::getpid(), signal_);
    return inner_.Execute(path, r);
  }
  int pieces() const { return pieces_; }

 private:
  platform::PassThrough& inner_;
  int signal_;
  int atPiece_;
  int pieces_ = 0;
  bool sent_ = false;
};

struct ChildEnd {
  int status = 0;
  std::string report;  // what the child wrote before it ended
};

// Runs `qvfw update` in a child process on the built-in machine with the signal sent at
// `atPiece`; the child reports exit code, pieces written and its standard error, then ends the
// way the program's main does.
ChildEnd UpdateInChild(const fs::path& workDir, int signal, int atPiece) {
  int fd[2];
  EXPECT_EQ(::pipe(fd), 0);
  const pid_t child = ::fork();
  EXPECT_GE(child, 0);
  if (child == 0) {
    ::close(fd[0]);
    platform::VirtualClock clock;
    auto machine = sim::DefaultMachine(clock);
    SignallingPassThrough signalling(*machine, signal, atPiece);
    std::ostringstream out, err;
    GlobalOptions options;
    options.workingDirectory = workDir;
    int code = -1;
    {
      Session session(options, PlatformParts{&signalling, machine.get(), machine.get(), &clock}, out, err, false);
      session.Start();
      code = cli::UpdateCommand(session, out, err);
    }
    const std::string report = std::to_string(code) + " " + std::to_string(signalling.pieces()) + "\n" + out.str() +
                               err.str();
    (void)!::write(fd[1], report.data(), report.size());
    ::close(fd[1]);
    platform::RaisePendingSignal();
    ::_exit(100);
  }
  ::close(fd[1]);
  ChildEnd end;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd[0], buffer, sizeof buffer)) > 0;) end.report.append(buffer, static_cast<size_t>(n));
  ::close(fd[0]);
  EXPECT_EQ(::waitpid(child, &end.status, 0), child);
  return end;
}

TEST_F(OneProcess, TermAndHangUpDuringAWriteFinishTheWriteThenEnd) {
  const struct {
    int signal;
    const char* word;
  } cases[] = {{SIGTERM, "terminated"}, {SIGHUP, "hang-up"}, {SIGQUIT, "quit"}, {SIGINT, "interrupted"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    const ChildEnd end = UpdateInChild(dir_.path(), c.signal, 10);
    ASSERT_TRUE(WIFSIGNALED(end.status)) << "the child ends by the signal once done: " << end.report;
    EXPECT_EQ(WTERMSIG(end.status), c.signal);
    EXPECT_EQ(end.report.rfind("0 64\n", 0), 0u) << "success, every piece written: " << end.report;
    EXPECT_NE(end.report.find("Update    Pass!!"), std::string::npos) << end.report;
    EXPECT_NE(end.report.find(std::string("qvfw: ") + c.word + ": the update is finishing, please wait"),
              std::string::npos)
        << end.report;
  }
  // Before the first write nothing needs finishing: the signal acts at once.
  const ChildEnd early = UpdateInChild(dir_.path(), SIGTERM, -1);
  ASSERT_TRUE(WIFSIGNALED(early.status)) << early.report;
  EXPECT_EQ(WTERMSIG(early.status), SIGTERM);
  EXPECT_EQ(early.report, "") << "it ended before it could report";
}

}  // namespace
}  // namespace qvfw::cli
