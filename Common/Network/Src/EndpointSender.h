// One of the endpoint's sending threads. Each owns a fixed share of the
// connections (identifier modulo the number of senders), so that the bytes
// for one connection always leave from one thread and in the order they
// were queued; a write to many connections is carried out by all of them at
// once, every queue holding the same shared copy of the message.
//
// The endpoint's thread is the only caller of Open, Close and Write, and
// they take effect in that order. The sender sends at once what the socket
// takes and waits for writability only for what is left. What the endpoint
// must act on (write states, read pause for a long queue, failures) comes
// back through the report function, called on the sender's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "RefCount.h"
#include "SocketLayer.h"
#include "ThreadContext.h"

namespace corvane {

// A connection's socket, shared by the endpoint's thread (reading) and its
// sender (writing): it is closed only when both have let it go, so neither
// ever uses a descriptor number that has been given to another socket.
struct EndpointSocket {
  EndpointSocket(platform::SocketHandle fd, bool adopted) : fd(fd), adopted(adopted) {}
  ~EndpointSocket();
  EndpointSocket(const EndpointSocket&) = delete;
  EndpointSocket& operator=(const EndpointSocket&) = delete;

  const platform::SocketHandle fd;
  // An adopted socket belongs to whoever handed it over and is never closed.
  const bool adopted;
};

enum class SendReport {
  Blocked,     // a write went out in part; userContext is that write's
  Unblocked,   // the write that blocked the queue has gone out
  Backlogged,  // the queue holds more than kEndpointReadPauseQueuedBytes
  Drained,     // and is back under it
  Failed,      // a send failed; the connection must be closed on error
  Overflow,    // the queue would pass kEndpointMaxQueuedBytes; likewise
};

class EndpointSender {
 public:
  using ReportFn = std::function<void(uint32_t id, uint64_t serial, SendReport report, uint64_t userContext)>;

  // lastSend[id] receives the time (UTC ms) of each connection's last send.
  // senderCount: how many senders share the connections out.
  EndpointSender(uint32_t senderCount, uint32_t slotCount, std::atomic<int64_t>* lastSend, ReportFn report);
  // Stops and joins the thread; queued work is dropped and sockets let go.
  ~EndpointSender();
  EndpointSender(const EndpointSender&) = delete;
  EndpointSender& operator=(const EndpointSender&) = delete;

  bool IsValid() const { return wake_.IsValid() && events_.IsValid(); }

  void Open(uint32_t id, uint64_t serial, std::shared_ptr<EndpointSocket> socket);
  // Drops what is queued and lets the socket go.
  void Close(uint32_t id);
  // ids: open connections of this sender's share, each listed once.
  void Write(std::vector<uint32_t> ids, std::shared_ptr<const uint8_t[]> data, uint32_t size, uint64_t userContext,
             uint32_t copies);

 private:
  struct WriteItem {
    uint32_t remaining;
    uint32_t offset;
    // Further whole copies of the buffer after this one.
    uint32_t repeat;
    uint64_t userContext;
    std::shared_ptr<const uint8_t[]> buffer;
  };

  struct Slot {
    std::shared_ptr<EndpointSocket> socket;
    uint64_t serial = 0;
    uint64_t queuedBytes = 0;
    bool blocked = false;
    bool waiting = false;  // registered for writability
    bool backlogged = false;
    bool failed = false;
    std::list<WriteItem> queue;
  };

  Slot& SlotOf(uint32_t id) { return slots_[id / senderCount_]; }
  void WriteOnThread(const std::vector<uint32_t>& ids, const std::shared_ptr<const uint8_t[]>& data, uint32_t size,
                     uint64_t userContext, uint32_t copies);
  // Sends what the socket takes; fromPoll: writability was just reported.
  void Flush(uint32_t id, Slot& slot, int64_t now, bool fromPoll);
  void Fail(uint32_t id, Slot& slot, SendReport report);
  void Unregister(Slot& slot);
  // Waits for writability while any connection waits for it.
  void Pump();
  void PostPump();
  void Post(std::function<void()> task);

  const uint32_t senderCount_;
  std::atomic<int64_t>* const lastSend_;
  const ReportFn report_;
  std::vector<Slot> slots_;
  platform::WakeSignal wake_;
  platform::EventSet events_;
  std::vector<platform::EventSet::Ready> ready_;
  size_t waitingCount_ = 0;
  bool pumpRunning_ = false;
  std::atomic<bool> stopping_{false};
  // The thread is (about to be) in the writability wait.
  std::atomic<bool> inWait_{false};
  RefPtr<ThreadContext> context_;
};

}  // namespace corvane
