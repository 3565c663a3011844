// Plain-HTTP connections served by a few threads that share one event set.
//
// Every socket (listener included) is registered one-shot: a report goes to
// one thread, and the socket is reported again only once that thread has
// armed it anew. So one connection is served by one thread at a time, with
// no hand-over: the thread that reads the chunk completing a request runs
// its handler too, and a handler that takes its time holds up its own
// thread, never a connection of another. Sockets are non-blocking.
//
// Writes from any thread queue behind the connection's earlier ones and go
// out at once as far as the socket takes them; the rest goes when the socket
// reports room. A Close with bytes still queued closes once they are out.
//
// An answered connection is not closed at once: a socket closed with input
// unread makes the system reset the connection and drop what it has not
// sent yet, so a client that sent anything after its request would lose
// the end of its answer. Once a connection is to close, what its peer sends
// is read and dropped; once its answer is out, our side is shut down and
// the connection lingers until the peer closes too, or for kLingerTime or
// kLingerBytes at most. Lingering connections still hold their slots, and
// are the first to give one up to a waiting peer.
//
// Closing: only the thread serving a connection's report closes its
// descriptor. Any other thread shuts the socket down, which is reported as
// a hang-up; so a descriptor number is never reused under a thread that
// still holds it.
//
// Locks: lock_ (the maps) and each connection's lock are leaves; neither is
// held while the receiver, the chooser or a handler runs.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpConnections.h"
#include "Logger.h"
#include "Result.h"
#include "Scheduler.h"
#include "SocketLayer.h"
#include "Thread.h"
#include "ThreadAnnotations.h"
#include "TransportFrames.h"
#include "TransportListener.h"

namespace corvane {

namespace {

namespace sock = platform;
using Clock = std::chrono::steady_clock;

// The same ceiling as the transport's listener: past it a new peer waits,
// or makes room by displacing the connection the chooser names.
constexpr int kMaxConnections = 100;
// A response that has not gone out this long after it was started is
// abandoned and its connection closed, as a blocking send would give up.
constexpr auto kWriteTimeout = std::chrono::milliseconds(10000);
// An answer of which its peer has taken nothing this long may be given up
// to make room for a waiting peer when every slot is held: short enough
// that a flood of clients that never read turns the slots over faster than
// it comes, long enough for a reader that is merely behind.
constexpr auto kStalledAnswer = std::chrono::milliseconds(250);
// Bounds of a lingering close: after this long, or this much input dropped
// since the request was answered, the connection is closed whatever the
// peer still does.
constexpr auto kLingerTime = std::chrono::milliseconds(2000);
constexpr uint64_t kLingerBytes = 1u << 20;
// Input dropped per report, so that one peer cannot keep a thread.
constexpr uint64_t kDropPerReport = 256u << 10;
// How often late writes are looked for, and a parked listener tried again.
constexpr int kTickMs = 100;
// Two at least, so that one handler that takes its time never holds up
// every other request.
constexpr uint32_t kMinThreads = 2;
constexpr uint32_t kMaxThreads = 4;
// Peers taken per report of the listener, so that accepting does not keep
// one thread from serving connections.
constexpr int kAcceptBatch = 16;
constexpr int kMaxReady = 1;
constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kListenerKey = 1;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Reads and drops up to kDropPerReport bytes of what fd has queued: 0 once
// nothing more is there, 1 when the peer has closed, -1 when the socket
// failed. *dropped receives the count.
int DropQueued(int fd, uint64_t* dropped) {
  uint8_t buffer[kRawReadSize];
  *dropped = 0;
  while (*dropped < kDropPerReport) {
    const int64_t n = sock::ReceiveNow(fd, buffer, sizeof(buffer));
    if (n == 0) return 1;
    if (n < 0) return sock::IsWouldBlock(sock::LastSocketError()) ? 0 : -1;
    *dropped += static_cast<uint64_t>(n);
  }
  return 0;
}

uint32_t ThreadCount() {
  return std::clamp<uint32_t>(std::thread::hardware_concurrency() / 2, kMinThreads, kMaxThreads);
}

class EventHttpConnections;

// One response (or part of one) on its way out. The slices point into the
// stream's own buffers or into storage, so the entry never moves.
struct Pending {
  RefPtr<IDataStream> text;
  std::string storage;
  std::vector<sock::SendSlice> slices;
  size_t next = 0;
  uint64_t serial = 0;
};

struct Connection {
  UUID id;
  // Its key in the event set: never given to another connection, so a
  // report that comes late finds nothing rather than a newer connection.
  uint64_t key = 0;
  uint32_t peer = 0;
  uint32_t local = 0;
  // Steady-clock milliseconds of the last bytes received (or of the accept).
  std::atomic<int64_t> lastBytesMs{0};

