#include "PlatformThread.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "Clock.h"
#include "Logger.h"
#include "NativeThreadPool.h"
#include "Result.h"
#include "Thread.h"

namespace corvane {

void SetCurrentThreadName(const char* name) {
  if (!name || !*name) return;
  // Longer names are refused outright (ERANGE); the first 15 characters
  // still say the role.
  char shortName[16] = {};
  std::strncpy(shortName, name, sizeof shortName - 1);
  // A pooled thread taken again for the same role keeps its name without a
  // system call.
  thread_local char current[16] = {};
  if (std::strcmp(current, shortName) == 0) return;
  if (pthread_setname_np(pthread_self(), shortName) == 0) std::memcpy(current, shortName, sizeof current);
}

}  // namespace corvane

namespace corvane::platform {

struct Thread::State {
  Scheduler::Runnable* runnable = nullptr;
  bool deleteRunnableOnExit = false;
  std::unique_ptr<Scheduler::Mutex> runMutex;
  std::unique_ptr<Scheduler::Event> wake;
  std::atomic<bool> stop{false};
  std::atomic<bool> noWait{false};
  // Set when the object is destroyed while its thread still runs (from the
  // thread itself): the runnable may be gone with it.
  std::atomic<bool> ownerGone{false};
  std::atomic<uint64_t> busySince{0};
  std::atomic<uint32_t> threadId{0};
};

namespace {

thread_local const Thread::State* t_currentState = nullptr;

void* Trampoline(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

// The process-wide set of started threads. Nothing reads it; it exists so a
// debugger can list every thread object.
class ThreadRegistry {
 public:
  static ThreadRegistry& Instance() {
    static ThreadRegistry* const instance = new ThreadRegistry();
    return *instance;
  }
  void Add(Thread* t) {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.insert(t);
  }
  void Remove(Thread* t) {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.erase(t);
  }

 private:
  std::mutex mutex_;
  std::set<Thread*> threads_;
};

}  // namespace

int StartNativeThread(std::function<void()> body, pthread_t* out) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kNativeStackSize);
  auto* heapBody = new std::function<void()>(std::move(body));
  const int rc = pthread_create(out, &attr, Trampoline, heapBody);
  pthread_attr_destroy(&attr);
  if (rc != 0) delete heapBody;
  return rc;
}

Thread::Thread(Scheduler::Runnable* runnable, bool deleteRunnableOnExit) : state_(std::make_shared<State>()) {
  Scheduler* scheduler = GetDefaultScheduler();
  state_->runnable = runnable;
  state_->deleteRunnableOnExit = deleteRunnableOnExit;
  state_->runMutex.reset(scheduler->CreateMutex());
  state_->wake.reset(scheduler->CreateEvent(false, false));
}

Thread::~Thread() {
  if (IsCurrent()) {
    // Nobody is left to join this thread: it ends on its own after the
    // current pass, without touching the runnable again. (A Stop made just
    // before, by the worker's own destructor, has already said so.)
    if (!state_->stop.exchange(true)) {
      LOG_SEVERE("Thread object destroyed on its own thread; not waiting for it to end");
    }
    state_->ownerGone.store(true);
    std::lock_guard<std::mutex> lock(control_);
    if (!joining_) run_.reset();
  } else {
    Stop();
  }
  ThreadRegistry::Instance().Remove(this);
}

bool Thread::IsCurrent() const { return t_currentState == state_.get(); }

void Thread::Routine(const std::shared_ptr<State>& s, const std::shared_ptr<Scheduler::Event>& started,
                     const std::string& name) {
  // Pooled threads serve one owner after another: each run names its own.
  SetCurrentThreadName(name.c_str());
  t_currentState = s.get();
  s->threadId.store(CachedThreadId());
  // Copied now: after the loop the object (and with it the runnable) may be
  // gone.
  Scheduler::Runnable* const runnable = s->runnable;
  const bool deleteRunnable = s->deleteRunnableOnExit;

  const bool ok = runnable->OnStart();
  started->Set();
  if (ok) {
    bool runnableGone = false;
    while (!s->stop.load()) {
      s->runMutex->Lock(kInfinite);
      s->busySince.store(std::max<uint64_t>(TickCount64(), 1));
      const bool more = runnable->Run();
      s->busySince.store(0);
      s->runMutex->Unlock();
      if (s->ownerGone.load() && !deleteRunnable) {
        runnableGone = true;
        break;
      }
      if (s->stop.load()) break;
      if (more) {
        // A wake during the pass is covered by the pass that follows now.
        s->wake->Reset();
        continue;
      }
      if (!s->noWait.load()) s->wake->Wait(kInfinite);
    }
    if (!runnableGone) runnable->OnStop();
  }
  if (deleteRunnable) delete runnable;
  t_currentState = nullptr;
}

