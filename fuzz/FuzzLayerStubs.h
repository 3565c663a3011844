// Stand-ins under and around a layer fed by a fuzzer: a bottom layer that
// takes every send, and a connection whose socket never changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DataStream.h"
#include "TransportLayer.h"

namespace corvane::fuzz {

class NullLayer : public ITransportLayer {
 public:
  int Send(IDataStream*, int) override { return 0; }
  int Receive(IDataStream**, ITransport::PostReceiveTask**) override { return 0; }
  int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
  int OnDisconnect() override { return 0; }
};

class NullConnection : public IResendConnection {
 public:
  uint64_t GetSocketGeneration() override { return 1; }
  void OnPartialSend() override {}
  int OnConnect(const UUID&, const UUID&, bool) override { return 0; }
};

// Feeds the input to layer.Receive as records separated by 0xFF bytes, each
// one frame; a task the layer hands out is run when runTasks is set. After
// each record, check() may trap.
template <class Check>
void FeedRecords(ITransportLayer& layer, const uint8_t* data, size_t size, bool runTasks, Check check) {
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
      if (runTasks) task->Run();
      task->Release();
    }
    check();
    start = i + 1;
  }
}

}  // namespace corvane::fuzz
