#include "TransportConnectionManager.h"

#include <algorithm>
#include <map>
#include <vector>

#include "CrashLog.h"
#include "Locks.h"
#include "Logger.h"
#include "Result.h"
#include "TransportConnection.h"
#include "TransportDeferredRelease.h"

namespace corvane {

using Manager = NetworkTransportImpl::ConnectionManager;
using Connection = NetworkTransportImpl::Connection;

namespace {

// A waiting caller's answer: set once by the manager's thread (or by the
// shutdown that refuses the request).
struct Reply {
  explicit Reply(int failure) : result(failure) {}
  std::unique_ptr<Scheduler::Event> done{GetDefaultScheduler()->CreateEvent(true, false)};
  int result;
};

}  // namespace

Manager::ConnectionManager()
    : writeTimeout_(std::make_shared<std::atomic<uint32_t>>(kDefaultWriteTimeoutMs)),
      lastPurgePass_(static_cast<uint64_t>(CurrentUtcTimeMs())) {}

Manager::~ConnectionManager() {
  CRASH_LOG_GUARD_NOTHROW("corvane::NetworkTransportImpl::ConnectionManager::~ConnectionManager", [&] {
    LOG_SPEW(3, "ConnectionManager - Destructor - BEGIN");
    Shutdown();
    LOG_SPEW(3, "ConnectionManager - Destructor - END");
  });
}

int Manager::Release() {
  const int count = DecrementRef();
  if (count == 0) DeleteOnDeletionThread(this);
  return count;
}

int Manager::Initialize() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::Initialize", [&] {
    SetName("xport-manager");
    Start(kInfinite);
    return static_cast<int>(IsRunning() ? Result_Ok : Result_Fail);
  });
}

void Manager::Shutdown() {
  std::deque<Task> refused;
  {
    CheckedLock lock(queueLock_);
    if (closing_ && connections_.empty()) return;
    closing_ = true;
    refused.swap(queue_);
  }
  for (Task& task : refused) task(false);
  if (IsCurrentThread(GetSchedulerThread())) {
    GetSchedulerThread()->RequestStop();
  } else {
    Stop();
  }
  // The thread has ended (or this is it), so the map is ours now.
  std::map<UUID, RefPtr<Connection>> held;
  held.swap(connections_);
  connectionCount_.store(0);
  for (auto& entry : held) {
    entry.second->DetachManager();
    entry.second->CloseSocket(false);
  }
  held.clear();
  CheckedLock lock(writeStatusLock_);
  writeStatus_.clear();
}

bool Manager::Post(Task task, bool wake) {
  {
    CheckedLock lock(queueLock_);
    if (!closing_) {
      queue_.push_back(std::move(task));
      task = nullptr;
    }
  }
  if (task) {
    task(false);
    return false;
  }
  if (wake) Wake();
  return true;
}

bool Manager::PostBatched(Task task) {
  if (!Post(std::move(task), false)) return false;
  // Counted only once queued: the manager clears the count before it
  // drains, so a task that missed the drain is still counted and WakeIfDue
  // wakes for it. Counted first, a clear falling between count and push
  // left the task queued with nothing counted, unrun until the next request.
  if (batched_.fetch_add(1) == 0) batchedSince_.store(static_cast<uint64_t>(CurrentUtcTimeMs()));
  if (batched_.load() >= kBatchSize) Wake();
  return true;
}

void Manager::PostRemoval(Task task, bool batched) {
  if (batched) {
    PostBatched(std::move(task));
  } else {
    Post(std::move(task));
  }
}

int Manager::Call(const std::function<int()>& fn, int failure) {
  if (IsCurrentThread(GetSchedulerThread())) return fn();
  auto reply = std::make_shared<Reply>(failure);
  Post([reply, fn](bool run) {
    if (run) reply->result = fn();
    reply->done->Set();
  });
  // Answered by the manager's thread or refused by Shutdown; the event's
  // set/wait pair orders the result.
  reply->done->Wait(kInfinite);
  return reply->result;
}

