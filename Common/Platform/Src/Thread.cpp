#include "Thread.h"

#include "PlatformThread.h"
#include "Result.h"

namespace corvane {

Thread::Thread() : thread_(GetDefaultScheduler()->CreateThread(this, -1, false)) {}

// A backstop only: by now the derived part is gone, so a pass still running
// would see a half-destroyed object. Derived destructors stop first.
Thread::~Thread() {
  if (thread_) thread_->Stop();
}

void Thread::Start(uint32_t timeoutMs) {
  if (thread_) thread_->ThreadStart(timeoutMs);
}

int Thread::Stop() { return thread_ ? thread_->Stop() : Result_Ok; }

void Thread::Terminate() {
  if (thread_) thread_->Terminate();
}

void Thread::Wake() {
  if (thread_) thread_->Wake();
}

int Thread::SetPriority(int priority) { return thread_ ? thread_->SetPriority(priority) : 0; }

void Thread::SetName(const char* name) {
  if (thread_) thread_->SetName(name);
}

bool Thread::IsRunning() { return thread_ && thread_->IsRunning(); }

bool IsCurrentThread(Scheduler::Thread* thread) {
  auto* t = dynamic_cast<platform::Thread*>(thread);
  return t && t->IsCurrent();
}

}  // namespace corvane
