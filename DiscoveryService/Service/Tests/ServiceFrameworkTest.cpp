// The service framework: the control table, the order of status reports
// around the hooks, and the dispatcher that turns SIGTERM and SIGINT into the
// stop control.
//
// Signals are sent to this test's own thread with pthread_kill while that
// thread blocks them, so that they reach the dispatcher's signalfd and no
// other thread of the test process.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Result.h"
#include "Service.h"
#include "ServiceControl.h"
#include "ServiceTestSupport.h"

namespace corvane {

namespace {

// Records every hook, status report and worker event in order.
class RecordingService : public ServiceImpl {
 public:
  ~RecordingService() override { Stop(); }

  std::string GetServiceName() override { return "Recording Service"; }
  std::string GetDisplayName() override { return "Recording Service"; }
  std::string GetDescription() override { return "Records what the framework does"; }

  bool ThreadFunc() override {
    Record("run");
    if (onRun) onRun();
    return false;
  }
  bool OnStop() override {
    Record("thread-end");
    return ServiceImpl::OnStop();
  }

  void OnServiceStop() override {
    Record("stop");
    if (onServiceStop) onServiceStop();
  }
  void OnPause() override { Record("pause"); }
  void OnContinue() override { Record("continue"); }
  void OnInterrogate() override { Record("interrogate"); }
  void OnShutdown() override { Record("shutdown"); }
  void OnPreShutdown() override { Record("preshutdown"); }
  void OnDeviceEvent(uint32_t type, void* data) override { Record("device", type, data); }
  void OnHardwareProfileChange(uint32_t type) override { Record("hardware", type); }
  void OnPowerEvent(uint32_t type, void* data) override { Record("power", type, data); }
  void OnSessionChange(uint32_t type, void* data) override { Record("session", type, data); }
  void OnTimeChange(void* data) override { Record("time", 0, data); }
  void OnCustomControl(uint32_t type, void* data) override { Record("custom", type, data); }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
  }
  size_t Count(const std::string& event) {
    auto all = Events();
    return static_cast<size_t>(std::count(all.begin(), all.end(), event));
  }

  std::function<void()> onRun;
  std::function<void()> onServiceStop;
  // With forward clear, reports go only to this record (a fake service
  // manager that accepts every report).
  bool forward = true;
  // Reports the service manager did not take (forward set).
  std::atomic<int> lostReports{0};

 protected:
  bool SetServiceStatus(const ServiceStatus& status) override {
    Record("status " + std::to_string(status.currentState));
    if (!forward) return true;
    bool taken = ServiceImpl::SetServiceStatus(status);
    if (!taken) lostReports.fetch_add(1);
    return taken;
  }

 private:
  void Record(const std::string& event) {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(event);
  }
  void Record(const std::string& hook, uint32_t type, void* data = nullptr) {
    Record(hook + " " + std::to_string(type) + " " + std::to_string(reinterpret_cast<uintptr_t>(data)));
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
};

RecordingService* g_service = nullptr;

using Events = std::vector<std::string>;

}  // namespace

int GetServiceObject(IService** out) {
  if (g_service == nullptr) return Result_Fail;
  g_service->AddRef();
  *out = g_service;
  return Result_Ok;
}

namespace {

class ServiceFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.Attach(new RecordingService);
    service_->forward = false;
  }
  void TearDown() override { service_.Reset(); }

  RefPtr<RecordingService> service_;
};

