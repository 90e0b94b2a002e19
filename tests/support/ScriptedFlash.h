#pragma once
// A scripted serial flash behind a recording pass-through: answers id reads by opcode, through
// either route (SpiCommand {01 01 op} then SpiReadData, or ReadFlashId3/4 with the opcode in CDB
// byte 4). An opcode without an answer fails with CHECK CONDITION.

#include <map>
#include <vector>

#include "support/RecordingPassThrough.h"

namespace qvfw::testing {

struct IdFlash {
  explicit IdFlash(std::map<uint8_t, std::vector<uint8_t>> a = {}) : answers(std::move(a)) {}

  std::map<uint8_t, std::vector<uint8_t>> answers;
  uint8_t pending = 0;
  std::vector<uint8_t> asked;

  Reply operator()(const RecordedRequest& r) {
    const bool spiCommand = r.cdb[0] == 0xFF && r.cdb[2] == 0x20;
    if (spiCommand) {
      pending = r.cdb[5];
      return Good();
    }
    uint8_t op = 0;
    if (r.cdb[0] == 0xFF && r.cdb[2] == 0x21) op = pending;
    else if (r.cdb[0] == 0xFF && r.cdb[2] == 0x15) op = r.cdb[4];
    else return Good();
    asked.push_back(op);
    auto it = answers.find(op);
    if (it == answers.end()) return CheckCondition({0x70, 0, 0x05});
    return Good(it->second);
  }
};

}  // namespace qvfw::testing
