#include "NativeThreadPool.h"


#include <algorithm>

#include "ProcessStatistics.h"
#include "Thread.h"

namespace corvane::platform {

struct NativeThreadPool::Worker {
  // The hand-over's own lock: the thread waking up takes this one, not the
  // pool's, which the next hand-over or parking thread may hold.
  std::mutex mutex;
  std::condition_variable wake;
  std::function<void()> body;
  std::shared_ptr<NativeRun> run;
  bool closing = false;
  pthread_t self{};
  // Set by Shutdown, which then joins the thread itself.
  bool joinedByShutdown = false;
};

void NativeRun::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return finished_; });
}

void NativeRun::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  done_.notify_all();
}

NativeThreadPool& NativeThreadPool::Instance() {
  // Never destroyed: threads still running at exit may come back to it.
  static NativeThreadPool* const pool = [] {
    auto* made = new NativeThreadPool();
    // A forked child has none of the parent's parked threads.
    pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                   [] {
                     NativeThreadPool& self = Instance();
                     self.idle_.clear();
                     self.ended_.clear();
                     self.mutex_.unlock();
                   });
    return made;
  }();
  static const struct AtExit {
    ~AtExit() { pool->Shutdown(); }
  } atExit;
  return *pool;
}

int NativeThreadPool::Run(std::function<void()> body, std::shared_ptr<NativeRun>* run) {
  auto handed = std::make_shared<NativeRun>();
  std::vector<pthread_t> ended;
  std::shared_ptr<Worker> parked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended.swap(ended_);
    if (!idle_.empty()) {
      parked = idle_.back();
      idle_.pop_back();
    }
  }
  if (parked) {
    // Off the idle list, the worker waits only for this body: it neither
    // ends nor is taken by Shutdown until the body is there.
    {
      std::lock_guard<std::mutex> lock(parked->mutex);
      parked->body = std::move(body);
      parked->run = handed;
    }
    // Held here, so the signal may follow the unlock and wake the worker
    // straight into a free lock.
    parked->wake.notify_one();
  }
  // Threads that ended have returned or are about to: the join is short.
  for (pthread_t handle : ended) pthread_join(handle, nullptr);
  if (!parked) {
    auto worker = std::make_unique<std::shared_ptr<Worker>>(std::make_shared<Worker>());
    (*worker)->body = std::move(body);
    (*worker)->run = handed;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kNativeStackSize);
    pthread_t handle;
    const int rc = pthread_create(&handle, &attr, Main, worker.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return rc;
    worker.release();  // the thread's own from now on
  }
  *run = std::move(handed);
  return 0;
}

void* NativeThreadPool::Main(void* arg) {
  std::unique_ptr<std::shared_ptr<Worker>> worker(static_cast<std::shared_ptr<Worker>*>(arg));
  Instance().Serve(*worker);
  return nullptr;
}

void NativeThreadPool::Serve(const std::shared_ptr<Worker>& worker) {
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->self = pthread_self();
  }
  for (;;) {
    std::function<void()> body;
    std::shared_ptr<NativeRun> run;
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      body = std::move(worker->body);
      run = std::move(worker->run);
    }
    body();
    // What the body captured goes before anyone waiting hears it is done.
    body = nullptr;
    run->Finish();
    run.reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_ || idle_.size() >= kMaxIdle) break;
      idle_.push_back(worker);
    }
    std::unique_lock<std::mutex> lock(worker->mutex);
    auto handedOver = [&] { return worker->body || worker->closing; };
    bool handed = worker->wake.wait_for(lock, kRenameAfter, handedOver);
    if (!handed) {
      // Parked for a while, the thread no longer plays the last body's
      // role. Not sooner: a thread taken again at once (short connections
      // one after another) would pay two renames for each.
      lock.unlock();
      SetCurrentThreadName("pool-idle");
      lock.lock();
      handed = worker->wake.wait_for(lock, kIdleKeep - kRenameAfter, handedOver);
    }
    if (handed && worker->body) continue;
    lock.unlock();
    std::unique_lock<std::mutex> poolLock(mutex_);
    auto listed = std::find(idle_.begin(), idle_.end(), worker);
    if (listed != idle_.end()) {
      idle_.erase(listed);
      // The last parked thread to go has had no body for kIdleKeep: the
      // pool is quiet. A burst of connections spread its buffers over
      // many threads' arenas, and what they freed there stays resident
      // until given back; now it is.
      const bool quiet = idle_.empty() && !closing_;
      poolLock.unlock();
      if (quiet) ReleaseFreeMemory();
      break;
    }
    // Taken off the list meanwhile: by Shutdown (which joins this thread)
    // or by a hand-over whose body is on its way.
    if (worker->joinedByShutdown) break;
    std::unique_lock<std::mutex> relock(worker->mutex);
    worker->wake.wait(relock, [&] { return static_cast<bool>(worker->body); });
  }
  std::lock_guard<std::mutex> poolLock(mutex_);
  if (worker->joinedByShutdown) return;
  if (closing_) {
    // Nobody joins after the shutdown.
    pthread_detach(worker->self);
  } else {
    ended_.push_back(worker->self);
  }
}

void NativeThreadPool::Shutdown() {
  std::vector<pthread_t> joins;
  std::vector<std::shared_ptr<Worker>> woken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    for (const std::shared_ptr<Worker>& worker : idle_) {
      worker->joinedByShutdown = true;
      joins.push_back(worker->self);
      woken.push_back(worker);
    }
    idle_.clear();
    joins.insert(joins.end(), ended_.begin(), ended_.end());
    ended_.clear();
  }
  // Each parked worker stays until it has been joined below.
  for (const std::shared_ptr<Worker>& worker : woken) {
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      worker->closing = true;
    }
    worker->wake.notify_one();
  }
  for (pthread_t handle : joins) pthread_join(handle, nullptr);
}

}  // namespace corvane::platform
