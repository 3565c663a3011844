// The service framework: turns an application object into a service of the
// host's service manager, or runs the same object in the foreground.
//
// The application derives from ServiceImpl, supplies the three names, puts
// its work into ThreadFunc (run on the object's own worker thread) and
// overrides the control hooks it cares about. It also defines
// GetServiceObject, through which the framework finds the process's object.
//
// Stopping: the service manager's stop control (SIGTERM or SIGINT on this
// host, see ServiceControl.h) runs HandleControl(ServiceControl_Stop) on the
// control thread: STOP_PENDING is reported, OnServiceStop runs, STOPPED is
// reported, and the worker thread is stopped; its end sets the stop event on
// which RunAsService and RunInConsole wait.
//
// Two hooks are called "stop" by the service world. They are kept apart:
//   OnServiceStop  the control hook for the stop control;
//   OnStop         the thread-end hook of the worker (inherited from Thread),
//                  which releases WaitForStop. Applications do not override it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "RefCount.h"
#include "Scheduler.h"
#include "Thread.h"

namespace corvane {

// Control codes of the service manager.
enum ServiceControlCode : uint32_t {
  ServiceControl_Stop = 1,
  ServiceControl_Pause = 2,
  ServiceControl_Continue = 3,
  ServiceControl_Interrogate = 4,
  ServiceControl_Shutdown = 5,
  ServiceControl_ParamChange = 6,
  ServiceControl_DeviceEvent = 11,
  ServiceControl_HardwareProfileChange = 12,
  ServiceControl_PowerEvent = 13,
  ServiceControl_SessionChange = 14,
  ServiceControl_PreShutdown = 15,
  ServiceControl_TimeChange = 16,
};

enum ServiceState : uint32_t {
  ServiceState_Stopped = 1,
  ServiceState_StartPending = 2,
  ServiceState_StopPending = 3,
  ServiceState_Running = 4,
  ServiceState_ContinuePending = 5,
  ServiceState_PausePending = 6,
  ServiceState_Paused = 7,
};

enum ServiceTypeFlags : uint32_t {
  ServiceType_OwnProcess = 0x10,
  ServiceType_ShareProcess = 0x20,
};

enum ServiceAcceptFlags : uint32_t {
  ServiceAccept_Stop = 0x1,
  // Stop, pause and continue, shutdown, parameter change, network binding
  // change, hardware profile change, power event, session change and
  // pre-shutdown.
  ServiceAccept_All = 0x1FF,
};

// The status record a service reports to its manager.
struct ServiceStatus {
  uint32_t serviceType = ServiceType_OwnProcess | ServiceType_ShareProcess;
  uint32_t currentState = ServiceState_StartPending;
  uint32_t controlsAccepted = ServiceAccept_Stop;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

class IService : public Thread, public virtual IRefCount {
 public:
  // Runs under the service manager; returns once the service has stopped.
  virtual bool RunAsService() = 0;
  // Runs in the foreground; returns once the service has stopped.
  virtual bool RunInConsole() = 0;
  // Registers the control handler and reports RUNNING; false when either
  // fails.
  virtual bool RegisterHandler() = 0;
  // Blocks until the stop event is set.
  virtual void WaitForStop() = 0;
  virtual std::string GetServiceName() = 0;
  virtual std::string GetDisplayName() = 0;
  virtual std::string GetDescription() = 0;
  virtual void SignalStop() = 0;
  // Dispatches one control code to its hook (see ServiceImpl).
  virtual uint32_t HandleControl(uint32_t control, uint32_t eventType, void* eventData) = 0;
};

class ServiceImpl : public IService, public IRefCountImpl {
 public:
  ServiceImpl();
  // Stops the worker before the stop event goes, since the worker's end
  // sets that event.
  ~ServiceImpl() override;

  bool RunAsService() override;
  bool RunInConsole() override;
  bool RegisterHandler() override;
  void WaitForStop() override;
  void SignalStop() override;

  // Stop (1): report STOP_PENDING, OnServiceStop, report STOPPED, stop the
  //   worker; returns the result of stopping it.
  // Pause (2): OnPause, report PAUSED. Continue (3): OnContinue, report
  //   RUNNING. Both return whether the report succeeded.
  // Interrogate (4): OnInterrogate. Shutdown (5): OnShutdown, stop the
  //   worker (nothing reported).
  // 11-16: the hook of that event; 0, 6-10 and above 16: OnCustomControl.
  // Once a stop or shutdown has been handled the worker is not started again
  // and WaitForStop returns, even when the control came before the worker
  // was started.
  uint32_t HandleControl(uint32_t control, uint32_t eventType, void* eventData) override;

  // Starts the worker unless a stop or shutdown control has been handled.
  void Start(uint32_t timeoutMs) override;
  // Thread-end hook, on the worker thread: sets the stop event.
  bool OnStop() override;

  // Control hooks; every default does nothing. OnServiceStop is the hook of
  // the stop control.
  virtual void OnServiceStop() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnInterrogate() {}
  virtual void OnShutdown() {}
  virtual void OnPreShutdown() {}
  virtual void OnDeviceEvent(uint32_t /*eventType*/, void* /*eventData*/) {}
  virtual void OnHardwareProfileChange(uint32_t /*eventType*/) {}
  virtual void OnPowerEvent(uint32_t /*eventType*/, void* /*eventData*/) {}
  virtual void OnSessionChange(uint32_t /*eventType*/, void* /*eventData*/) {}
  virtual void OnTimeChange(void* /*eventData*/) {}
  virtual void OnCustomControl(uint32_t /*eventType*/, void* /*eventData*/) {}

  // A copy of the status record.
  ServiceStatus GetStatus();

 protected:
  // Hands the record to the service manager; false when it is not reachable
  // (as in the foreground before RunInConsole has registered).
  virtual bool SetServiceStatus(const ServiceStatus& status);

 private:
  bool ReportStatus(uint32_t state);
  // Marks the service as stopping; the worker is not started after this.
  void RefuseStart();

  std::unique_ptr<Scheduler::Event> stopEvent_;
  // Guards status_, statusHandle_ and startRefused_. Recursive; held across
  // a report only by RegisterHandler, never across a hook.
  std::unique_ptr<Scheduler::FastMutex> lock_;
  ServiceStatus status_;
  uint64_t statusHandle_ = 0;
  bool startRefused_ = false;
};

// Registers the service with the host's service manager: own process,
// automatic start, run as the system account. False when the service exists
// already or the registration cannot be written. Failures of the optional
// configuration steps (enabling, reloading the manager) are logged only.
bool InstallService(const std::string& executablePath, const std::string& name, const std::string& displayName,
                    const std::string& description, const std::string& dependencies, bool restartOnFailure);

// Removes the registration; true only when it existed and was removed. A
// running instance is not stopped.
bool UninstallService(const std::string& name);

// The service entry routine: finds the object through GetServiceObject,
// registers the control handler and, when that succeeds, starts the worker
// and waits for the stop event; then releases the object.
void ServiceMain(uint32_t argc, char** argv);

// The control handler given to the service manager: calls the context's
// HandleControl and always answers 0.
uint32_t HandlerEx(uint32_t control, uint32_t eventType, void* eventData, void* context);

// Supplied by the application: the process's service object, with one
// reference for the caller. Returns 0 on success.
int GetServiceObject(IService** out);

}  // namespace corvane