void Manager::ProcessQueue() {
  for (;;) {
    Task task;
    {
      CheckedLock lock(queueLock_);
      if (queue_.empty() || closing_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task(true);
  }
}

bool Manager::ThreadFunc() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::ThreadFunc", [&] {
    if (TryAddRef() <= 0) return false;
    // Whatever is batched now runs in the drain below.
    batched_.store(0);
    ProcessQueue();
    const uint64_t now = static_cast<uint64_t>(CurrentUtcTimeMs());
    if (purgeEnabled_.load() && now - lastPurgePass_.load() > purgePeriodMs_.load()) {
      PurgePass();
      lastPurgePass_.store(static_cast<uint64_t>(CurrentUtcTimeMs()));
    }
    Release();
    return false;
  });
}

void Manager::PurgePass() {
  std::vector<RefPtr<Connection>> snapshot;
  for (auto& entry : connections_) snapshot.push_back(entry.second);
  const uint64_t idleMs = purgeIdleMs_.load();
  // Each purged connection queues its own removal, which runs after the pass.
  for (auto& connection : snapshot) connection->PurgeIfIdle(idleMs);
}

void Manager::WakeIfDue() {
  const uint64_t now = static_cast<uint64_t>(CurrentUtcTimeMs());
  const bool purgeDue = purgeEnabled_.load() && now - lastPurgePass_.load() > purgePeriodMs_.load();
  const bool batchDue = batched_.load() > 0 && now - batchedSince_.load() >= kBatchDelayMs;
  if (purgeDue || batchDue) Wake();
}

bool Manager::ConnectionToFreeSlot(UUID* connectionId) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::ConnectionToFreeSlot", [&] {
    UUID found;
    const int result = Call(
        [this, &found]() -> int {
          // Only the addresses holding the most slots give one up: a peer that
          // keeps coming back as soon as it is closed would otherwise make
          // every other peer's connection the one to go within a few of its
          // own arrivals.
          std::map<uint32_t, int> held;
          int most = 0;
          for (auto& entry : connections_) {
            if (entry.second->IsOpen()) most = std::max(most, ++held[entry.second->PeerAddress()]);
          }
          // (used, since): never used sorts first, by its making; the rest
          // by their last use. A churning peer's connections are all unused
          // and go oldest first, however fresh their keep-alive frames.
          const Connection* chosen = nullptr;
          std::pair<bool, uint64_t> chosenKey;
          for (auto& entry : connections_) {
            const Connection* c = entry.second.Get();
            if (!c->IsOpen() || held[c->PeerAddress()] != most) continue;
            const uint64_t used = c->LastUseTime();
            const std::pair<bool, uint64_t> key(used != 0, used != 0 ? used : c->CreatedAt());
            if (!chosen || key < chosenKey) {
              chosen = c;
              chosenKey = key;
            }
          }
          if (!chosen) return Result_Fail;
          found = chosen->Id();
          return Result_Ok;
        },
        Result_Fail);
    if (Failed(result)) return false;
    *connectionId = found;
    return true;
  });
}

bool Manager::CloseToFreeSlot(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::CloseToFreeSlot", [&] {
    return Call(
               [this, connectionId]() -> int {
                 // Counted here, between adds: the listener's own count may
                 // hold an add twice for a moment, or be a pass old, and a
                 // slot that has come free needs nobody closed.
                 if (ListenerCount() < NetworkTransportImpl::MAX_CONNECTION_COUNT) return 1;
                 RefPtr<Connection> connection = Find(connectionId);
                 if (!connection) return 0;
                 const uint64_t silentMs =
                     static_cast<uint64_t>(CurrentUtcTimeMs()) - connection->LastActivityTime();
                 LOG_WARNING("All %d connection slots are held: closing connection %s (silent for %llu ms) for a "
                             "waiting peer",
                             static_cast<int>(connections_.size()), connectionId.ToString().c_str(),
                             static_cast<unsigned long long>(silentMs));
                 connection->CloseAndStop();
                 InternalDeleteConnection(connectionId);
                 return 1;
               },
               0) == 1;
  });
}

RefPtr<Connection> Manager::Find(const UUID& connectionId) {
  auto it = connections_.find(connectionId);
  return it == connections_.end() ? RefPtr<Connection>() : it->second;
}

void Manager::StoreCount() { connectionCount_.store(static_cast<int>(connections_.size())); }

int Manager::WriteStatus(const UUID& connectionId) {
  CheckedLock lock(writeStatusLock_);
  auto it = writeStatus_.find(connectionId);
  return it == writeStatus_.end() ? Result_Ok : it->second.status;
}