  CheckedMutex lock;
  std::condition_variable sent;
  // -1 once closed; changed only by the thread serving a report, or once
  // nothing serves any more.
  int fd GUARDED_BY(lock) = -1;
  std::deque<std::unique_ptr<Pending>> out GUARDED_BY(lock);
  // Until the peer has finished sending; and only while nothing waits to
  // go out, so that a peer that does not take its answer gets no further
  // work done.
  bool reading GUARDED_BY(lock) = true;
  // A thread serves a report of it: the socket is not armed, and that
  // thread arms it when it is done.
  bool serving GUARDED_BY(lock) = false;
  bool closeWhenSent GUARDED_BY(lock) = false;
  // The answer is out and our side shut down: input is dropped until the
  // peer closes or lingerUntil.
  bool lingering GUARDED_BY(lock) = false;
  Clock::time_point lingerUntil GUARDED_BY(lock);
  // The peer has finished sending.
  bool peerDone GUARDED_BY(lock) = false;
  // Input read and dropped since the connection was to close.
  uint64_t dropped GUARDED_BY(lock) = 0;
  // Shut down; closed at its next report.
  bool closing GUARDED_BY(lock) = false;
  bool closed GUARDED_BY(lock) = false;
  // Still counted against kMaxConnections.
  bool counted GUARDED_BY(lock) = true;
  uint64_t lastSerial GUARDED_BY(lock) = 0;
  uint64_t sentSerial GUARDED_BY(lock) = 0;
  Clock::time_point deadline GUARDED_BY(lock);
  // When its peer last took bytes of a queued answer (or the answer was
  // queued).
  Clock::time_point lastProgress GUARDED_BY(lock);
};

// The connection the calling thread serves, so that a synchronous write from
// its handler drives the socket itself instead of waiting for a report
// that only this thread could serve.
thread_local const Connection* t_serving = nullptr;

class ServingThread final : public Thread {
 public:
  explicit ServingThread(EventHttpConnections* owner) : owner_(owner) { SetName("http-serve"); }
  ~ServingThread() override { Stop(); }
  bool ThreadFunc() override;

 private:
  EventHttpConnections* const owner_;
};

class EventHttpConnections final : public IHttpConnections, public IRefCountImpl {
 public:
  EventHttpConnections(uint32_t bindAddress, uint16_t port) : bindAddress_(bindAddress), port_(port) {}
  ~EventHttpConnections() override { Shutdown(); }

  int Open(IHttpReceiver* receiver, IListenerSlots::IChooser* chooser) override;
  int Write(const UUID& connectionId, IDataStream* data, bool synchronous) override;
  int Close(const UUID& connectionId) override;
  void Shutdown() override;

  // Serves the reports of one wait: false once stopping.
  bool Pass();

