// The fragment layer's Receive over arbitrary pieces: pending bytes stay
// bounded and nothing crashes or reads past a short record.
#include <cstdint>
#include <memory>

#include "FuzzLayerStubs.h"

#include "FragmentLayer.h"

using namespace corvane;
using corvane::fuzz::NullLayer;
using corvane::fuzz::NullConnection;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullConnection connection;
  FragmentLayer layer(&connection, std::make_unique<NullLayer>());
  // Records separated by 0xFF bytes, each fed as one frame.
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0xFF) continue;
    IDataStream* s = nullptr;
    CreateDataStream(&s);
    s->Write(data + start, static_cast<uint32_t>(i - start));
    ITransport::PostReceiveTask* task = nullptr;
    layer.Receive(&s, &task);
    if (s) s->Release();
    if (task) task->Release();
    start = i + 1;
  }
  if (layer.PendingBytes() > FragmentLayer::kMaxPendingBytes) __builtin_trap();
  return 0;
}
