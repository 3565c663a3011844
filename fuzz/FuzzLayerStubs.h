// Stand-ins under and around a layer fed by a fuzzer: a bottom layer that
// takes every send, and a connection whose socket never changes.
#pragma once

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

}  // namespace corvane::fuzz
