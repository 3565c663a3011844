// Pieces shared by the RPC suites: streams from bytes and back, a receiver
// that records every RPC frame a transport delivers, and a stub that records
// its calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeTransport.h"
#include "IRpc.h"
#include "Logger.h"
#include "TestWait.h"

namespace corvane::test {

using Bytes = std::vector<uint8_t>;

inline RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
  IDataStream* raw = nullptr;
  CreateDataStream(&raw);
  RefPtr<IDataStream> s(raw, false);
  if (!bytes.empty()) s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return s;
}

// Every byte of the stream, whatever its read position.
inline Bytes BytesOf(IDataStream* stream) {
  IDataStream* raw = nullptr;
  if (ConcatenateDataStreams(std::vector<IDataStream*>{stream}, &raw) < 0) return {};
  RefPtr<IDataStream> view(raw, false);
  uint32_t size = 0;
  view->GetSize(&size);
  Bytes out(size);
  if (size) view->Read(out.data(), size);
  return out;
}

inline Bytes WireOf(const UUID& id) {
  RefPtr<IDataStream> s = StreamOf({});
  id.Serialize(s.Get());
  return BytesOf(s.Get());
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A new endpoint, attached to transport when one is given.
inline RefPtr<IRpc> NewRpc(ITransport* transport) {
  IRpc* raw = nullptr;
  EXPECT_EQ(CreateRpc(&raw), 0);
  RefPtr<IRpc> rpc(raw, false);
  if (transport) {
    EXPECT_EQ(rpc->SetTransport(transport, 0), 0);
  }
  return rpc;
}

struct Frame {
  UUID connectionId;
  Bytes bytes;
};

// Records the RPC frames and connection events a transport delivers.
class FrameRecorder final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) override {
    if (messageType != RpcChannelType) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back({connectionId, BytesOf(data)});
    return 0;
  }
  int OnEvent(const UUID& connectionId, int event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event == TransportEvent_Connected) connected_.push_back(connectionId);
    return 0;
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }
  std::vector<UUID> Connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
  }

 private:
  std::mutex mutex_;
  std::vector<Frame> frames_;
  std::vector<UUID> connected_;
};

// The log mask and level for a scope: every level, Spew up to verbosity 3.
class VerboseLogging {
 public:
  VerboseLogging() {
    GetLoggerInstance()->GetMask(&mask_);
    GetLoggerInstance()->GetLevel(&level_);
    GetLoggerInstance()->SetMask(Log_All);
    GetLoggerInstance()->SetLevel(3);
  }
  ~VerboseLogging() {
    GetLoggerInstance()->SetMask(mask_);
    GetLoggerInstance()->SetLevel(level_);
  }

 private:
  uint32_t mask_ = 0;
  uint32_t level_ = 0;
};

}  // namespace corvane::test
