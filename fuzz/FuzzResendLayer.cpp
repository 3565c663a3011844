// The resend layer's Receive over arbitrary records: every record is either
// consumed or passed up, acknowledgements never pop what was not queued, and
// nothing crashes or reads past a short record.
#include <cstdint>
#include <memory>

#include "FuzzLayerStubs.h"

#include "ResendLayer.h"

using namespace corvane;
using corvane::fuzz::NullLayer;
using corvane::fuzz::NullConnection;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullConnection connection;
  ResendLayer layer(&connection, std::make_unique<NullLayer>());
  IDataStream* body = nullptr;
  CreateDataStream(&body);
  body->Write("x", 1);
  for (int n = 0; n < 3; ++n) layer.Send(body, 1000);
  body->Release();
  corvane::fuzz::FeedRecords(layer, data, size, false, [] {});
  if (layer.QueuedRecords() > 3) __builtin_trap();
  return 0;
}