 private:
  std::shared_ptr<Connection> Find(const UUID& connectionId);
  std::shared_ptr<Connection> Find(uint64_t key);
  void Accept();
  // Closes the chooser's connection, or else the one whose answer has
  // stalled longest, so that a waiting peer gets its slot.
  bool MakeRoom();
  void LogMakingRoom(const Connection* c, int64_t silentMs);
  void ParkListener(int64_t untilMs);
  void UnparkListener();
  void Serve(const std::shared_ptr<Connection>& c, int16_t events);
  // Sends from the front of c's queue until it is empty or the socket full;
  // false on a send failure (logged).
  bool FlushLocked(Connection* c) REQUIRES(c->lock);
  // Arms c's socket for what it waits for now, unless a thread serves it.
  void ArmLocked(Connection* c) REQUIRES(c->lock);
  // Shuts c down; it is closed at its next report.
  void ShutDownLocked(Connection* c) REQUIRES(c->lock);
  // What the peer sends is read and dropped from now on.
  static bool DroppingLocked(const Connection* c) REQUIRES(c->lock) { return c->closeWhenSent || c->lingering; }
  // Shuts down the sending side of c, whose answer is out, and lets it
  // linger; false when the socket has failed.
  bool LingerLocked(Connection* c) REQUIRES(c->lock);
  // Closes c now unless an answer was written to it: then it lingers.
  void CloseNowOrLingerLocked(Connection* c) REQUIRES(c->lock);
  // Reads and drops c's input (its thread serves the report): false once the
  // peer has closed, failed or passed kLingerBytes.
  bool DropInput(Connection* c, int fd);
  void MakeRoomFor(Connection* c, int64_t silentMs) REQUIRES(c->lock);
  // By the thread serving c's report only: closes and forgets c, then tells
  // the receiver.
  void Finish(const std::shared_ptr<Connection>& c);
  void Tick();

  const uint32_t bindAddress_;
  const uint16_t port_;
  IHttpReceiver* receiver_ = nullptr;
  IListenerSlots::IChooser* chooser_ = nullptr;
  int listener_ = -1;
  sock::EventSet events_;
  sock::WakeSignal wake_;
  std::vector<std::unique_ptr<ServingThread>> threads_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> held_{0};
  // Not armed while every slot is held and nobody can be displaced, or
  // while accept runs out of descriptors; armed again once a connection
  // ends or the time has come.
  std::atomic<bool> listenerParked_{false};
  std::atomic<int64_t> parkedUntilMs_{0};
  // The next tick, claimed by the first thread to see it due.
  std::atomic<int64_t> nextTickMs_{0};

