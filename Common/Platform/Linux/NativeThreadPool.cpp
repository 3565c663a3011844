#include "NativeThreadPool.h"

#include <algorithm>

namespace corvane::platform {

struct NativeThreadPool::Worker {
  std::condition_variable wake;
  std::function<void()> body;
  std::shared_ptr<NativeRun> run;
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
  Worker* parked = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended.swap(ended_);
    if (!idle_.empty()) {
      parked = idle_.back();
      idle_.pop_back();
      parked->body = std::move(body);
      parked->run = handed;
      parked->wake.notify_one();
    }
  }
  // Threads that ended have returned or are about to: the join is short.
  for (pthread_t handle : ended) pthread_join(handle, nullptr);
  if (!parked) {
    auto worker = std::make_unique<Worker>();
    worker->body = std::move(body);
    worker->run = handed;
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
  std::unique_ptr<Worker> worker(static_cast<Worker*>(arg));
  Instance().Serve(worker.get());
  return nullptr;
}

void NativeThreadPool::Serve(Worker* worker) {
  std::unique_lock<std::mutex> lock(mutex_);
  worker->self = pthread_self();
  for (;;) {
    std::function<void()> body = std::move(worker->body);
    std::shared_ptr<NativeRun> run = std::move(worker->run);
    lock.unlock();
    body();
    // What the body captured goes before anyone waiting hears it is done.
    body = nullptr;
    run->Finish();
    run.reset();
    lock.lock();
    if (closing_ || idle_.size() >= kMaxIdle) break;
    idle_.push_back(worker);
    const bool handed = worker->wake.wait_for(lock, kIdleKeep, [&] { return worker->body || closing_; });
    if (!handed || !worker->body) {
      // Still listed unless Shutdown took it.
      idle_.erase(std::remove(idle_.begin(), idle_.end(), worker), idle_.end());
      break;
    }
  }
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    for (Worker* worker : idle_) {
      worker->joinedByShutdown = true;
      joins.push_back(worker->self);
      worker->wake.notify_one();
    }
    idle_.clear();
    joins.insert(joins.end(), ended_.begin(), ended_.end());
    ended_.clear();
  }
  for (pthread_t handle : joins) pthread_join(handle, nullptr);
}

}  // namespace corvane::platform
