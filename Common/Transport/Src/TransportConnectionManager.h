// Owns every connection of one initialised transport. The connection map is
// touched only on the manager's thread; callers post requests (most of them
// wait for the answer) and the manager runs them one at a time, in arrival
// order. A request made on the manager's own thread runs at once instead of
// waiting for itself. Requests that reach a peer (binary and waiting text
// writes, the writability test, keep-alive settings) only find the
// connection there and act on the caller's thread, and events of
// connections closed there are raised on the notification thread, so that
// the manager's thread waits on no receiver and on a peer only for a text
// write that its caller did not wait for.
//
// Shutdown (the transport's Finalize) refuses new requests, answers queued
// ones with a failure, stops the thread and closes every connection still
// held (each raises Disconnected once); connections that outlive the manager
// no longer reach it. Counted; destroyed on the deletion thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "NetworkTransportImpl.h"
#include "ThreadAnnotations.h"
#include "Uuid.h"

namespace corvane {

class NetworkTransportImpl::ConnectionManager final : public Thread, public IRefCountImpl {
 public:
  ConnectionManager();

  // Starts the thread; Result_Fail when it does not run.
  int Initialize();
  void Shutdown();

  // Refuses an id already held (Result_Fail); the caller closes the new
  // connection quietly.
  int AddConnection(Connection* connection);
  // An accepted connection, queued without waiting, so that the listener
  // does not wait on the manager's thread for every accept. Its write
  // status exists from now on; an id already held closes the new
  // connection quietly (never an event under the live connection's id).
  // Result_Fail when the manager is shutting down. Batched (see
  // WakeIfDue).
  int AddAcceptedConnection(Connection* connection);
  int SetKeepAlive(const UUID& connectionId, uint32_t intervalMs, uint32_t timeoutMs);
  // Queued; 0 at once. Batched when an accepted connection asks on its own
  // receive thread.
  int DeleteConnection(const UUID& connectionId);
  // A connection's own removal, queued: its entry goes only while it holds
  // this very connection, so a twin refused for its id removes nothing.
  // Batched for an accepted connection.
  void ForgetConnection(Connection* connection);
  int DeleteAllConnections();
  bool ConnectionReadyForWrite(const UUID& connectionId);
  int Write(const UUID& connectionId, const UUID& messageType, IDataStream* body);
  // Result_ConnectionLost at once after a lost text write, else 0. Queued,
  // except that a connection's own receive thread (a receiver answering on
  // the delivering thread) sends at once when nothing is queued before it:
  // sends to different connections then run side by side instead of one
  // after another on the manager's thread.
  int WriteText(const UUID& connectionId, IDataStream* text);
  // As WriteText, waiting until the text went out; sent on the caller's
  // thread unless text queued before it has to go first.
  int WriteTextSynchronous(const UUID& connectionId, IDataStream* text);
  int GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port);
  int SetConnectionSocketDscp(const UUID& connectionId, uint32_t dscp);
  int CreateWriter(const UUID& connectionId, ITransportFastWrite::IWriter** out);
  int GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4);

  int ConnectionCount() const { return connectionCount_.load(); }
  // What the listener counts against MAX_CONNECTION_COUNT: the map, the
  // accepted connections queued for it (so that a burst of accepts cannot
  // overshoot), less those whose own receive thread has
  // asked for their removal (their slot is free while the request waits).
  int ListenerCount() const;
  void SetIdlePurgeEnabled(bool enabled) { purgeEnabled_.store(enabled); }
  void SetIdlePurgeTimes(uint32_t periodMs, uint32_t idleMs) {
    purgePeriodMs_.store(periodMs);
    purgeIdleMs_.store(idleMs);
  }
  // The listener calls this on every pass (at least every 100 ms). Wakes
  // the manager's thread when a purge pass is due, so that the purge does
  // not wait for a request, or when batched work has waited kBatchDelayMs.
  //
  // The adds and removals of accepted connections are batched: queued like
  // any request, but the manager is woken only once kBatchSize of them
  // wait, or by this call. Under a stream of short connections (a web
  // dashboard polling) a wake-up per connection was a large share of the
  // cost of each one. Nothing waits on them: requests queued after them
  // run after them, as before, and wake the manager.
  void WakeIfDue();
  // The connection to close for a waiting peer, among those of the peer
  // addresses that hold the most connections: one that never carried an
  // application message (keep-alive frames are none), the oldest of them,
  // before any that did; else the one unused longest. A peer that keeps
  // its slots busy with keep-alive frames, or comes back as soon as it is
  // closed, loses to a client that calls. False when none.
  bool ConnectionToFreeSlot(UUID* connectionId);
  // Closes the connection (Disconnected raised on the notification thread) and
  // forgets it before returning, so that its slot is free for the listener.
  // True without closing anything when a slot is already free; false when
  // the id is not held.
  bool CloseToFreeSlot(const UUID& connectionId);
  // Shared with every connection, which may outlive the manager.
  const std::shared_ptr<std::atomic<uint32_t>>& WriteTimeout() const { return writeTimeout_; }

  bool ThreadFunc() override;
  int Release() override;

  static constexpr uint32_t kDefaultWriteTimeoutMs = 10000;

 private:
  // run false: the manager is shutting down; the task releases what it
  // carries without touching any connection.
  using Task = std::function<void(bool run)>;

  ~ConnectionManager() override;
  bool Post(Task task, bool wake = true);
  // Post for the batched adds and removals described at WakeIfDue.
  bool PostBatched(Task task);
  // A removal: batched for an accepted connection asking on its own behalf.
  void PostRemoval(Task task, bool batched);
  // Runs fn on the manager's thread and waits for it; failure when the
  // manager shuts down first.
  int Call(const std::function<int()>& fn, int failure);
  void ProcessQueue();
  void PurgePass();
  RefPtr<Connection> Find(const UUID& connectionId);
  // Finds the connection on the manager's thread, for the caller to act on
  // on its own: Ok, ConnectionNotFound, or Fail when the manager shuts
  // down. The reference's last release is deferred (Connection::Release),
  // so no caller tears a connection down on one of its own threads.
  RefPtr<Connection> Lookup(const UUID& connectionId, int* result);
  void StoreCount();
  // A connection whose own receive thread asks for its removal for the
  // first time: uncounted for the listener, its stream ended when nothing
  // it wrote is still queued.
  void StartLeaving(Connection* self);
  int WriteStatus(const UUID& connectionId);

  int InternalAddConnection(Connection* connection);
  int InternalDeleteConnection(const UUID& connectionId);
  int InternalDeleteAllConnections();
  int InternalWriteText(const UUID& connectionId, IDataStream* text);
  // The direct send above; false when the write has to be queued.
  bool WriteTextOnReceiveThread(const UUID& connectionId, IDataStream* text);
  // Sends on the calling thread unless text queued before has to go first
  // (false then); a lost or removed connection sends nothing.
  bool WriteTextDirect(Connection* connection, const UUID& connectionId, IDataStream* text);
  void CountQueuedText(const UUID& connectionId, int change);

  CheckedMutex queueLock_;
  std::deque<Task> queue_ GUARDED_BY(queueLock_);
  bool closing_ GUARDED_BY(queueLock_) = false;

  std::map<UUID, RefPtr<Connection>> connections_;
  std::atomic<int> connectionCount_{0};
  std::atomic<int> queuedAdds_{0};
  std::atomic<int> leaving_{0};
  CheckedMutex writeStatusLock_;
  // Per connection: the result of the last text write, and the text writes
  // queued and not yet run (a direct send may not overtake them).
  struct TextWriteState {
    int status = 0;
    int queued = 0;
  };
  std::map<UUID, TextWriteState> writeStatus_ GUARDED_BY(writeStatusLock_);
  std::shared_ptr<std::atomic<uint32_t>> writeTimeout_;
  std::atomic<bool> purgeEnabled_{false};
  std::atomic<uint32_t> purgePeriodMs_{NetworkTransportImpl::kDefaultPurgePeriodMs};
  std::atomic<uint32_t> purgeIdleMs_{NetworkTransportImpl::kDefaultPurgeIdleMs};
  std::atomic<uint64_t> lastPurgePass_;
  // Batched tasks queued since the manager last took its queue, and when
  // the first of them came.
  std::atomic<int> batched_{0};
  std::atomic<uint64_t> batchedSince_{0};
  // Small against MAX_CONNECTION_COUNT: an ended connection keeps its slot
  // until its removal runs.
  static constexpr int kBatchSize = 8;
  static constexpr uint64_t kBatchDelayMs = 20;
};

}  // namespace corvane