  CheckedMutex lock_;
  std::map<UUID, std::shared_ptr<Connection>> byId_ GUARDED_BY(lock_);
  std::map<uint64_t, std::shared_ptr<Connection>> byKey_ GUARDED_BY(lock_);
  uint64_t nextKey_ GUARDED_BY(lock_) = kListenerKey + 1;
};

bool ServingThread::ThreadFunc() { return owner_->Pass(); }

int EventHttpConnections::Open(IHttpReceiver* receiver, IListenerSlots::IChooser* chooser) {
  if (!receiver || !chooser) return static_cast<int>(Result_InvalidPointer);
  if (listener_ != -1) return static_cast<int>(Result_AlreadyInitialized);
  if (!events_.IsValid() || !wake_.IsValid() || events_.Add(wake_.Handle(), sock::kPollReadable, kWakeKey) != 0) {
    LOG_SEVERE("Unable to set up the HTTP event set. Error %d", sock::LastSocketError());
    return static_cast<int>(Result_Fail);
  }
  receiver_ = receiver;
  chooser_ = chooser;
  int s = -1;
  if (OpenListeningSocket(bindAddress_, port_, 1, true, &s) != 0) return static_cast<int>(Result_Fail);
  listener_ = s;
  events_.Add(listener_, sock::kPollReadable, kListenerKey, true);
  const uint32_t count = ThreadCount();
  for (uint32_t i = 0; i < count; ++i) threads_.push_back(std::make_unique<ServingThread>(this));
  for (auto& thread : threads_) thread->Start(0);
  return static_cast<int>(Result_Ok);
}

void EventHttpConnections::Shutdown() {
  stopping_.store(true);
  // Never drained: every wait returns from now on.
  wake_.Signal();
  {
    // Answers still queued for slow clients are dropped, and a handler's
    // write waiting for room returns now rather than at its time-out.
    std::vector<std::shared_ptr<Connection>> all;
    {
      CheckedLock hold(lock_);
      for (auto& entry : byId_) all.push_back(entry.second);
    }
    for (auto& c : all) {
      CheckedLock hold(c->lock);
      if (!c->out.empty() && !c->closed) sock::SetResetOnClose(c->fd);
      c->out.clear();
      if (!c->closed && !c->closing) {
        c->closing = true;
        sock::Shutdown(c->fd);
      }
      c->sent.notify_all();
    }
  }
  for (auto& thread : threads_) thread->Stop();
  threads_.clear();
  std::map<UUID, std::shared_ptr<Connection>> left;
  {
    CheckedLock hold(lock_);
    left.swap(byId_);
    byKey_.clear();
  }
  for (auto& [id, c] : left) {
    CheckedLock hold(c->lock);
    c->closed = true;
    c->out.clear();
    sock::CloseSocket(c->fd);
    c->fd = -1;
    c->sent.notify_all();
  }
  if (listener_ != -1) sock::CloseSocket(listener_);
  listener_ = -1;
  receiver_ = nullptr;
}

std::shared_ptr<Connection> EventHttpConnections::Find(const UUID& connectionId) {
  CheckedLock hold(lock_);
  auto it = byId_.find(connectionId);
  return it == byId_.end() ? nullptr : it->second;
}

std::shared_ptr<Connection> EventHttpConnections::Find(uint64_t key) {
  CheckedLock hold(lock_);
  auto it = byKey_.find(key);
  return it == byKey_.end() ? nullptr : it->second;
}

bool EventHttpConnections::Pass() {
  if (stopping_.load()) return false;
  sock::EventSet::Ready ready[kMaxReady];
  const int n = events_.Wait(ready, kMaxReady, kTickMs);
  if (stopping_.load()) return false;
  if (n < 0) {
    // Would return at once again.
    GetDefaultScheduler()->Sleep(10);
    return true;
  }
  for (int i = 0; i < n; ++i) {
    if (ready[i].key == kWakeKey) continue;
    if (ready[i].key == kListenerKey) {
      Accept();
      continue;
    }
    if (std::shared_ptr<Connection> c = Find(ready[i].key)) {
      Serve(c, ready[i].events);
    }
  }
  const int64_t now = NowMs();
  int64_t due = nextTickMs_.load();
  if (now >= due && nextTickMs_.compare_exchange_strong(due, now + kTickMs)) Tick();
  return true;
}

void EventHttpConnections::ParkListener(int64_t untilMs) {
  parkedUntilMs_.store(untilMs);
  listenerParked_.store(true);
}

void EventHttpConnections::UnparkListener() {
  if (listenerParked_.exchange(false)) events_.Modify(listener_, sock::kPollReadable, kListenerKey, true);
}

bool EventHttpConnections::MakeRoom() {
  std::vector<std::shared_ptr<Connection>> all;
  {
    CheckedLock hold(lock_);
    all.reserve(byKey_.size());
    for (auto& entry : byKey_) all.push_back(entry.second);
  }
  // A connection whose answer is out has had what it came for: the one
  // lingering longest goes first.
  std::shared_ptr<Connection> lingering;
  Clock::time_point since = Clock::time_point::max();
  for (auto& c : all) {
    CheckedLock hold(c->lock);
    if (c->lingering && c->counted && !c->closing && !c->closed && c->lingerUntil < since) {
      since = c->lingerUntil;
      lingering = c;
    }
  }
  if (lingering) {
    CheckedLock hold(lingering->lock);
    if (lingering->counted && !lingering->closing && !lingering->closed) {
      MakeRoomFor(lingering.get(), NowMs() - lingering->lastBytesMs.load());
      return true;
    }
  }
  // The chooser names connections whose request is not complete. One whose
  // bytes are there but not read yet is getting somewhere, only this side
  // has not caught up: it is passed over (and not named again until its
  // bytes have been delivered).
  for (size_t asked = 0; asked <= all.size(); ++asked) {
    UUID victim;
    if (!chooser_->ChooseConnectionToClose(&victim)) break;
    std::shared_ptr<Connection> c = Find(victim);
    if (!c) continue;
    CheckedLock hold(c->lock);
    // One already on its way out has given its slot back.
    if (!c->counted || c->closing || c->closed) continue;
    if (!c->serving) {
      uint8_t byte = 0;
      if (sock::Peek(c->fd, &byte, 1) > 0) continue;
    } else {
      // Being read right now.
      continue;
    }
    MakeRoomFor(c.get(), NowMs() - c->lastBytesMs.load());
    return true;
  }
  // Every request is complete: a peer that has taken nothing of its answer
  // for a while makes room, the one stalled longest first, so that clients
  // that do not read cannot keep every slot until their answers time out.
  const Clock::time_point now = Clock::now();
  std::shared_ptr<Connection> stalled;
  Clock::time_point oldest = now - kStalledAnswer;
  for (auto& c : all) {
    CheckedLock hold(c->lock);
    if (!c->out.empty() && c->counted && !c->closing && !c->closed && c->lastProgress <= oldest) {
      oldest = c->lastProgress;
      stalled = c;
    }
  }
  if (!stalled) return false;
  CheckedLock hold(stalled->lock);
  if (stalled->out.empty() || !stalled->counted || stalled->closing || stalled->closed) return false;
  MakeRoomFor(stalled.get(),
              std::chrono::duration_cast<std::chrono::milliseconds>(now - stalled->lastProgress).count());
  return true;
}

void EventHttpConnections::MakeRoomFor(Connection* c, int64_t silentMs) {
  LogMakingRoom(c, silentMs);
  ShutDownLocked(c);
}

void EventHttpConnections::LogMakingRoom(const Connection* c, int64_t silentMs) {
  LOG_WARNING("All %d connection slots are held: closing connection %s (silent for %llu ms) for a waiting peer",
              held_.load(), c->id.ToString().c_str(), static_cast<unsigned long long>(std::max<int64_t>(0, silentMs)));
}

void EventHttpConnections::Accept() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    if (held_.load() >= kMaxConnections) {
      // Room is made only for a peer that is there.
      if (sock::WaitReadable(listener_, 0) != 1) break;
      if (!MakeRoom()) {
        // Tried again when a connection ends, or after a tick.
        ParkListener(NowMs() + kTickMs);
        return;
      }
    }
    uint32_t peer = 0;
    const int fd = sock::Accept(listener_, &peer, true);
    if (fd < 0) {
      const int error = sock::LastSocketError();
      if (sock::IsWouldBlock(error) || error == ECONNABORTED) break;
      LOG_SEVERE("Invalid socket returned on accept call. Error: %d", error);
      // Out of descriptors the listener stays readable: it rests a tick.
      ParkListener(NowMs() + kTickMs);
      return;
    }
    LOG_SPEW(1, "Socket accepted on port %d", static_cast<int>(port_));
    sock::SetNoDelay(fd, true);
    auto c = std::make_shared<Connection>();
    c->id.Generate();
    c->peer = peer;
    c->lastBytesMs.store(NowMs());
    uint16_t unusedPort = 0;
    sock::GetLocalAddress(fd, &c->local, &unusedPort);
    {
      CheckedLock hold(c->lock);
      c->fd = fd;
      // Served by this thread until it is armed below.
      c->serving = true;
    }
    held_.fetch_add(1);
    {
      CheckedLock hold(lock_);
      byId_.emplace(c->id, c);
      c->key = nextKey_++;
      byKey_.emplace(c->key, c);
    }
    LOG_SPEW(1, "Connection Created - Connection ID - %s", c->id.ToString().c_str());
    // Before the first chunk: the server starts the connection's clock.
    receiver_->OnConnectionEvent(c->id, TransportEvent_Connected);
    CheckedLock hold(c->lock);
    c->serving = false;
    if (c->closing || events_.Add(fd, sock::kPollReadable, c->key, true) != 0) {
      // Closed during the event, or never to be reported: finished here.
      c->closing = true;
      hold.Unlock();
      Finish(c);
    }
  }
  events_.Modify(listener_, sock::kPollReadable, kListenerKey, true);
}

