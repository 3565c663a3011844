#include "FakeTransport.h"

#include <chrono>

#include "DeletionThread.h"

namespace corvane::test {

namespace {

// Listening fakes by port, and every link between two fakes. Never
// destroyed: a fake handed to the deletion thread may go after main returns.
std::mutex& TableLock() {
  static auto* const lock = new std::mutex();
  return *lock;
}
std::map<uint16_t, FakeTransport*>& Listeners() {
  static auto* const listeners = new std::map<uint16_t, FakeTransport*>();
  return *listeners;
}

void ReleaseOffThread(IRefCount* object) {
  // The last reference may be the receiver's; its destruction must not run
  // on this delivery thread, which it could otherwise end up joining.
  if (object->DecrementRef() == 0) DeleteOnDeletionThread(object);
}

class FakeWriter final : public ITransportFastWrite::IWriter, public IRefCountImpl {
 public:
  FakeWriter(FakeTransport* transport, const UUID& connectionId) : transport_(transport, true), id_(connectionId) {}
  void Reserved() override {}
  int Write(const UUID& messageType, IDataStream* body) override { return transport_->Write(id_, messageType, body); }

 private:
  RefPtr<FakeTransport> transport_;
  UUID id_;
};

}  // namespace

FakeTransport::FakeTransport(uint16_t port) : port_(port) {
  if (port_ != 0) {
    std::lock_guard<std::mutex> lock(TableLock());
    Listeners()[port_] = this;
  }
  thread_ = std::thread([this] { Run(); });
}

FakeTransport::~FakeTransport() {
  Finalize();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

uint16_t FakeTransport::FreePort() {
  static std::atomic<uint16_t> next{40000};
  std::lock_guard<std::mutex> lock(TableLock());
  uint16_t port;
  do {
    port = next.fetch_add(1);
  } while (port == 0 || Listeners().count(port));
  return port;
}

int FakeTransport::Finalize() {
  {
    std::lock_guard<std::mutex> lock(TableLock());
    if (port_ != 0) {
      auto it = Listeners().find(port_);
      if (it != Listeners().end() && it->second == this) Listeners().erase(it);
    }
  }
  CloseAllConnections();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
  }
  wake_.notify_all();
  return Result_Ok;
}

void FakeTransport::SetWritable(const UUID& connectionId, bool writable) {
  std::lock_guard<std::mutex> lock(TableLock());
  auto it = links_.find(connectionId);
  if (it != links_.end()) it->second.writable = writable;
}

void FakeTransport::HoldWrites(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
  }
  wake_.notify_all();
}

int FakeTransport::HeldWriters() {
  std::lock_guard<std::mutex> lock(mutex_);
  return heldWriters_;
}

int FakeTransport::HeldWriters(const UUID& connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = heldOn_.find(connectionId);
  return it == heldOn_.end() ? 0 : it->second;
}

void FakeTransport::ReleaseHeldWrite(const UUID& connectionId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = heldOn_.find(connectionId);
    if (it == heldOn_.end() || it->second == 0) return;
    --it->second;
    --heldWriters_;
    ++releasedOn_[connectionId];
  }
  wake_.notify_all();
}

uint64_t FakeTransport::FramesWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  return framesWritten_;
}

int FakeTransport::AddNotify(ITransportNotify* receiver) {
  if (!receiver) return Result_InvalidPointer;
  std::lock_guard<std::mutex> lock(notifyMutex_);
  for (auto* r : receivers_) {
    if (r == receiver) return Result_Ok;
  }
  receivers_.push_back(receiver);
  return Result_Ok;
}

int FakeTransport::RemoveNotify(ITransportNotify* receiver) {
  std::lock_guard<std::mutex> lock(notifyMutex_);
  std::erase(receivers_, receiver);
  return Result_Ok;
}

int FakeTransport::OpenConnection(uint32_t /*ipv4*/, uint16_t port, UUID* connectionId, int /*timeoutMs*/) {
  if (!connectionId) return Result_InvalidPointer;
  UUID id;
  id.Generate();
  {
    std::lock_guard<std::mutex> lock(TableLock());
    auto it = Listeners().find(port);
    if (it == Listeners().end()) return Result_ConnectionLost;
    links_[id] = Link{it->second};
    it->second->links_[id] = Link{this};
    it->second->Enqueue(Item{id, UUID(), {}, TransportEvent_Connected});
  }
  *connectionId = id;
  return Result_Ok;
}

void FakeTransport::Unlink(const UUID& id) {
  // Called with the table lock held. A copy: the caller's id may be the key
  // erased below.
  const UUID connectionId = id;
  auto it = links_.find(connectionId);
  if (it == links_.end()) return;
  FakeTransport* peer = it->second.peer;
  links_.erase(it);
  Enqueue(Item{connectionId, UUID(), {}, TransportEvent_Disconnected});
  if (peer && peer->links_.erase(connectionId)) {
    peer->Enqueue(Item{connectionId, UUID(), {}, TransportEvent_Disconnected});
  }
}

int FakeTransport::CloseConnection(const UUID& connectionId) {
  std::lock_guard<std::mutex> lock(TableLock());
  if (!links_.count(connectionId)) return Result_ConnectionNotFound;
  Unlink(connectionId);
  return Result_Ok;
}

int FakeTransport::CloseAllConnections() {
  std::lock_guard<std::mutex> lock(TableLock());
  while (!links_.empty()) Unlink(links_.begin()->first);
  return Result_Ok;
}