TEST_F(ServiceFrameworkTest, ControlTableSendsEachCodeToItsHook) {
  void* data = reinterpret_cast<void*>(0x1234);
  struct Case {
    uint32_t control;
    std::string event;
  };
  const std::vector<Case> cases = {
      {0, "custom 7 4660"},        {4, "interrogate"},        {6, "custom 7 4660"},
      {7, "custom 7 4660"},        {10, "custom 7 4660"},     {11, "device 7 4660"},
      {12, "hardware 7 0"},        {13, "power 7 4660"},      {14, "session 7 4660"},
      {15, "preshutdown"},         {16, "time 0 4660"},       {17, "custom 7 4660"},
      {255, "custom 7 4660"},      {0xFFFFFFFFu, "custom 7 4660"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    EXPECT_EQ(HandlerEx(c.control, 7, data, static_cast<IService*>(service_.Get())), 0u);
    EXPECT_EQ(service_->Events().back(), c.event);
  }
  // None of these reports a status.
  EXPECT_EQ(service_->Events().size(), cases.size());
}

TEST_F(ServiceFrameworkTest, StopReportsAroundTheHookThenEndsTheWorker) {
  service_->Start(kInfinite);
  ASSERT_TRUE(test::WaitUntil([&] { return service_->Count("run") == 1; }, std::chrono::seconds(10)));

  EXPECT_EQ(HandlerEx(ServiceControl_Stop, 0, nullptr, static_cast<IService*>(service_.Get())), 0u);
  EXPECT_EQ(service_->Events(), (Events{"run", "status 3", "stop", "status 1", "thread-end"}));
  EXPECT_FALSE(service_->IsRunning());
  EXPECT_EQ(service_->GetStatus().currentState, ServiceState_Stopped);
  service_->WaitForStop();  // the worker's end has set the event

  // A repeated stop runs the hook again and harms nothing.
  service_->HandleControl(ServiceControl_Stop, 0, nullptr);
  EXPECT_EQ(service_->Count("stop"), 2u);
}

TEST_F(ServiceFrameworkTest, PauseAndContinueOnlyReport) {
  service_->Start(kInfinite);
  EXPECT_EQ(service_->HandleControl(ServiceControl_Pause, 0, nullptr), 1u);
  EXPECT_EQ(service_->GetStatus().currentState, ServiceState_Paused);
  EXPECT_TRUE(service_->IsRunning());
  EXPECT_EQ(service_->HandleControl(ServiceControl_Continue, 0, nullptr), 1u);
  EXPECT_EQ(service_->GetStatus().currentState, ServiceState_Running);
  Events events = service_->Events();
  events.erase(std::remove(events.begin(), events.end(), "run"), events.end());
  EXPECT_EQ(events, (Events{"pause", "status 7", "continue", "status 4"}));
}

TEST_F(ServiceFrameworkTest, ShutdownEndsTheWorkerWithoutReportOrStopHook) {
  service_->Start(kInfinite);
  ASSERT_TRUE(test::WaitUntil([&] { return service_->Count("run") == 1; }, std::chrono::seconds(10)));
  service_->HandleControl(ServiceControl_Shutdown, 0, nullptr);
  EXPECT_EQ(service_->Events(), (Events{"run", "shutdown", "thread-end"}));
  EXPECT_FALSE(service_->IsRunning());
  service_->WaitForStop();
}

TEST_F(ServiceFrameworkTest, StopBeforeStartKeepsTheWorkerFromStarting) {
  service_->HandleControl(ServiceControl_Stop, 0, nullptr);
  service_->Start(kInfinite);
  EXPECT_FALSE(service_->IsRunning());
  service_->WaitForStop();  // set although no worker ever ran
  EXPECT_EQ(service_->Events(), (Events{"status 3", "stop", "status 1"}));
}

TEST_F(ServiceFrameworkTest, StatusRecordBeforeAndAfterRegistering) {
  ServiceStatus initial = service_->GetStatus();
  EXPECT_EQ(initial.serviceType, 0x30u);
  EXPECT_EQ(initial.currentState, ServiceState_StartPending);
  EXPECT_EQ(initial.controlsAccepted, 1u);

  // No dispatcher runs: the handler cannot be registered and RUNNING is not
  // reported.
  service_->forward = true;
  EXPECT_FALSE(service_->RegisterHandler());
  ServiceStatus registered = service_->GetStatus();
  EXPECT_EQ(registered.serviceType, 16u);
  EXPECT_EQ(registered.currentState, ServiceState_StartPending);
  EXPECT_EQ(registered.controlsAccepted, 0x1FFu);
  EXPECT_TRUE(service_->Events().empty());
}

// Runs with SIGTERM and SIGINT blocked on this thread, the way main runs.
class DispatcherTest : public ServiceFrameworkTest {
 protected:
  void SetUp() override {
    ServiceFrameworkTest::SetUp();
    service_->forward = true;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, &savedMask_);
    self_ = pthread_self();
  }
  void TearDown() override {
    g_service = nullptr;
    // Nothing may stay pending for this thread once the mask is restored.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    unsetenv("NOTIFY_SOCKET");
    ServiceFrameworkTest::TearDown();
  }

  void SendToSelf(int signo) { pthread_kill(self_, signo); }

  sigset_t savedMask_;
  pthread_t self_;
};