void EventHttpConnections::ArmLocked(Connection* c) {
  if (c->serving || c->closed) return;
  int16_t events = 0;
  // Input that comes while a closing connection's answer goes out is read
  // and dropped as well: a peer blocked sending it would never read.
  const bool drop = DroppingLocked(c) && !c->peerDone && !c->closing;
  if (!c->out.empty()) {
    events = static_cast<int16_t>(sock::kPollWritable | (drop ? sock::kPollReadable : 0));
  } else if (drop || (c->reading && !c->closing)) {
    events = sock::kPollReadable;
  }
  // Errors and hang-ups are reported whatever is asked for.
  events_.Modify(c->fd, events, c->key, true);
}

void EventHttpConnections::ShutDownLocked(Connection* c) {
  if (c->closing || c->closed) return;
  c->closing = true;
  if (c->counted) {
    c->counted = false;
    held_.fetch_sub(1);
  }
  // Reported as a hang-up, to whichever thread then closes it.
  sock::Shutdown(c->fd);
}

bool EventHttpConnections::LingerLocked(Connection* c) {
  c->closeWhenSent = false;
  c->lingering = true;
  c->lingerUntil = Clock::now() + kLingerTime;
  // The end of the stream follows the answer; the peer's close ends ours.
  return sock::ShutdownSend(c->fd) == 0;
}

