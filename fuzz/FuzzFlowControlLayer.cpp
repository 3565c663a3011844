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
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    IDataStream* s = nullptr;
    CreateDataStream(&s);
    s->Write(data + start, static_cast<uint32_t>(i - start));
    ITransport::PostReceiveTask* task = nullptr;
    layer.Receive(&s, &task);
    if (s) s->Release();
    if (task) {
      task->Run();
      task->Release();
    }
    if (fc->Window() < FlowControl::kMinWindow || fc->Unacknowledged() < 0) __builtin_trap();
    start = i + 1;
  }
  monitor->Exit();
  return 0;
}
