#pragma once
// A fault at every command of an operation: the operation runs once cleanly (it must succeed) to
// count its commands, then once per command index on a fresh bench with the fault at that command.
//
// Long operations (thousands of commands, each run costing up to all of them) may be sampled with
// `stride` above 1: every command of the first and last 16, every command within 2 of a change of
// phase (a command whose opcode none of the 4 before it had), and every stride-th one elsewhere.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/Outcome.h"
#include "sim/Machine.h"

namespace qvfw::testing {

struct CampaignFigures {
  uint64_t commands = 0;  // of the clean run
  uint64_t faulted = 0;   // runs with a fault
};

// `make()` returns a fresh bench (with `machine` and `tap`; disk 0 the device); `run(bench)` runs
// the operation and returns its outcome; `check(bench, outcome, index)` judges a faulted run.
template <class Make, class Run, class Check>
CampaignFigures FaultAtEveryCommand(sim::Fault::Kind kind, Make make, Run run, Check check, uint64_t stride = 1) {
  CampaignFigures figures;
  std::vector<uint8_t> ops;
  {
    auto clean = make();
    const uint64_t start = clean->machine.CommandCount(0);
    const size_t first = clean->tap.requests.size();
    const auto outcome = run(*clean);
    figures.commands = clean->machine.CommandCount(0) - start;
    if (outcome.outcome.code != app::OutcomeCode::Success) {
      ADD_FAILURE() << "the clean run: " << outcome.outcome.statusText << " / " << outcome.outcome.reason;
      return figures;  // nothing to measure the faulted runs against
    }
    for (size_t i = first; i < clean->tap.requests.size(); ++i) ops.push_back(clean->tap.requests[i].cdb.at(0));
  }
  std::vector<bool> pick(figures.commands, stride <= 1);
  for (uint64_t i = 0; i < figures.commands; ++i) {
    if (i < 16 || i + 16 >= figures.commands || i % stride == 0) pick[i] = true;
    const bool change = i < ops.size() && std::none_of(ops.begin() + static_cast<long>(i >= 4 ? i - 4 : 0),
                                                       ops.begin() + static_cast<long>(i),
                                                       [&](uint8_t op) { return op == ops[i]; });
    if (change)
      for (uint64_t k = i >= 2 ? i - 2 : 0; k <= i + 2 && k < figures.commands; ++k) pick[k] = true;
  }
  for (uint64_t i = 0; i < figures.commands; ++i) {
    if (!pick[i]) continue;
    auto bench = make();
    sim::Fault fault;
    fault.kind = kind;
    fault.atCommand = bench->machine.CommandCount(0) + i;
    bench->machine.AddFault(0, fault);
    const auto outcome = run(*bench);
    ++figures.faulted;
    check(*bench, outcome, i);
    if (::testing::Test::HasFatalFailure()) break;
  }
  return figures;
}

}  // namespace qvfw::testing
