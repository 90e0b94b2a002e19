// The exchange-file reader: any bytes under the name are a block (exactly 4096 of them) or
// nothing; a block read back from the file it was written to is the same block.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzAbort.h"
#include "app/ExchangeFile.h"

using namespace qvfw;

namespace {
const std::filesystem::path& Folder() {
  static const std::filesystem::path dir = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "qvfw-fuzz-exchange-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    return std::filesystem::path(templ);
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path file = Folder() / app::kExchangeFileName;
  std::filesystem::remove(file);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  const auto block = app::ReadExchangeFile(Folder());
  FUZZ_CHECK(block.has_value() == (size == app::kExchangeBlockSize));
  if (!block) return 0;
  FUZZ_CHECK(block->Serial().size() <= app::kExchangeBlockSize - 516);
  (void)block->Vid();
  (void)block->Pid();
  FUZZ_CHECK(app::WriteExchangeFile(Folder(), *block));
  const auto again = app::ReadExchangeFile(Folder());
  FUZZ_CHECK(again && again->bytes == block->bytes);
  std::ifstream in(file, std::ios::binary);
  std::string raw{std::istreambuf_iterator<char>(in), {}};
  FUZZ_CHECK(raw == std::string(reinterpret_cast<const char*>(data), size));  // scrambling is its own inverse
  return 0;
}
