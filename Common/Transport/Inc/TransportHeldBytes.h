// What peers make transport connections hold before a message is complete or
// acknowledged (the body of a frame still arriving, the pieces of a message
// still missing its last one, records the peer has not acknowledged),
// counted over every connection of the process. Each connection may hold up
// to its own limits; together they hold at most the budget's limit: once a
// count takes the total past it, holders are shed (their connections closed)
// until what is left fits. What peers sent and did not finish goes first,
// largest first; only then what the process holds for peers (answers not
// yet acknowledged), so that stalled senders cannot make room for
// themselves by closing a client that reads its answers.
//
// Thread-safe. A holder's count stays until it sets 0 or is removed.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "ThreadAnnotations.h"

namespace corvane {

class HeldBytesBudget {
 public:
  static constexpr uint64_t kProcessLimitBytes = 256ull << 20;

  class Holder {
   public:
    virtual ~Holder() = default;
    // Starts closing the holder's connection; its count goes once it lets
    // go of the bytes. Called with the budget's lock held, on any thread: it
    // must not block, call the budget, or take any lock.
    virtual void Shed() = 0;
  };

  enum class Kind {
    // Bytes a peer sent of a message it has not finished.
    kUnfinished,
    // Anything else held for a peer; shed only when no unfinished holder
    // is left to shed.
    kHeldForPeer,
  };

  // The one budget of the process's transports.
  static HeldBytesBudget& Process();

  explicit HeldBytesBudget(uint64_t limitBytes) : limit_(limitBytes) {}
  HeldBytesBudget(const HeldBytesBudget&) = delete;
  HeldBytesBudget& operator=(const HeldBytesBudget&) = delete;

  // What holder holds now (0 forgets it); may shed holders. A holder keeps
  // one kind: the one of its latest Set.
  void Set(Holder* holder, uint64_t bytes, Kind kind = Kind::kHeldForPeer) EXCLUDES(mutex_);
  // Forgets holder; no Shed of it runs once this returns.
  void Remove(Holder* holder) EXCLUDES(mutex_);
  uint64_t Total() EXCLUDES(mutex_);
  uint64_t Limit() const { return limit_; }

 private:
  struct Entry {
    uint64_t bytes = 0;
    Kind kind = Kind::kHeldForPeer;
    bool shed = false;
  };

  const uint64_t limit_;
  // Taken by a connection's own lock holders (the transport's receive and
  // send paths) last of all; Holder::Shed runs under it and takes nothing.
  CheckedMutex mutex_;
  std::map<Holder*, Entry> holders_ GUARDED_BY(mutex_);
  uint64_t total_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvane
