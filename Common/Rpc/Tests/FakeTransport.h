// An in-process stand-in for a message transport, for tests and benchmarks
// of its users. Transports made with a port "listen" in a process-wide table;
// OpenConnection on another one links the two under one connection id, and
// the listener is told Connected. A Write copies the frame and hands it to
// the peer's delivery thread, which calls every receiver's OnDataReady in
// order; events travel the same way. Each transport owns and joins its
// delivery thread, wherever its last reference is released.
//
// Controls the real transport lacks: whether a connection reports itself
// ready for writing, and holding every Write until released.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ITransport.h"

namespace corvane::test {

class FakeTransport final : public ITransportFastWrite, public IRefCountImpl {
 public:
  // port 0: opens connections only. Ready for use at once.
  explicit FakeTransport(uint16_t port);
  ~FakeTransport() override;

  // A port no fake transport listens on.
  static uint16_t FreePort();

  // What ConnectionReadyForWrite answers for the connection (initially true).
  void SetWritable(const UUID& connectionId, bool writable);
  // While held, Write blocks (up to 10 s, then Result_WriteTimeout).
  void HoldWrites(bool hold);
  int HeldWriters();
  int HeldWriters(const UUID& connectionId);
  // Lets one write held on the connection go on; the others stay held. It
  // no longer counts as held when this returns.
  void ReleaseHeldWrite(const UUID& connectionId);
  uint64_t FramesWritten();

  int SetDataHook(IDataHook*) override { return Result_Ok; }
  int Initialize(bool, bool) override { return Result_Ok; }
  int SetEnabled(bool) override { return Result_Ok; }
  int ReleaseListenerPort() override { return Result_Ok; }
  int ChangeListenerPort(uint16_t) override { return Result_NotImplemented; }
  int SetConnectionSocketDscp(const UUID&, int) override { return Result_Ok; }
  int Finalize() override;
  int SetEncryptionEnabled(bool) override { return Result_Ok; }
  int UpdateEncryptionStruct(const EncryptionStruct&) override { return Result_Ok; }
  int AddNotify(ITransportNotify* receiver) override;
  int SetKeepAlive(const UUID&, int, int) override { return Result_Ok; }
  int SetIdleConnectionPurgeEnabled(bool) override { return Result_Ok; }
  int SetWriteTimeout(int) override { return Result_Ok; }
  int RemoveNotify(ITransportNotify* receiver) override;
  int SetConnectionOptions(int32_t, int32_t) override { return Result_Ok; }
  int OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) override;
  int CloseConnection(const UUID& connectionId) override;
  int CloseAllConnections() override;
  int GetPeerIpv4(const UUID&, uint32_t* ipv4, uint16_t* port) override;
  int GetLocalIpv4(const UUID&, uint32_t* ipv4) override;
  int BeginWrite() override { return Result_Ok; }
  int EndWrite() override { return Result_Ok; }
  int ConnectionReadyForWrite(const UUID& connectionId, bool* ready) override;
  int Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) override;
  int WriteText(const UUID&, IDataStream*) override { return Result_NotImplemented; }
  int WriteTextSynchronous(const UUID&, IDataStream*) override { return Result_NotImplemented; }
  int GetStatistics(int* connectionCount) override;
  int GetHostByName(const std::string&, uint32_t* ipv4) override;
  int SetFlowControlMode() override { return Result_Fail; }
  int SetResendMode() override { return Result_Fail; }
  int CreateWriter(const UUID& connectionId, IWriter** writer) override;

 private:
  struct Item {
    UUID connectionId;
    UUID messageType;
    std::vector<uint8_t> bytes;
    int event = -1;  // -1: a message
  };
  struct Link {
    FakeTransport* peer;  // guarded by the process-wide table lock
    bool writable = true;
  };

  void Enqueue(Item item);
  void Run();
  void Unlink(const UUID& connectionId);

  const uint16_t port_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  bool hold_ = false;
  int heldWriters_ = 0;
  std::map<UUID, int> heldOn_;
  // Writes let go one at a time, not yet taken by a held writer.
  std::map<UUID, int> releasedOn_;
  uint64_t framesWritten_ = 0;
  std::map<UUID, Link> links_;  // guarded by the table lock
  std::mutex notifyMutex_;
  std::vector<ITransportNotify*> receivers_;
  std::thread thread_;
};

// The transport a test suite of a transport's users runs over. makeServer
// gives a listening transport and its port; makeClient a transport that
// opens connections to 127.0.0.1. The controls are null where a transport
// has no such switch (tests that need them skip).
struct TransportFactory {
  std::string name;
  std::function<RefPtr<ITransport>(uint16_t* port)> makeServer;
  std::function<RefPtr<ITransport>()> makeClient;
  std::function<void(ITransport*, const UUID&, bool)> setWritable;
  std::function<void(ITransport*, bool)> holdWrites;
  std::function<int(ITransport*)> heldWriters;
  std::function<int(ITransport*, const UUID&)> heldWritersOn;
  std::function<void(ITransport*, const UUID&)> releaseHeldWrite;
};

TransportFactory FakeTransportFactory();
// The real binary transport over loopback, without the test controls
// (defined in PlainTransportFactory.cpp).
TransportFactory PlainTransportFactory();

}  // namespace corvane::test