void EventHttpConnections::CloseNowOrLingerLocked(Connection* c) {
  // Nothing was sent, or the peer has gone: nothing can be lost.
  if (c->lastSerial == 0 || c->peerDone || !LingerLocked(c)) {
    ShutDownLocked(c);
    return;
  }
  ArmLocked(c);
}

bool EventHttpConnections::DropInput(Connection* c, int fd) {
  uint64_t n = 0;
  const int state = DropQueued(fd, &n);
  CheckedLock hold(c->lock);
  c->dropped += n;
  if (state != 0) c->peerDone = true;
  // A peer that is done while its answer still goes out waits for it.
  if (state == 1) return !c->lingering;
  return state == 0 && c->dropped <= kLingerBytes;
}

bool EventHttpConnections::FlushLocked(Connection* c) {
  while (!c->out.empty()) {
    Pending& p = *c->out.front();
    sock::ConsumeSlices(p.slices.data(), p.slices.size(), &p.next, 0);
    if (p.next < p.slices.size()) {
      const int64_t n = sock::SendGatherNow(c->fd, p.slices.data() + p.next, p.slices.size() - p.next);
      if (n <= 0) {
        const int error = sock::LastSocketError();
        if (n < 0 && sock::IsWouldBlock(error)) return true;
        uint64_t unsent = 0;
        for (size_t i = p.next; i < p.slices.size(); ++i) unsent += p.slices[i].size;
        LOG_SEVERE("Socket send error attempting to send %d bytes. Error: %d",
                   static_cast<int>(std::min<uint64_t>(unsent, 0x7FFFFFFF)), error);
        return false;
      }
      sock::ConsumeSlices(p.slices.data(), p.slices.size(), &p.next, static_cast<uint64_t>(n));
      c->lastProgress = Clock::now();
      continue;
    }
    c->sentSerial = p.serial;
    c->out.pop_front();
    c->deadline = Clock::now() + kWriteTimeout;
    c->sent.notify_all();
  }
  return true;
}