int FakeTransport::GetPeerIpv4(const UUID&, uint32_t* ipv4, uint16_t* port) {
  if (!ipv4) return Result_InvalidPointer;
  *ipv4 = 0x7F000001;
  if (port) *port = port_;
  return Result_Ok;
}

int FakeTransport::GetLocalIpv4(const UUID&, uint32_t* ipv4) {
  if (!ipv4) return Result_InvalidPointer;
  *ipv4 = 0x7F000001;
  return Result_Ok;
}

int FakeTransport::GetHostByName(const std::string&, uint32_t* ipv4) {
  if (!ipv4) return Result_InvalidPointer;
  *ipv4 = 0x7F000001;
  return Result_Ok;
}

int FakeTransport::GetStatistics(int* connectionCount) {
  if (!connectionCount) return Result_InvalidPointer;
  std::lock_guard<std::mutex> lock(TableLock());
  *connectionCount = static_cast<int>(links_.size());
  return Result_Ok;
}

int FakeTransport::ConnectionReadyForWrite(const UUID& connectionId, bool* ready) {
  if (!ready) return Result_InvalidPointer;
  std::lock_guard<std::mutex> lock(TableLock());
  auto it = links_.find(connectionId);
  if (it == links_.end()) return Result_ConnectionNotFound;
  *ready = it->second.writable;
  return Result_Ok;
}

int FakeTransport::CreateWriter(const UUID& connectionId, IWriter** writer) {
  if (!writer) return Result_InvalidPointer;
  std::lock_guard<std::mutex> lock(TableLock());
  if (!links_.count(connectionId)) return Result_ConnectionNotFound;
  *writer = new FakeWriter(this, connectionId);
  return Result_Ok;
}

int FakeTransport::Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) {
  if (!body) return Result_InvalidPointer;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (hold_) {
      ++heldWriters_;
      ++heldOn_[connectionId];
      int& releasedOne = releasedOn_[connectionId];
      const bool released = wake_.wait_for(lock, std::chrono::seconds(10),
                                           [&] { return !hold_ || stopping_ || releasedOne > 0; });
      if (releasedOne > 0) {
        // ReleaseHeldWrite has taken it off the counts already.
        --releasedOne;
      } else {
        --heldWriters_;
        --heldOn_[connectionId];
      }
      if (!released) return Result_WriteTimeout;
    }
  }
  // The frame's bytes as the far end will read them, whatever the body's
  // own read position.
  IDataStream* whole = nullptr;
  if (ConcatenateDataStreams(std::vector<IDataStream*>{body}, &whole) < 0) return Result_InvalidArgument;
  RefPtr<IDataStream> view(whole, false);
  uint32_t size = 0;
  view->GetSize(&size);
  std::vector<uint8_t> bytes(size);
  if (size > 0 && view->Read(bytes.data(), size) < 0) return Result_Fail;

  std::lock_guard<std::mutex> lock(TableLock());
  auto it = links_.find(connectionId);
  if (it == links_.end()) return Result_ConnectionNotFound;
  it->second.peer->Enqueue(Item{connectionId, messageType, std::move(bytes), -1});
  std::lock_guard<std::mutex> counter(mutex_);
  ++framesWritten_;
  return Result_Ok;
}

void FakeTransport::Enqueue(Item item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(item));
  }
  wake_.notify_all();
}

void FakeTransport::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    // Held through the delivery and let go off this thread: a receiver may
    // drop what became the last reference (the RPC endpoint answers through
    // a reference of its own), and the destructor joins this thread. Not
    // held once the destructor runs elsewhere: it waits for this thread.
    const bool held = TryAddRef() != 0;
    std::vector<ITransportNotify*> alive;
    {
      std::lock_guard<std::mutex> lock(notifyMutex_);
      for (auto* r : receivers_) {
        // A receiver being destroyed is skipped.
        if (r->TryAddRef() != 0) alive.push_back(r);
      }
    }
    for (auto* r : alive) {
      if (item.event >= 0) {
        r->OnEvent(item.connectionId, item.event);
      } else {
        IDataStream* raw = nullptr;
        CreateDataStream(&raw);
        RefPtr<IDataStream> data(raw, false);
        if (!item.bytes.empty()) data->Write(item.bytes.data(), static_cast<uint32_t>(item.bytes.size()));
        r->OnDataReady(item.connectionId, item.messageType, data.Get());
      }
      ReleaseOffThread(r);
    }
    if (held) ReleaseOffThread(this);
  }
}

TransportFactory FakeTransportFactory() {
  TransportFactory f;
  f.name = "Fake";
  f.makeServer = [](uint16_t* port) {
    *port = FakeTransport::FreePort();
    return RefPtr<ITransport>(new FakeTransport(*port), false);
  };
  f.makeClient = [] { return RefPtr<ITransport>(new FakeTransport(0), false); };
  f.setWritable = [](ITransport* t, const UUID& id, bool writable) {
    static_cast<FakeTransport*>(t)->SetWritable(id, writable);
  };
  f.holdWrites = [](ITransport* t, bool hold) { static_cast<FakeTransport*>(t)->HoldWrites(hold); };
  f.heldWriters = [](ITransport* t) { return static_cast<FakeTransport*>(t)->HeldWriters(); };
  f.heldWritersOn = [](ITransport* t, const UUID& id) { return static_cast<FakeTransport*>(t)->HeldWriters(id); };
  f.releaseHeldWrite = [](ITransport* t, const UUID& id) { static_cast<FakeTransport*>(t)->ReleaseHeldWrite(id); };
  return f;
}

}  // namespace corvane::test
