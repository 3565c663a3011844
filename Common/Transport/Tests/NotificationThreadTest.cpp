#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "DataStream.h"
#include "NotificationThread.h"
#include "TransportTestSupport.h"

namespace corvane {
namespace {

using test::WaitUntil;

class Receiver final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  int OnDataReady(const UUID&, const UUID& type, IDataStream* data) override {
    std::string bytes;
    uint32_t size = 0;
    data->GetSize(&size);
    bytes.resize(size);
    data->Read(bytes.data(), size);
    std::lock_guard<std::mutex> g(m_);
    messages_.push_back(bytes);
    types_.push_back(type);
    threads_.push_back(std::this_thread::get_id());
    return 0;
  }
  int OnEvent(const UUID&, int event) override {
    events_.fetch_add(1 + event * 100);
    return 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(m_);
    return messages_.size();
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> g(m_);
    return messages_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> g(m_);
    return threads_;
  }
  std::atomic<int> events_{0};

 private:
  std::mutex m_;
  std::vector<std::string> messages_;
  std::vector<UUID> types_;
  std::vector<std::thread::id> threads_;
};

class Task final : public ITransport::PostReceiveTask, public IRefCountImpl {
 public:
  void Run() override { runs.fetch_add(1); }
  std::atomic<int> runs{0};
};

// Hands out `task` with every message and then passes, refuses or consumes.
class Hook final : public ITransport::IDataHook, public IRefCountImpl {
 public:
  enum Mode { Pass, Refuse, Consume };
  Hook(Task* task, Mode mode) : task_(task), mode_(mode) {}
  int PreOnDataReady(const UUID&, UUID* type, IDataStream** data, ITransport::PostReceiveTask** task) override {
    task_->AddRef();
    *task = task_;
    *type = UUID("aaaaaaaa-0000-0000-0000-000000000001");
    if (mode_ == Refuse) return -5;
    if (mode_ == Consume) {
      (*data)->Release();
      *data = nullptr;
    }
    return 0;
  }

 private:
  Task* task_;
  Mode mode_;
};

RefPtr<IDataStream> Message(const std::string& bytes) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return s;
}

struct Case {
  bool async;
  int receivers;
  Hook::Mode mode;
  int expectedResult;
  int expectedRuns;
  size_t expectedDeliveries;  // per receiver
};

TEST(NotificationThread, PostReceiveTaskRunsAsOftenAsEachModeSays) {
  const std::vector<Case> cases = {
      {false, 0, Hook::Pass, 0, 1, 0},    {false, 2, Hook::Pass, 0, 1, 1},   {true, 0, Hook::Pass, 0, 0, 0},
      {true, 2, Hook::Pass, 0, 2, 1},     {true, 1, Hook::Pass, 0, 1, 1},    {false, 2, Hook::Refuse, -5, 1, 0},
      {true, 2, Hook::Refuse, -5, 1, 0},  {false, 2, Hook::Consume, 0, 1, 0}, {true, 2, Hook::Consume, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.async << " " << c.receivers << " " << c.mode);
    RefPtr<NotificationThread> thread(new NotificationThread(c.async), false);
    ASSERT_EQ(Result_Ok, thread->Initialize());
    RefPtr<Task> task(new Task(), false);
    RefPtr<Hook> hook(new Hook(task.Get(), c.mode), false);
    ASSERT_EQ(Result_Ok, thread->SetDataHook(hook.Get()));
    RefPtr<Hook> second(new Hook(task.Get(), Hook::Pass), false);
    EXPECT_EQ(Result_Fail, thread->SetDataHook(second.Get()));
    std::vector<RefPtr<Receiver>> receivers;
    for (int i = 0; i < c.receivers; ++i) {
      receivers.emplace_back(new Receiver(), false);
      thread->AddNotify(receivers.back().Get());
      thread->AddNotify(receivers.back().Get());  // still once
    }
    RefPtr<IDataStream> data = Message("hello");
    uint8_t first = 0;
    data->ReadUInt8(&first);  // receivers see the rest, each from its start
    EXPECT_EQ(c.expectedResult, thread->OnDataReady(UUID(), UUID(), data.Get()));
    const int runs = c.expectedRuns;
    EXPECT_TRUE(WaitUntil([&] { return task->runs.load() >= runs; }, 10000));
    for (auto& r : receivers) {
      EXPECT_TRUE(WaitUntil([&] { return r->Count() >= c.expectedDeliveries; }, 10000));
    }
    // Every reference the deliveries took is given back.
    EXPECT_TRUE(WaitUntil([&] { return task->GetRefCount() == 1 && data->GetRefCount() == 1; }, 10000));
    EXPECT_EQ(c.expectedRuns, task->runs.load());
    for (auto& r : receivers) {
      EXPECT_EQ(c.expectedDeliveries, r->Count());
      if (c.expectedDeliveries > 0) {
        EXPECT_EQ("ello", r->Messages()[0]);
        EXPECT_EQ(c.async, r->Threads()[0] != std::this_thread::get_id());
      }
      EXPECT_TRUE(WaitUntil([&] { return r->GetRefCount() == 1; }, 10000));
      thread->RemoveNotify(r.Get());
    }
    EXPECT_EQ(Result_Ok, thread->SetDataHook(nullptr));
  }
}

TEST(NotificationThread, EventsAreDirectAndDestructionReleasesQueuedItems) {
  RefPtr<Receiver> receiver(new Receiver(), false);
  RefPtr<Task> task(new Task(), false);
  RefPtr<Hook> hook(new Hook(task.Get(), Hook::Pass), false);
  RefPtr<IDataStream> data = Message("x");
  {
    // Never started: the items stay queued until destruction.
    RefPtr<NotificationThread> thread(new NotificationThread(true), false);
    thread->SetDataHook(hook.Get());
    thread->AddNotify(receiver.Get());
    EXPECT_EQ(Result_Ok, thread->OnEvent(UUID(), TransportEvent_Disconnected));
    EXPECT_EQ(101, receiver->events_.load());
    for (int i = 0; i < 3; ++i) thread->OnDataReady(UUID(), UUID(), data.Get());
    EXPECT_EQ(4, receiver->GetRefCount());
    EXPECT_EQ(4, task->GetRefCount());
  }
  EXPECT_EQ(0u, receiver->Count());
  EXPECT_EQ(0, task->runs.load());
  EXPECT_EQ(1, receiver->GetRefCount());
  EXPECT_EQ(1, task->GetRefCount());
  EXPECT_EQ(1, data->GetRefCount());
}

TEST(NotificationThread, ConcurrentReceiversAndDeliveries) {
  RefPtr<NotificationThread> thread(new NotificationThread(true), false);
  ASSERT_EQ(Result_Ok, thread->Initialize());
  RefPtr<Receiver> steady(new Receiver(), false);
  thread->AddNotify(steady.Get());
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      RefPtr<Receiver> passing(new Receiver(), false);
      thread->AddNotify(passing.Get());
      thread->OnEvent(UUID(), TransportEvent_Connected);
      thread->RemoveNotify(passing.Get());
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < 200; ++i) thread->OnDataReady(UUID(), UUID(), Message("m").Get());
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(WaitUntil([&] { return steady->Count() == 600; }, 20000));
  stop.store(true);
  churn.join();
  thread->RemoveAllNotify();
}

}  // namespace
}  // namespace corvane