void Manager::CountQueuedText(const UUID& connectionId, int change) {
  CheckedLock lock(writeStatusLock_);
  auto it = writeStatus_.find(connectionId);
  if (it != writeStatus_.end()) it->second.queued += change;
}

int Manager::AddConnection(Connection* connection) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::AddConnection", [&]() -> int {
    if (!connection) return Result_InvalidPointer;
    RefPtr<Connection> held(connection, true);
    return Call([this, held] { return InternalAddConnection(held.Get()); }, Result_Fail);
  });
}

int Manager::AddAcceptedConnection(Connection* connection) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::AddAcceptedConnection", [&]() -> int {
    if (!connection) return Result_InvalidPointer;
    {
      // Before the connection's thread runs: a receiver may answer on it at
      // once, and its direct send looks the status up.
      CheckedLock lock(writeStatusLock_);
      writeStatus_.try_emplace(connection->Id());
    }
    RefPtr<Connection> held(connection, true);
    queuedAdds_.fetch_add(1);
    const bool queued = PostBatched(
        [this, held](bool run) {
          // Refused by the shutdown (its thread may already run): closed here
          // like those in the map, announced gone only if it was announced. A
          // duplicate id is refused quietly: the id is the live connection's.
          if (!run) {
            held->CloseSocket(false);
          } else if (Failed(InternalAddConnection(held.Get()))) {
            held->CloseSocket(true);
          }
          queuedAdds_.fetch_sub(1);
        });
    return queued ? static_cast<int>(Result_Ok) : static_cast<int>(Result_Fail);
  });
}

int Manager::InternalAddConnection(Connection* connection) {
  if (!connections_.emplace(connection->Id(), RefPtr<Connection>(connection, true)).second) {
    LOG_SEVERE("Connection ID %s is already in use; the new connection is refused", connection->Id().ToString().c_str());
    return Result_Fail;
  }
  StoreCount();
  if (connectionCount_.load() > NetworkTransportImpl::MAX_CONNECTION_COUNT - 1) {
    LOG_WARNING("Exceeded MAX_CONNECTION_COUNT -- will not accept new connections");
  }
  CheckedLock lock(writeStatusLock_);
  writeStatus_[connection->Id()] = TextWriteState();
  return Result_Ok;
}

int Manager::SetKeepAlive(const UUID& connectionId, uint32_t intervalMs, uint32_t timeoutMs) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::SetKeepAlive", [&]() -> int {
    int result = Result_Fail;
    RefPtr<Connection> connection = Lookup(connectionId, &result);
    if (!connection) {
      if (result != Result_ConnectionNotFound) return result;
      LOG_SPEW(1, "Connection not found");
      return Result_Ok;
    }
    // Sends the settings frame: on the caller's thread, as any write.
    return connection->SetKeepAlive(intervalMs, timeoutMs);
  });
}

int Manager::ListenerCount() const {
  const int count = connectionCount_.load() + queuedAdds_.load() - leaving_.load();
  return count > 0 ? count : 0;
}

void Manager::StartLeaving(Connection* self) {
  leaving_.fetch_add(1);
  const UUID& connectionId = self->Id();
  bool drained;
  {
    CheckedLock lock(writeStatusLock_);
    auto it = writeStatus_.find(connectionId);
    drained = it == writeStatus_.end() || it->second.queued == 0;
  }
  // A queued write still has to go out before the end of the stream.
  if (drained) self->FinishSending();
}

int Manager::DeleteConnection(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::DeleteConnection", [&] {
    RefPtr<Connection> leaving;
    Connection* self = Connection::ReceivingOnThisThread();
    if (self && self->Id() == connectionId) {
      // Asked before on this thread (the receiver closed, then the socket
      // ended): that request removes it.
      if (!self->MarkLeaving()) return static_cast<int>(Result_Ok);
      StartLeaving(self);
      leaving = RefPtr<Connection>(self, true);
    }
    Task removal = [this, connectionId, leaving](bool run) {
      // Uncounted before the map shrinks: a listener reading in between
      // sees one connection too many, never one too few.
      if (leaving && leaving->ClearLeaving()) leaving_.fetch_sub(1);
      if (run) InternalDeleteConnection(connectionId);
    };
    PostRemoval(std::move(removal), leaving && leaving->Accepted());
    return static_cast<int>(Result_Ok);
  });
}

