#include "support/RecordingPassThrough.h"

#include <algorithm>
#include <cstring>

namespace qvfw::testing {

Reply Good(std::vector<uint8_t> data) {
  Reply r;
  r.result.opened = true;
  r.result.ioctlOk = true;
  r.result.transferred = static_cast<uint32_t>(data.size());
  r.reply = std::move(data);
  return r;
}

Reply CheckCondition(std::vector<uint8_t> sense) {
  Reply r;
  r.result.opened = true;
  r.result.ioctlOk = true;
  r.result.scsiStatus = 0x02;
  r.sense = std::move(sense);
  return r;
}

Reply NotOpened() { return Reply{}; }

platform::ScsiResult RecordingPassThrough::Execute(std::string_view path, const platform::ScsiRequest& request) {
  RecordedRequest rec;
  rec.path = std::string(path);
  rec.cdb.assign(request.cdb.begin(), request.cdb.end());
  rec.dataIn = request.dataIn;
  rec.hasData = request.data != nullptr;
  rec.length = request.length;
  rec.timeoutSeconds = request.timeoutSeconds;
  rec.exclusive = request.exclusive;
  rec.senseLength = request.senseLength;
  if (!request.dataIn && request.data && request.length) rec.dataOut.assign(request.data, request.data + request.length);
  requests.push_back(rec);

  Reply r = responder_(requests.back());
  if (!r.result.opened) return r.result;
  if (request.dataIn && request.data) {
    std::memset(request.data, 0, request.length);
    std::copy_n(r.reply.begin(), std::min<size_t>(r.reply.size(), request.length), request.data);
  }
  if (request.sense && !r.sense.empty()) {
    const size_t n = std::min<size_t>(r.sense.size(), request.senseLength);
    std::copy_n(r.sense.begin(), n, request.sense);
    r.result.senseValid = static_cast<uint32_t>(n);
  }
  return r.result;
}

}  // namespace qvfw::testing