int EventHttpConnections::Write(const UUID& connectionId, IDataStream* data, bool synchronous) {
  if (!data) return static_cast<int>(Result_InvalidPointer);
  std::shared_ptr<Connection> c = Find(connectionId);
  if (!c) return static_cast<int>(Result_ConnectionNotFound);
  auto p = std::make_unique<Pending>();
  p->text = RefPtr<IDataStream>(data, true);
  std::vector<DataStreamSpan> spans;
  int result = GatherTextFrame(data, false, &p->storage, &spans);
  if (Failed(result)) return result;
  p->slices.reserve(spans.size());
  for (const DataStreamSpan& span : spans) p->slices.push_back({span.data, span.size});

  CheckedLock hold(c->lock);
  if (c->closed || c->closing || c->closeWhenSent || c->lingering) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Fail, "Socket closed.");
  }
  const uint64_t serial = p->serial = ++c->lastSerial;
  const bool wasEmpty = c->out.empty();
  if (wasEmpty) {
    c->deadline = Clock::now() + kWriteTimeout;
    c->lastProgress = Clock::now();
  }
  c->out.push_back(std::move(p));
  bool ok = true;
  if (wasEmpty) {
    ok = FlushLocked(c.get());
    if (ok && !c->out.empty()) ArmLocked(c.get());
  }
  const bool ownThread = t_serving == c.get();
  while (ok && synchronous && c->sentSerial < serial && !c->closed && !c->closing && !stopping_.load()) {
    if (ownThread) {
      // Its room is reported to nobody while this thread serves it.
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(c->deadline - Clock::now()).count());
      if (left <= 0) break;
      // Only this thread closes the descriptor: it stays valid unlocked.
      const int fd = c->fd;
      hold.Unlock();
      const int ready = sock::WaitWritable(fd, left);
      hold.Lock();
      if (ready != 1 || c->closed) break;
      ok = FlushLocked(c.get());
    } else {
      // Whichever thread serves its room sends the rest; a late write is
      // closed by the tick, which ends this wait as well.
      c->sent.wait_until(hold.Native(), c->deadline + std::chrono::milliseconds(kTickMs));
      if (Clock::now() > c->deadline + std::chrono::milliseconds(kTickMs)) break;
    }
  }
  if (!ok || (synchronous && c->sentSerial < serial)) {
    // Stopping drops what is queued; that is no failure of the peer.
    if (c->closed || stopping_.load()) return static_cast<int>(Result_ConnectionLost);
    ShutDownLocked(c.get());
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_ConnectionLost, "Socket write failure - Connection ID - %s",
                               connectionId.ToString().c_str());
  }
  return static_cast<int>(Result_Ok);
}

int EventHttpConnections::Close(const UUID& connectionId) {
  std::shared_ptr<Connection> c = Find(connectionId);
  if (!c) return static_cast<int>(Result_Ok);
  CheckedLock hold(c->lock);
  if (c->closed || c->closing || c->lingering) return static_cast<int>(Result_Ok);
  if (c->out.empty()) {
    CloseNowOrLingerLocked(c.get());
  } else {
    c->closeWhenSent = true;
    ArmLocked(c.get());
  }
  return static_cast<int>(Result_Ok);
}

