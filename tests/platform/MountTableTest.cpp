// Reading the kernel's mount table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/linux/MountTable.h"

namespace qvfw::platform::linux_os {
namespace {

TEST(MountTable, FieldsAreSplitAndKernelEscapesDecoded) {
  const struct {
    const char* line;
    const char* source;
    const char* target;
  } cases[] = {
      {"/dev/sda2 / ext4 rw,relatime 0 0", "/dev/sda2", "/"},
      {"/dev/sdb1 /media/usb\\040stick vfat rw 0 0", "/dev/sdb1", "/media/usb stick"},
      {"/dev/sdb2 /media/a\\011b\\012c\\134d ext4 rw 0 0", "/dev/sdb2", "/media/a\tb\nc\\d"},
      {"/dev/sdc1\t/mnt/x   ext4 rw 0 0", "/dev/sdc1", "/mnt/x"},
      // A backslash that starts no complete octal escape stays as it is.
      {"/dev/sdd /mnt/a\\04 vfat rw 0 0", "/dev/sdd", "/mnt/a\\04"},
      {"/dev/sde /mnt/a\\089 vfat rw 0 0", "/dev/sde", "/mnt/a\\089"},
      {"tmpfs /run", "tmpfs", "/run"},
  };
  for (const auto& c : cases) {
    const std::vector<MountEntry> entries = ParseMountTable(c.line);
    ASSERT_EQ(entries.size(), 1u) << c.line;
    EXPECT_EQ(entries[0].source, c.source) << c.line;
    EXPECT_EQ(entries[0].target, c.target) << c.line;
  }
}

TEST(MountTable, KeepsLineOrderAndSkipsLinesWithoutATarget) {
  const std::vector<MountEntry> entries =
      ParseMountTable("rootfs / rootfs rw 0 0\n\n   \nbroken\n/dev/sda2 / ext4 rw 0 0\n"
                      "/dev/sda1 /boot/efi vfat rw 0 0");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].source, "rootfs");
  EXPECT_EQ(entries[1].source, "/dev/sda2");
  EXPECT_EQ(entries[1].target, "/");
  EXPECT_EQ(entries[2].source, "/dev/sda1");
  EXPECT_EQ(entries[2].target, "/boot/efi");
}

TEST(MountTable, ReadsAFileAndTellsAMissingOne) {
  char name[] = "/tmp/qvfw-mounts-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(name);
    out << "/dev/sdb1 /media/usb vfat rw 0 0\n";
  }
  const auto entries = ReadMountTable(name);
  std::remove(name);
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].target, "/media/usb");
  EXPECT_FALSE(ReadMountTable(name).has_value());
}

}  // namespace
}  // namespace qvfw::platform::linux_os
