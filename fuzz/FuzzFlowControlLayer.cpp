// The flow-control layer's Receive over arbitrary records, with extreme
// acknowledgement fields: no overflow, the window stays at or above its
// floor, the unacknowledged count never goes negative, acknowledgement tasks
// run cleanly.
#include <cstdint>
#include <memory>

#include "FuzzLayerStubs.h"

#include "FlowControlLayer.h"
#include "Scheduler.h"

using namespace corvane;
using corvane::fuzz::NullLayer;
using corvane::fuzz::NullConnection;

namespace {

class Connection : public NullConnection, public IRefCountImpl {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scheduler::Monitor* monitor = GetDefaultScheduler()->CreateMonitor();
  Connection connection;
  auto factory = std::make_shared<FlowControl::MyFactory>(monitor, GetSystemLayerClock());
  auto flowControl = factory->Create();
  auto* fc = static_cast<FlowControl*>(flowControl.get());
  FlowControlLayer layer(&connection, &connection, &connection, 0, 0, std::move(flowControl),
                         std::make_unique<NullLayer>(), GetSystemLayerClock());
  monitor->Enter();
  fc->OnWrite(4107, 0);
  corvane::fuzz::FeedRecords(layer, data, size, true, [&] {
    if (fc->Window() < FlowControl::kMinWindow || fc->Unacknowledged() < 0) __builtin_trap();
  });
  monitor->Exit();
  return 0;
}
