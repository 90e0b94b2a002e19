#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace qvfw::testing {

class TempDir {
 public:
  // A folder of its own (mkdtemp, or a random name created exclusively on the window platform),
  // so that two runs of the suite at once never share one.
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("qvfw_") + (info ? info->test_suite_name() : "t") + "_" + (info ? info->name() : "x");
    for (char& c : name)
      if (c == '/') c = '_';
    path_ = MakeUnique(std::filesystem::temp_directory_path() / name);
  }
  static std::filesystem::path MakeUnique(const std::filesystem::path& prefix) {
#if defined(_WIN32)
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path p = prefix;
      p += "_" + std::to_string(random());
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) return p;
      if (ec) break;
    }
    throw std::runtime_error("cannot make a temporary folder");
#else
    std::string templ = prefix.string() + "_XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
    return templ;
#endif
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

// Sets (or, with nullptr, removes) an environment variable of the test process.
inline void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  ::_putenv_s(name, value ? value : "");
#else
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
#endif
}

}  // namespace qvfw::testing
