#pragma once
// A pass-through backend for tests: records every request as it reached the OS boundary and
// answers through a replaceable responder.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/PassThrough.h"

namespace qvfw::testing {

struct RecordedRequest {
  std::string path;
  std::vector<uint8_t> cdb;
  bool dataIn = true;
  bool hasData = false;          // a data pointer was passed
  uint32_t length = 0;
  uint32_t timeoutSeconds = 0;
  bool exclusive = false;
  uint32_t senseLength = 0;
  std::vector<uint8_t> dataOut;  // the bytes a data-out request carried
};

// What a responder decides for one request. `reply` is copied into a data-in area (only as many
// bytes as fit), `sense` into the sense area when one was given.
struct Reply {
  platform::ScsiResult result;
  std::vector<uint8_t> reply;
  std::vector<uint8_t> sense;
};

Reply Good(std::vector<uint8_t> data = {});
Reply CheckCondition(std::vector<uint8_t> sense);
Reply NotOpened();

class RecordingPassThrough final : public platform::PassThrough {
 public:
  using Responder = std::function<Reply(const RecordedRequest&)>;
  RecordingPassThrough() : responder_([](const RecordedRequest&) { return Good(); }) {}

  void SetResponder(Responder r) { responder_ = std::move(r); }
  platform::ScsiResult Execute(std::string_view path, const platform::ScsiRequest& request) override;

  std::vector<RecordedRequest> requests;

 private:
  Responder responder_;
};

}  // namespace qvfw::testing