void EventHttpConnections::Serve(const std::shared_ptr<Connection>& c, int16_t events) {
  bool finish = false;
  bool read = false;
  bool drop = false;
  int fd;
  {
    CheckedLock hold(c->lock);
    // Armed again by another thread's write just before its serving began:
    // the thread that serves it arms it when done.
    if (c->closed || c->serving) return;
    c->serving = true;
    fd = c->fd;
    const bool readable = (events & (sock::kPollReadable | sock::kPollHangUp)) != 0;
    if (c->closing || (events & sock::kPollError) != 0) {
      finish = true;
    } else {
      if (!c->out.empty() && (events & (sock::kPollWritable | sock::kPollHangUp)) != 0) {
        if (!FlushLocked(c.get())) finish = true;
      }
      if (!finish && c->out.empty() && c->closeWhenSent && (c->peerDone || !LingerLocked(c.get()))) finish = true;
      drop = !finish && DroppingLocked(c.get()) && !c->peerDone && readable;
      read = !finish && !drop && c->reading && c->out.empty() && readable;
      // A hang-up with nothing to read and nothing to send ends it.
      if (!finish && !read && !drop && (events & sock::kPollHangUp) != 0 && c->out.empty()) finish = true;
    }
  }
  if (drop && !DropInput(c.get(), fd)) finish = true;
  if (read) {
    uint8_t buffer[kRawReadSize];
    const int64_t n = sock::ReceiveNow(fd, buffer, sizeof(buffer));
    if (n > 0) {
      c->lastBytesMs.store(NowMs());
      // The handler of a request this completes runs here, on this thread.
      t_serving = c.get();
      receiver_->OnBytes(c->id, c->peer, c->local,
                         std::string_view(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n)));
      t_serving = nullptr;
    } else if (n == 0 || !sock::IsWouldBlock(sock::LastSocketError())) {
      // The peer is done sending (or failed); what is still owed to it
      // goes out first.
      CheckedLock hold(c->lock);
      if (n == 0 && !c->out.empty() && !c->closing) {
        c->reading = false;
        c->peerDone = true;
        c->closeWhenSent = true;
      } else {
        finish = true;
      }
    }
  }
  if (finish) {
    Finish(c);
    return;
  }
  CheckedLock hold(c->lock);
  c->serving = false;
  ArmLocked(c.get());
}

void EventHttpConnections::Finish(const std::shared_ptr<Connection>& c) {
  {
    CheckedLock hold(lock_);
    if (byKey_.erase(c->key) == 0) return;
    byId_.erase(c->id);
  }
  int fd;
  bool answered;
  {
    CheckedLock hold(c->lock);
    if (c->counted) {
      c->counted = false;
      held_.fetch_sub(1);
    }
    c->closed = true;
    fd = c->fd;
    c->fd = -1;
    c->sent.notify_all();
    answered = c->lastSerial != 0 && !c->peerDone && c->out.empty();
    if (!c->out.empty()) {
      // An answer given up (its peer took too little of it) is not left for
      // the system to deliver after the close: a peer that never reads
      // would keep it in memory for minutes.
      c->out.clear();
      sock::SetResetOnClose(fd);
    }
  }
  if (answered) {
    // Input left unread would make the close a reset, which drops what the
    // system has not sent of the answer yet.
    uint64_t unused = 0;
    DropQueued(fd, &unused);
  }
  events_.Remove(fd);
  sock::CloseSocket(fd);
  receiver_->OnConnectionEvent(c->id, TransportEvent_Disconnected);
  // The chooser names a connection until it has heard of its end: a peer
  // that found only such a one asks again now.
  UnparkListener();
}

void EventHttpConnections::Tick() {
  if (listenerParked_.load() && NowMs() >= parkedUntilMs_.load()) UnparkListener();
  std::vector<std::shared_ptr<Connection>> all;
  {
    CheckedLock hold(lock_);
    all.reserve(byId_.size());
    for (auto& entry : byId_) all.push_back(entry.second);
  }
  const Clock::time_point now = Clock::now();
  for (auto& c : all) {
    CheckedLock hold(c->lock);
    if (c->closing || c->closed) continue;
    if (c->lingering && now >= c->lingerUntil) {
      ShutDownLocked(c.get());
      continue;
    }
    if (c->out.empty() || now < c->deadline) continue;
    LOG_SEVERE("Socket write failure - Connection ID - %s", c->id.ToString().c_str());
    ShutDownLocked(c.get());
  }
}

}  // namespace

int CreateEventHttpConnections(uint32_t bindAddress, uint16_t port, IHttpConnections** out) {
  if (!out) return static_cast<int>(Result_InvalidPointer);
  *out = new EventHttpConnections(bindAddress, port);
  return static_cast<int>(Result_Ok);
}

}  // namespace corvane
