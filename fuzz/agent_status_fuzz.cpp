// Feeds arbitrary bytes to the agent status evaluation, as if a damaged or foreign
// "agent-status.json" lay in the state directory. It must never throw, and must always answer an
// object whose "running" is a boolean.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/agent_status.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  vek::JSON status = vek::AgentStatus::evaluate(input, vek::AgentStatus::now());
  if (!status.isObject() || !status["running"].isBool()) std::abort();
  (void)status.data();
  return 0;
}
