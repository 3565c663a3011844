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
  corvane::fuzz::FeedRecords(layer, data, size, false, [] {});
  if (layer.PendingBytes() > FragmentLayer::kMaxPendingBytes) __builtin_trap();
  return 0;
}
