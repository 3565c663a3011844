#include "DeletionThread.h"

#include <atomic>
#include <memory>
#include <vector>

#include "Locks.h"
#include "Scheduler.h"
#include "Thread.h"

namespace corvane {
namespace {

std::atomic<uint32_t> g_deletionThreadId{0};

class DeletionThread final : public Thread {
 public:
  ~DeletionThread() override { Stop(); }
  bool OnStart() override {
    g_deletionThreadId.store(CurrentThreadId());
    return true;
  }
  bool ThreadFunc() override;
};

// Made on first use and never destroyed: the thread runs until the process
// ends, and objects still queued then are left alone.
struct DeletionQueue {
  std::unique_ptr<Scheduler::Monitor> monitor{GetDefaultScheduler()->CreateMonitor()};
  std::vector<IRefCount*> pending;
  DeletionThread* thread = nullptr;
};

DeletionQueue& Queue() {
  static DeletionQueue* const queue = new DeletionQueue();
  return *queue;
}

bool DeletionThread::ThreadFunc() {
  DeletionQueue& q = Queue();
  std::vector<IRefCount*> batch;
  {
    MonitorGuard guard(q.monitor.get());
    batch.swap(q.pending);
  }
  // Outside the monitor: a destructor may itself queue a deferred deletion.
  for (IRefCount* object : batch) object->Destroy();
  return false;
}

}  // namespace

void DeleteOnDeletionThread(IRefCount* object) {
  if (!object) return;
  DeletionQueue& q = Queue();
  MonitorGuard guard(q.monitor.get());
  q.pending.push_back(object);
  if (!q.thread) {
    q.thread = new DeletionThread();
    q.thread->SetName("deferred-del");
    q.thread->Start(kInfinite);
  }
  q.thread->Wake();
}

uint32_t DeletionThreadId() { return g_deletionThreadId.load(); }

}  // namespace corvane