void Manager::ForgetConnection(Connection* connection) {
  CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::ForgetConnection", [&] {
    const UUID connectionId = connection->Id();
    // Compared, never followed: the entry holds its own reference.
    const Connection* own = connection;
    Task removal = [this, connectionId, own](bool run) {
      if (!run) return;
      auto it = connections_.find(connectionId);
      if (it != connections_.end() && it->second.Get() == own) InternalDeleteConnection(connectionId);
    };
    PostRemoval(std::move(removal), connection->Accepted());
  });
}

int Manager::InternalDeleteConnection(const UUID& connectionId) {
  // The map's reference goes through the deletion thread (Connection's
  // Release), so the connection's threads are never joined from here.
  connections_.erase(connectionId);
  StoreCount();
  if (connectionCount_.load() == NetworkTransportImpl::MAX_CONNECTION_COUNT - 1) {
    LOG_WARNING("No longer exceeding MAX_CONNECTION_COUNT -- will resume accepting new connections");
  }
  CheckedLock lock(writeStatusLock_);
  writeStatus_.erase(connectionId);
  return Result_Ok;
}

int Manager::DeleteAllConnections() {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::DeleteAllConnections", [&] {
    Post([this](bool run) {
      if (run) InternalDeleteAllConnections();
    });
    return static_cast<int>(Result_Ok);
  });
}

int Manager::InternalDeleteAllConnections() {
  connections_.clear();
  connectionCount_.store(0);
  CheckedLock lock(writeStatusLock_);
  writeStatus_.clear();
  return Result_Ok;
}

RefPtr<Connection> Manager::Lookup(const UUID& connectionId, int* result) {
  RefPtr<Connection> found;
  *result = Call(
      [&, connectionId]() -> int {
        found = Find(connectionId);
        return found ? Result_Ok : Result_ConnectionNotFound;
      },
      Result_Fail);
  if (Failed(*result)) found.Reset();
  return found;
}

bool Manager::ConnectionReadyForWrite(const UUID& connectionId) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::ConnectionReadyForWrite", [&] {
    int result = Result_Fail;
    RefPtr<Connection> connection = Lookup(connectionId, &result);
    if (!connection) {
      if (result == Result_ConnectionNotFound) LOG_SPEW(2, "Connection not found");
      return false;
    }
    // On the caller's thread: the test takes the connection's write lock,
    // which a write to a peer that does not read holds for up to the write
    // time-out.
    return connection->ReadyForWrite();
  });
}

int Manager::Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::Write", [&]() -> int {
    if (!body) return Result_InvalidPointer;
    int result = Result_Fail;
    RefPtr<Connection> connection = Lookup(connectionId, &result);
    if (!connection) {
      if (result != Result_ConnectionNotFound) return result;
      LOG_RECORD(record, Log_Severe, 0);
      return record.ReturnResult(Result_ConnectionNotFound, "Connection not found");
    }
    // The send runs on the caller's thread, as through the connection's
    // writer: a peer that does not read holds up its own writers only. The
    // connection's write lock keeps the frames whole and in the order of
    // their writes.
    return connection->Write(messageType, body);
  });
}

int Manager::InternalWriteText(const UUID& connectionId, IDataStream* text) {
  RefPtr<Connection> connection = Find(connectionId);
  if (!connection) {
    LOG_SPEW(1, "Connection not found");
    return Result_ConnectionNotFound;
  }
  if (WriteStatus(connectionId) == Result_ConnectionLost) return Result_Ok;
  const int result = connection->WriteText(connectionId, text);
  CheckedLock lock(writeStatusLock_);
  writeStatus_[connectionId].status = result;
  return Result_Ok;
}

bool Manager::WriteTextOnReceiveThread(const UUID& connectionId, IDataStream* text) {
  // The receive thread holds its connection for the whole delivery.
  Connection* connection = Connection::ReceivingOnThisThread();
  if (!connection || connection->Id() != connectionId) return false;
  return WriteTextDirect(connection, connectionId, text);
}

bool Manager::WriteTextDirect(Connection* connection, const UUID& connectionId, IDataStream* text) {
  {
    CheckedLock lock(writeStatusLock_);
    auto it = writeStatus_.find(connectionId);
    if (it == writeStatus_.end()) {
      // Removed from the map: as the queued write would find it.
      LOG_SPEW(1, "Connection not found");
      return true;
    }
    if (it->second.queued > 0) return false;
    if (it->second.status == Result_ConnectionLost) return true;
  }
  const int result = connection->WriteText(connectionId, text);
  CheckedLock lock(writeStatusLock_);
  auto it = writeStatus_.find(connectionId);
  if (it != writeStatus_.end()) it->second.status = result;
  return true;
}

