// The lock that keeps a second process off a bridge: who may hold it, and which lock files are
// believed. A file another user made, or a lock held in the name of a process that has ended, is
// refused at once instead of waited for; as root the locks live in a folder only root may write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Clock.h"
#include "platform/ProcessLock.h"
#include "support/TempDir.h"

namespace qvfw::platform {
namespace {

namespace fs = std::filesystem;

// A child process that holds `file` (flock) after writing `text` into it, until it is told to go.
class Holder {
 public:
  Holder(const fs::path& file, const std::string& text, uid_t uid = 0) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(go_), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (uid != 0 && ::setuid(uid) != 0) _exit(2);
      const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) _exit(3);
      if (::ftruncate(fd, 0) != 0 || ::write(fd, text.data(), text.size()) < 0) _exit(4);
      char c = 1;
      if (::write(ready[1], &c, 1) != 1) _exit(5);
      (void)!::read(go_[0], &c, 1);
      _exit(0);
    }
    char c = 0;
    EXPECT_EQ(::read(ready[0], &c, 1), 1) << "the holder took the lock";
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~Holder() {
    char c = 1;
    (void)!::write(go_[1], &c, 1);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ::close(go_[0]);
    ::close(go_[1]);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int go_[2] = {-1, -1};
};

// The id of a process that has ended.
long EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) _exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(ProcessLock, WhoHoldsItDecidesBetweenWaitingAndRefusing) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "qvfw-8-32.lock";
  struct Case {
    const char* what;
    bool deadName;     // the holder writes the id of an ended process
    uint32_t waitsMs;  // the virtual time the refusal took
    bool untrusted;
  } cases[] = {
      {"a live holder that names itself", false, kLockWaitMs, false},
      {"a holder in the name of an ended process", true, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(file);
    const long dead = EndedProcess();
    std::unique_ptr<Holder> holder;
    holder = std::make_unique<Holder>(file, c.deadName ? std::to_string(dead) + "\n" : "");
    if (!c.deadName) {
      // The holder names itself once it runs: write its id as a real holder does.
      std::ofstream(file) << holder->pid() << "\n";
    }
    VirtualClock clock;
    ProcessLock::Refusal refusal;
    EXPECT_FALSE(ProcessLock::Acquire(file, "the device X", clock, kLockWaitMs, &refusal));
    EXPECT_EQ(refusal.untrusted, c.untrusted) << refusal.message;
    EXPECT_EQ(refusal.busy, !c.untrusted) << refusal.message;
    EXPECT_EQ(clock.NowMs(), c.waitsMs);
    if (c.untrusted) {
      EXPECT_NE(refusal.message.find("process " + std::to_string(dead) + ", which is not running"), std::string::npos)
          << refusal.message;
    } else {
      EXPECT_NE(refusal.message.find("in use by process " + std::to_string(holder->pid())), std::string::npos)
          << refusal.message;
    }
  }
  // Once nobody holds it, the lock is granted and names its holder.
  VirtualClock clock;
  auto lock = ProcessLock::Acquire(file, "the device X", clock, kLockWaitMs, nullptr);
  ASSERT_TRUE(lock);
  std::ifstream in(file);
  long named = 0;
  in >> named;
  EXPECT_EQ(named, ::getpid());
}

// In a folder every user may write, another user can make the lock file first, name whom they
// like in it and hold it: such a file is not believed, and nobody waits for it.
TEST(ProcessLock, AFileAnotherUserMadeIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
  testing::TempDir dir;
  fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
  const fs::path file = dir.path() / "qvfw-8-32.lock";
  const Holder other(file, "1\n", 65534);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  ASSERT_EQ(st.st_uid, 65534u);
  VirtualClock clock;
  ProcessLock::Refusal refusal;
  EXPECT_FALSE(ProcessLock::Acquire(file, "the device X", clock, kLockWaitMs, &refusal));
  EXPECT_TRUE(refusal.untrusted);
  EXPECT_NE(refusal.message.find("belongs to user 65534"), std::string::npos) << refusal.message;
  EXPECT_EQ(refusal.message.find("in use by process 1"), std::string::npos) << refusal.message;
  EXPECT_EQ(clock.NowMs(), 0u) << "not waited for";
}

// As root the device locks live in /run/qvfw, and a lock folder is trusted only when no other
// user may write it.
TEST(ProcessLock, RootsLockFolderIsRootsAlone) {
  testing::TempDir dir;
  const fs::path folder = dir.path() / "locks";
  EXPECT_FALSE(PrepareLockFolder(folder)) << "made, and fine";
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(PrepareLockFolder(dir.path() / "missing" / "deeper")) << "a folder that cannot be made is for the lock to report";
  std::ofstream(dir.path() / "plain") << "x";
  EXPECT_TRUE(PrepareLockFolder(dir.path() / "plain"));
  fs::create_directory_symlink(folder, dir.path() / "link");
  EXPECT_TRUE(PrepareLockFolder(dir.path() / "link"));
  if (::geteuid() != 0) {
    EXPECT_EQ(DeviceLockFolder(), "/run/lock");
    return;
  }
  EXPECT_EQ(DeviceLockFolder(), "/run/qvfw");
  fs::permissions(folder, fs::perms::all);
  const auto open = PrepareLockFolder(folder);
  ASSERT_TRUE(open);
  EXPECT_NE(open->find("only root may write"), std::string::npos) << *open;
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_TRUE(PrepareLockFolder(folder)) << "owned by another user";
}

}  // namespace
}  // namespace qvfw::platform
