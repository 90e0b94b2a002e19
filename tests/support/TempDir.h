#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace qvfw::testing {

class TempDir {
 public:
  // A folder of its own (mkdtemp), so that two runs of the suite at once never share one.
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("qvfw_") + (info ? info->test_suite_name() : "t") + "_" + (info ? info->name() : "x");
    for (char& c : name)
      if (c == '/') c = '_';
    std::string templ = (std::filesystem::temp_directory_path() / (name + "_XXXXXX")).string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path Write(std::string_view name, std::string_view bytes) const {
    const auto p = path_ / name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qvfw::testing