int Manager::WriteText(const UUID& connectionId, IDataStream* text) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::WriteText", [&]() -> int {
    if (!text) return Result_InvalidPointer;
    if (WriteStatus(connectionId) == Result_ConnectionLost) return Result_ConnectionLost;
    if (WriteTextOnReceiveThread(connectionId, text)) return static_cast<int>(Result_Ok);
    RefPtr<IDataStream> held(text, true);
    CountQueuedText(connectionId, 1);
    Post([this, connectionId, held](bool run) {
      if (run) InternalWriteText(connectionId, held.Get());
      CountQueuedText(connectionId, -1);
    });
    return static_cast<int>(Result_Ok);
  });
}

int Manager::WriteTextSynchronous(const UUID& connectionId, IDataStream* text) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::WriteTextSynchronous", [&]() -> int {
    if (!text) return Result_InvalidPointer;
    if (WriteStatus(connectionId) == Result_ConnectionLost) return Result_ConnectionLost;
    if (WriteTextOnReceiveThread(connectionId, text)) return static_cast<int>(Result_Ok);
    {
      // The caller waits anyway: it sends on its own thread unless text
      // queued before it has to go first, so that a peer that does not read
      // never holds the manager's thread.
      int found = Result_Fail;
      RefPtr<Connection> connection = Lookup(connectionId, &found);
      if (!connection) {
        if (found == Result_ConnectionNotFound) LOG_SPEW(1, "Connection not found");
        return static_cast<int>(Result_Ok);
      }
      if (WriteTextDirect(connection.Get(), connectionId, text)) return static_cast<int>(Result_Ok);
    }
    RefPtr<IDataStream> held(text, true);
    CountQueuedText(connectionId, 1);
    Call(
        [this, connectionId, held] {
          const int result = InternalWriteText(connectionId, held.Get());
          CountQueuedText(connectionId, -1);
          return result;
        },
        Result_Fail);
    return static_cast<int>(Result_Ok);
  });
}

int Manager::GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::GetPeerIpv4", [&]() -> int {
    uint32_t address = 0;
    uint16_t peerPort = 0;
    const int result = Call(
        [&, connectionId]() -> int {
          RefPtr<Connection> connection = Find(connectionId);
          if (!connection) {
            LOG_SPEW(2, "Connection not found");
            return Result_Fail;
          }
          address = connection->PeerAddress();
          peerPort = connection->PeerPort();
          return Result_Ok;
        },
        Result_Fail);
    if (ipv4) *ipv4 = address;
    if (port) *port = peerPort;
    return result;
  });
}

int Manager::SetConnectionSocketDscp(const UUID& connectionId, uint32_t dscp) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::SetConnectionSocketDscp", [&] {
    return Call(
        [this, connectionId, dscp]() -> int {
          RefPtr<Connection> connection = Find(connectionId);
          return connection ? connection->SetConnectionSocketDscp(static_cast<int>(dscp)) : Result_Fail;
        },
        Result_Fail);
  });
}

int Manager::CreateWriter(const UUID& connectionId, ITransportFastWrite::IWriter** out) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::CreateWriter", [&]() -> int {
    if (!out) return Result_InvalidPointer;
    *out = nullptr;
    int result = Result_Fail;
    RefPtr<Connection> found = Lookup(connectionId, &result);
    if (found) *out = found.Detach();
    return result;
  });
}

int Manager::GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4) {
  return CRASH_LOG_GUARD("corvane::NetworkTransportImpl::ConnectionManager::GetLocalIpv4", [&]() -> int {
    uint32_t address = 0;
    const int result = Call(
        [&, connectionId]() -> int {
          RefPtr<Connection> connection = Find(connectionId);
          if (!connection) {
            LOG_RECORD(record, Log_Severe, 0);
            return record.ReturnResult(Result_Fail, "Connection not found");
          }
          address = connection->LocalAddress();
          return Result_Ok;
        },
        Result_Fail);
    if (ipv4) *ipv4 = address;
    return result;
  });
}

}  // namespace corvane
