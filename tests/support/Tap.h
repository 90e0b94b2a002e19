#pragma once
// A pass-through between host and machine that keeps every request and can act just before a
// chosen one reaches the machine or just after it was answered.

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PassThrough.h"

namespace qvfw::testing {

struct TappedRequest {
  std::string path;
  std::vector<uint8_t> cdb;
  std::vector<uint8_t> dataOut;
  bool dataIn = false;
  uint32_t transferred = 0;  // bytes the answer carried (once answered)
  bool StartsWith(std::initializer_list<uint8_t> prefix) const {
    return cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), cdb.begin());
  }
};

class Tap final : public platform::PassThrough {
 public:
  explicit Tap(platform::PassThrough& inner) : inner_(inner) {}
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& r) override {
    TappedRequest t{std::string(path), std::vector<uint8_t>(r.cdb.begin(), r.cdb.end()), {}};
    t.dataIn = r.dataIn;
    if (!r.dataIn && r.data != nullptr) t.dataOut.assign(r.data, r.data + r.length);
    requests.push_back(std::move(t));
    if (before) before(requests.back());
    const platform::ScsiResult result = inner_.Execute(path, r);
    requests.back().transferred = result.transferred;
    if (after) after(requests.back());
    return result;
  }
  size_t Count(std::initializer_list<uint8_t> prefix) const {
    size_t n = 0;
    for (const auto& r : requests) n += r.StartsWith(prefix) ? 1 : 0;
    return n;
  }
  // The CDBs that begin with `prefix`, in order.
  std::vector<std::vector<uint8_t>> Starting(std::initializer_list<uint8_t> prefix) const {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : requests)
      if (r.StartsWith(prefix)) out.push_back(r.cdb);
    return out;
  }

  std::vector<TappedRequest> requests;
  std::function<void(const TappedRequest&)> before;  // just before the request reaches the machine
  std::function<void(const TappedRequest&)> after;   // once the machine has answered it

 private:
  platform::PassThrough& inner_;
};

}  // namespace qvfw::testing
