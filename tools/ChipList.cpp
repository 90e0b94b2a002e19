// Prints the README's tables of supported chips and flash makers, from the chip and flash
// tables themselves, so that the README cannot drift from what the program knows.
// scripts/update-readme-chips puts its output between the README's markers; the test
// "readme_chips" checks that it is there unchanged.
#include <cstdio>
#include <string>
#include <vector>

#include "app/DeviceFacts.h"
#include "chips/ChipFamilies.h"

namespace {

using namespace qvfw;

std::string WhatTheToolDoes(const chips::ChipFamily& f) {
  if (f.Is(chips::kProgrammable)) {
    std::string text = f.size == chips::SizeRoute::None ? "version, flash maker" : "version, flash maker and size";
    text += "; erase, back up and program the flash";
    if (f.Is(chips::kNvramOption)) text += ", optionally with its 4 KiB NVRAM";
    return text;
  }
  if (f.Is(chips::kVersionOnly)) return "version";
  if (f.Is(chips::kGatedVersion)) return "version (from code level D0h on)";
  return "identified only: no firmware update";
}

std::string Size(uint32_t bytes) { return std::to_string(bytes / 1024) + " KiB"; }

}  // namespace

int main() {
  struct Row {
    std::string name, codes, oneClick, does;
  };
  std::vector<Row> rows;
  for (const chips::ChipFamily& f : chips::Families()) {
    // Neither the unknown chip nor the codes nothing identifies any more are supported.
    if (f.type == chips::ChipType::Unknown || f.groups == 0) continue;
    Row row{std::string(f.name), std::to_string(chips::Code(f.type)),
            app::OneClickFamily(f.type) ? "yes" : "no", WhatTheToolDoes(f)};
    // Neighbouring codes of the same name that the tool treats alike share a row.
    if (!rows.empty() && rows.back().name == row.name && rows.back().oneClick == row.oneClick &&
        rows.back().does == row.does) {
      rows.back().codes += ", " + row.codes;
      continue;
    }
    rows.push_back(row);
  }
  std::printf("| chip | code | one-click update | what the tool reads and does |\n|---|---|---|---|\n");
  for (const Row& r : rows)
    std::printf("| %s | %s | %s | %s |\n", r.name.c_str(), r.codes.c_str(), r.oneClick.c_str(), r.does.c_str());

  std::printf("\n| flash maker | erase block | erase sector |\n|---|---|---|\n");
  for (const chips::FlashVendorRow& v : chips::Vendors()) {
    if (v.vendor == chips::FlashVendor::Unknown) continue;
    std::printf("| %s | %s | %s |\n", std::string(v.name).c_str(), Size(v.units.block).c_str(),
                Size(v.units.sector).c_str());
  }
  return 0;
}