TEST_F(DispatcherTest, ConsoleRunStopsOnSigtermOnceAndNotifies) {
  test::TempFolder folder;
  test::NotifySocket notify(folder / "notify");
  ASSERT_TRUE(notify.Bound());
  setenv("NOTIFY_SOCKET", (folder / "notify").c_str(), 1);

  service_->onRun = [this] { SendToSelf(SIGTERM); };
  // A second stop while the first is handled is refused: the service is
  // STOPPED by the time the dispatcher reads it.
  service_->onServiceStop = [this] { SendToSelf(SIGINT); };
  EXPECT_TRUE(service_->RunInConsole());

  EXPECT_EQ(service_->Events(), (Events{"run", "status 3", "stop", "status 1", "thread-end"}));
  EXPECT_FALSE(service_->IsRunning());
  EXPECT_EQ(notify.Receive(std::chrono::seconds(10)), "READY=1");
  EXPECT_EQ(notify.Receive(std::chrono::seconds(10)), "STOPPING=1");
}

TEST_F(DispatcherTest, StopWaitingAtConsoleStartReachesTheManager) {
  // A stop that is already waiting when the foreground run registers its
  // handler is delivered at once; its reports must reach the manager (and
  // tell systemd STOPPING=1), so that a further signal is refused rather
  // than running the stop hook again. Busy threads crowd the processors so
  // that the registering thread is often preempted right after registering.
  std::atomic<bool> done{false};
  std::vector<std::thread> crowd;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
    crowd.emplace_back([&done] {
      while (!done.load(std::memory_order_relaxed)) {
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    RefPtr<RecordingService> service(new RecordingService, false);
    service->onServiceStop = [this] { SendToSelf(SIGINT); };
    SendToSelf(SIGTERM);
    EXPECT_TRUE(service->RunInConsole());
    EXPECT_EQ(service->lostReports.load(), 0);
    EXPECT_EQ(service->Count("stop"), 1u);
    EXPECT_EQ(service->GetStatus().currentState, ServiceState_Stopped);
    if (HasFailure()) break;
  }
  done.store(true);
  for (auto& t : crowd) t.join();
}

// A foreground run that cannot have a dispatcher (here because one runs
// already; otherwise when the signal descriptor or the thread cannot be
// made): SIGTERM must still end the process rather than stay blocked while
// the run waits for ever.
void RunWithoutDispatcherUntilStopped() {
  // A watchdog: a run that cannot be stopped ends by SIGALRM instead.
  alarm(20);
  RefPtr<RecordingService> service(new RecordingService, false);
  service->onRun = [] { kill(getpid(), SIGTERM); };
  platform::RunServiceDispatcher([&service] { service->RunInConsole(); });
  _exit(0);
}

TEST_F(DispatcherTest, ForegroundRunWithoutDispatcherStillEndsOnSigterm) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunWithoutDispatcherUntilStopped(), ::testing::KilledBySignal(SIGTERM), "");
}

TEST_F(DispatcherTest, ServiceRunRegistersReportsAndStopsOnSigint) {
  g_service = service_.Get();
  service_->onRun = [this] { SendToSelf(SIGINT); };
  EXPECT_TRUE(service_->RunAsService());

  EXPECT_EQ(service_->Events(), (Events{"status 4", "run", "status 3", "stop", "status 1", "thread-end"}));
  ServiceStatus status = service_->GetStatus();
  EXPECT_EQ(status.serviceType, 16u);
  EXPECT_EQ(status.controlsAccepted, 0x1FFu);
  EXPECT_EQ(status.currentState, ServiceState_Stopped);
  // ServiceMain gave back the reference it took.
  EXPECT_EQ(service_->GetRefCount(), 1);
}

TEST_F(DispatcherTest, StopBeforeTheHandlerIsRegisteredIsDeliveredAfterwards) {
  g_service = service_.Get();
  SendToSelf(SIGTERM);
  EXPECT_TRUE(service_->RunAsService());
  EXPECT_EQ(service_->Count("stop"), 1u);
  Events events = service_->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "status 4");
  EXPECT_EQ(service_->GetStatus().currentState, ServiceState_Stopped);
  EXPECT_FALSE(service_->IsRunning());
}

TEST_F(DispatcherTest, ServiceWithoutObjectEndsTheDispatcher) {
  // GetServiceObject fails: ServiceMain returns at once, and so does the run.
  EXPECT_TRUE(service_->RunAsService());
  EXPECT_TRUE(service_->Events().empty());
}

TEST_F(DispatcherTest, OneDispatcherAtATime) {
  bool nested = true;
  bool ran = false;
  EXPECT_TRUE(platform::RunServiceDispatcher([&] {
    ran = true;
    nested = platform::RunServiceDispatcher([] {});
  }));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(nested);
  // A handle from a finished dispatcher reports nothing.
  EXPECT_FALSE(platform::SetServiceStatus(1, ServiceStatus{}));
}

}  // namespace
}  // namespace corvane
