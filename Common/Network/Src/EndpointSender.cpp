#include "EndpointSender.h"

#include <algorithm>

#include "Logger.h"
#include "NetworkEndpoint.h"
#include "Scheduler.h"

namespace corvane {

namespace {

constexpr uint32_t kMaxSendChunk = 0x1900000;
constexpr int kWaitTimeoutMs = 100;
constexpr int kMaxReady = 256;
// Keys in the writability set: the wake signal is 0, a connection its
// identifier (never 0) with the low bits of its serial above.
constexpr uint64_t kWakeKey = 0;

uint64_t KeyOf(uint32_t id, uint64_t serial) { return (serial << 32) | id; }

}  // namespace

EndpointSocket::~EndpointSocket() {
  if (!adopted) platform::CloseSocket(fd);
}

EndpointSender::EndpointSender(uint32_t senderCount, uint32_t slotCount, std::atomic<int64_t>* lastSend,
                               ReportFn report)
    : senderCount_(senderCount),
      lastSend_(lastSend),
      report_(std::move(report)),
      slots_(slotCount / senderCount + 1),
      ready_(kMaxReady) {
  if (events_.IsValid() && wake_.IsValid()) events_.Add(wake_.Handle(), platform::kPollReadable, kWakeKey);
  context_.Attach(new ThreadContext(100000, 0, "net-sender"));
  // Work posted while the thread waits for writability must not wait for
  // the time-out; otherwise the queue's own wake-up is enough, and a write
  // to the signal per post would cost every fan-out a system call.
  context_->SetWakeHook([this] {
    if (inWait_.load()) wake_.Signal();
  });
}

EndpointSender::~EndpointSender() {
  stopping_.store(true, std::memory_order_release);
  wake_.Signal();
  // Queued tasks run but find the sender stopping and do nothing.
  context_->Stop();
  context_.Reset();
}

void EndpointSender::Post(std::function<void()> task) {
  context_->PostAlways([this, task = std::move(task)] {
    if (!stopping_.load(std::memory_order_acquire)) task();
  });
}

void EndpointSender::Open(uint32_t id, uint64_t serial, std::shared_ptr<EndpointSocket> socket) {
  Post([this, id, serial, socket = std::move(socket)]() mutable {
    Slot& slot = SlotOf(id);
    slot = Slot{};
    slot.socket = std::move(socket);
    slot.serial = serial;
  });
}

void EndpointSender::Close(uint32_t id) {
  Post([this, id] {
    Slot& slot = SlotOf(id);
    Unregister(slot);
    // Releases this connection's share of every queued buffer and, unless
    // the endpoint still reads it, the socket.
    slot = Slot{};
  });
}

void EndpointSender::Write(std::vector<uint32_t> ids, std::shared_ptr<const uint8_t[]> data, uint32_t size,
                           uint64_t userContext, uint32_t copies) {
  Post([this, ids = std::move(ids), data = std::move(data), size, userContext, copies] {
    WriteOnThread(ids, data, size, userContext, copies);
  });
}

void EndpointSender::WriteOnThread(const std::vector<uint32_t>& ids, const std::shared_ptr<const uint8_t[]>& data,
                                   uint32_t size, uint64_t userContext, uint32_t copies) {
  const int64_t now = GetDefaultScheduler()->GetUtcTimeMs();
  const uint64_t bytes = static_cast<uint64_t>(size) * copies;
  for (uint32_t id : ids) {
    // Stopping while a large fan-out runs ends it here.
    if (stopping_.load(std::memory_order_relaxed)) return;
    Slot& slot = SlotOf(id);
    if (!slot.socket || slot.failed) continue;
    if (slot.queuedBytes + bytes > kEndpointMaxQueuedBytes) {
      LOG_SEVERE("Send queue of connection %u passed %llu bytes; closing it", id,
                 static_cast<unsigned long long>(kEndpointMaxQueuedBytes));
      Fail(id, slot, SendReport::Overflow);
      continue;
    }
    slot.queue.push_back(WriteItem{size, 0, copies - 1, userContext, data});
    slot.queuedBytes += bytes;
    // A queue that already waits for writability goes on when it is reported.
    if (!slot.waiting) {
      Flush(id, slot, now, false);
    } else if (!slot.backlogged && slot.queuedBytes > kEndpointReadPauseQueuedBytes) {
      slot.backlogged = true;
      report_(id, slot.serial, SendReport::Backlogged, 0);
    }
  }
}

void EndpointSender::Flush(uint32_t id, Slot& slot, int64_t now, bool fromPoll) {
  const platform::SocketHandle fd = slot.socket->fd;
  while (!slot.queue.empty()) {
    WriteItem& item = slot.queue.front();
    uint32_t chunk = std::min(item.remaining, kMaxSendChunk);
    int64_t sent = platform::Send(fd, item.buffer.get() + item.offset, chunk);
    if (sent > 0) {
      lastSend_[id].store(now, std::memory_order_relaxed);
      slot.queuedBytes -= static_cast<uint64_t>(sent);
      if (static_cast<uint32_t>(sent) == item.remaining && item.repeat != 0) {
        --item.repeat;
        item.remaining += item.offset;
        item.offset = 0;
        continue;
      }
      if (static_cast<uint32_t>(sent) == item.remaining) {
        slot.queue.pop_front();
        if (slot.blocked) {
          slot.blocked = false;
          report_(id, slot.serial, SendReport::Unblocked, 0);
        }
        continue;
      }
      item.offset += static_cast<uint32_t>(sent);
      item.remaining -= static_cast<uint32_t>(sent);
      // The socket took all it was offered: only the chunk size held it back.
      if (static_cast<uint32_t>(sent) == chunk) continue;
      if (!slot.blocked) {
        slot.blocked = true;
        report_(id, slot.serial, SendReport::Blocked, item.userContext);
      }
      break;
    }
    int error = platform::LastSocketError();
    if (sent == 0 || platform::IsWouldBlock(error)) {
      if (fromPoll) LOG_WARNING("Unable to send on socket. Socket would block");
      break;
    }
    LOG_SEVERE("Unexpected error %d sending data on socket.", error);
    Fail(id, slot, SendReport::Failed);
    return;
  }

  bool over = slot.queuedBytes > kEndpointReadPauseQueuedBytes;
  if (over != slot.backlogged) {
    slot.backlogged = over;
    report_(id, slot.serial, over ? SendReport::Backlogged : SendReport::Drained, 0);
  }
  if (slot.queue.empty()) {
    Unregister(slot);
  } else if (!slot.waiting) {
    if (events_.Add(fd, platform::kPollWritable, KeyOf(id, slot.serial)) != 0) {
      LOG_SEVERE("Unable to wait for a socket to take data. Error %d", platform::LastSocketError());
      Fail(id, slot, SendReport::Failed);
      return;
    }
    slot.waiting = true;
    ++waitingCount_;
    PostPump();
  }
}

void EndpointSender::Fail(uint32_t id, Slot& slot, SendReport report) {
  Unregister(slot);
  slot.failed = true;
  slot.queue.clear();
  slot.queuedBytes = 0;
  report_(id, slot.serial, report, 0);
}

void EndpointSender::Unregister(Slot& slot) {
  if (!slot.waiting) return;
  events_.Remove(slot.socket->fd);
  slot.waiting = false;
  --waitingCount_;
}

void EndpointSender::PostPump() {
  if (pumpRunning_ || waitingCount_ == 0) return;
  pumpRunning_ = true;
  Post([this] { Pump(); });
}

void EndpointSender::Pump() {
  pumpRunning_ = false;
  // Announced before the queue is looked at: a post that the look misses
  // sees the flag and signals.
  inWait_.store(true);
  // Work queued behind this pass must not wait for the time-out.
  int timeoutMs = context_->QueuedCount() > 1 ? 0 : kWaitTimeoutMs;
  int count = events_.Wait(ready_.data(), kMaxReady, timeoutMs);
  inWait_.store(false);
  if (count > 0) {
    const int64_t now = GetDefaultScheduler()->GetUtcTimeMs();
    for (int i = 0; i < count; ++i) {
      uint64_t key = ready_[static_cast<size_t>(i)].key;
      if (key == kWakeKey) {
        wake_.Drain();
        continue;
      }
      uint32_t id = static_cast<uint32_t>(key);
      Slot& slot = SlotOf(id);
      if (!slot.socket || !slot.waiting || KeyOf(id, slot.serial) != key) continue;
      // An error or hang-up shows in the send's own result.
      Flush(id, slot, now, true);
    }
  } else if (count < 0) {
    LOG_SPEW(1, "Socket error during poll - error %d", platform::LastSocketError());
    // A failing wait would otherwise return at once again.
    GetDefaultScheduler()->Sleep(10);
  }
  PostPump();
}

}  // namespace corvane
