// The configuration text: tokens, the key lookup with its capacity, the decimal conversion.
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzAbort.h"
#include "app/Configuration.h"

using namespace qvfw::app;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto tokens = Tokenize(text);
  for (std::string_view t : tokens) {
    FUZZ_CHECK(!t.empty());
    FUZZ_CHECK(t.data() >= text.data() && t.data() + t.size() <= text.data() + text.size());
    FUZZ_CHECK(t.find_first_of(std::string_view(" =,\t\n\r\0", 7)) == std::string_view::npos);
  }
  const std::string value = LookupKey(text, "ChipReset", "0", 8);
  FUZZ_CHECK(value.size() < 8);
  bool found = value == "0";
  for (std::string_view t : tokens) found = found || t == value;
  FUZZ_CHECK(found);  // the value is a token of the text or the default
  const int32_t n = DecimalValue(text);
  FUZZ_CHECK(n >= INT32_MIN && n <= INT32_MAX);
  if (!tokens.empty()) DecimalValue(tokens.front());
  return 0;
}