void Thread::ThreadStart(uint32_t timeoutMs) {
  if (IsCurrent()) return;  // running, by definition
  std::unique_lock<std::mutex> lock(control_);
  controlCv_.wait(lock, [this] { return !joining_; });
  if (run_) return;
  state_->stop.store(false);
  state_->noWait.store(false);
  // One started signal per start: a Start racing a Stop and another Start
  // must not take the signal meant for another caller.
  std::shared_ptr<Scheduler::Event> started(GetDefaultScheduler()->CreateEvent(true, false));
  // The first pass runs anyway; a wake left over from before (Stop wakes the
  // old loop) must not add a second one.
  state_->wake->Reset();
  std::shared_ptr<State> s = state_;
  const int err =
      NativeThreadPool::Instance().Run([s, started, name = name_] { Routine(s, started, name); }, &run_);
  if (err != 0) {
    lock.unlock();
    LOG_SEVERE("Unable to create thread, error code: %u", static_cast<unsigned>(err));
    return;
  }
  running_.store(true);
  lock.unlock();
  started->Wait(timeoutMs);
  ThreadRegistry::Instance().Add(this);
}

int Thread::Stop() {
  if (IsCurrent()) {
    // Waiting here would wait for ever. The loop ends after this pass; the
    // handle is kept so that the owner can still join from another thread.
    state_->stop.store(true);
    LOG_SEVERE("Thread stop called on the thread itself; not waiting for it to end");
    return Result_Ok;
  }
  std::unique_lock<std::mutex> lock(control_);
  controlCv_.wait(lock, [this] { return !joining_; });
  // Under the lock, so that a Start racing this Stop cannot clear the flag
  // of the thread about to be joined.
  state_->stop.store(true);
  state_->wake->Set();
  if (!run_) return Result_Ok;
  joining_ = true;
  const std::shared_ptr<NativeRun> run = run_;
  lock.unlock();
  run->Wait();
  lock.lock();
  run_.reset();
  joining_ = false;
  running_.store(false);
  controlCv_.notify_all();
  return Result_Ok;
}

// There is no safe way to kill a thread that may hold locks or unwind C++
// frames half-way; the thread is asked to stop and left to end on its own.
void Thread::Terminate() {
  RequestStop();
  state_->wake->Set();
  if (IsCurrent()) return;
  std::lock_guard<std::mutex> lock(control_);
  if (!run_ || joining_) return;
  run_.reset();
  running_.store(false);
}

void Thread::Wake() {
  if (running_.load()) state_->wake->Set();
}

int Thread::SetPriority(int /*priority*/) { return running_.load() ? 1 : 0; }

void Thread::SetTag(int tag) { tag_.store(tag, std::memory_order_relaxed); }

void Thread::SetName(const char* name) {
  std::lock_guard<std::mutex> lock(control_);
  name_ = name ? name : "";
}

void Thread::GetStatus(uint64_t* threadId, uint64_t* busyMs, std::string* trace) {
  if (threadId) *threadId = state_->threadId.load();
  if (busyMs) {
    const uint64_t since = state_->busySince.load();
    const uint64_t now = TickCount64();
    *busyMs = (since == 0 || now < since) ? 0 : now - since;
  }
  if (trace) *trace = "trace not available";
}

bool Thread::IsRunning() { return running_.load(); }

// Also wakes an idle thread, so that it ends now rather than at the next Wake.
void Thread::RequestStop() {
  state_->noWait.store(true);
  state_->stop.store(true);
  state_->wake->Set();
}

bool Thread::IsStopRequested() { return state_->stop.load(); }

Scheduler::Runnable* Thread::GetRunnable() { return state_->runnable; }

}  // namespace corvane::platform
