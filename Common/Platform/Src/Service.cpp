#include "Service.h"

#include "Locks.h"
#include "ServiceControl.h"

namespace corvane {

ServiceImpl::ServiceImpl()
    : stopEvent_(GetDefaultScheduler()->CreateEvent(true, false)),
      lock_(GetDefaultScheduler()->CreateFastMutex()) {}

ServiceImpl::~ServiceImpl() {
  // The worker's end sets stopEvent_, so it must be over before the event
  // goes.
  Stop();
}

ServiceStatus ServiceImpl::GetStatus() {
  ScopedLock hold(lock_.get());
  return status_;
}

bool ServiceImpl::SetServiceStatus(const ServiceStatus& status) {
  uint64_t handle;
  {
    ScopedLock hold(lock_.get());
    handle = statusHandle_;
  }
  return platform::SetServiceStatus(handle, status);
}

bool ServiceImpl::ReportStatus(uint32_t state) {
  ServiceStatus copy;
  {
    ScopedLock hold(lock_.get());
    status_.currentState = state;
    copy = status_;
  }
  return SetServiceStatus(copy);
}

void ServiceImpl::RefuseStart() {
  ScopedLock hold(lock_.get());
  startRefused_ = true;
}

void ServiceImpl::Start(uint32_t timeoutMs) {
  // Held across the start so that a stop control either sees the worker
  // running (and stops it) or keeps it from ever starting.
  ScopedLock hold(lock_.get());
  if (startRefused_) return;
  SetName("service-main");
  Thread::Start(timeoutMs);
}

bool ServiceImpl::OnStop() {
  SignalStop();
  return true;
}

void ServiceImpl::WaitForStop() {
  // A stop event that cannot be waited on would turn this into a spin; the
  // wait is unbounded by design, so a failed wait only retries after a pause.
  while (!stopEvent_->Wait(kInfinite)) GetDefaultScheduler()->Sleep(10);
}

void ServiceImpl::SignalStop() { stopEvent_->Set(); }

bool ServiceImpl::RegisterHandler() {
  // Held until RUNNING is reported: a stop that was waiting for a handler
  // reaches HandleControl as soon as the handler is registered, and its
  // reports must follow RUNNING, not precede it.
  ScopedLock hold(lock_.get());
  status_ = ServiceStatus{};
  status_.serviceType = ServiceType_OwnProcess;
  status_.currentState = ServiceState_StartPending;
  status_.controlsAccepted = ServiceAccept_All;
  statusHandle_ = platform::RegisterServiceControlHandler(GetServiceName(), &HandlerEx, static_cast<IService*>(this));
  if (statusHandle_ == 0) return false;
  return ReportStatus(ServiceState_Running);
}

uint32_t ServiceImpl::HandleControl(uint32_t control, uint32_t eventType, void* eventData) {
  switch (control) {
    case ServiceControl_Stop: {
      RefuseStart();
      ReportStatus(ServiceState_StopPending);
      OnServiceStop();
      ReportStatus(ServiceState_Stopped);
      int result = Stop();
      // Stop joined the worker, whose end has set the event; when the worker
      // never ran, nothing else would.
      SignalStop();
      return static_cast<uint32_t>(result);
    }
    case ServiceControl_Pause:
      OnPause();
      return ReportStatus(ServiceState_Paused) ? 1u : 0u;
    case ServiceControl_Continue:
      OnContinue();
      return ReportStatus(ServiceState_Running) ? 1u : 0u;
    case ServiceControl_Interrogate:
      OnInterrogate();
      return 0;
    case ServiceControl_Shutdown: {
      RefuseStart();
      OnShutdown();
      int result = Stop();
      SignalStop();
      return static_cast<uint32_t>(result);
    }
    case ServiceControl_DeviceEvent:
      OnDeviceEvent(eventType, eventData);
      return 0;
    case ServiceControl_HardwareProfileChange:
      OnHardwareProfileChange(eventType);
      return 0;
    case ServiceControl_PowerEvent:
      OnPowerEvent(eventType, eventData);
      return 0;
    case ServiceControl_SessionChange:
      OnSessionChange(eventType, eventData);
      return 0;
    case ServiceControl_PreShutdown:
      OnPreShutdown();
      return 0;
    case ServiceControl_TimeChange:
      OnTimeChange(eventData);
      return 0;
    default:
      OnCustomControl(eventType, eventData);
      return 0;
  }
}

bool ServiceImpl::RunAsService() {
  platform::RunServiceDispatcher([] { ServiceMain(0, nullptr); });
  return true;
}

bool ServiceImpl::RunInConsole() {
  // The foreground run takes the same stop control as the service: the
  // dispatcher's thread starts the worker and waits, while this thread turns
  // SIGTERM and SIGINT into the stop control.
  auto run = [this] {
    // Ready before a stop can be taken, so that the manager never hears of
    // stopping before it heard of running.
    platform::NotifyServiceManager("READY=1");
    {
      // Held until the handle is stored: a stop that was waiting for a
      // handler reaches HandleControl as soon as it is registered, and its
      // reports need the handle, or the dispatcher never learns that the
      // service is stopping and delivers every further signal again.
      ScopedLock hold(lock_.get());
      statusHandle_ =
          platform::RegisterServiceControlHandler(GetServiceName(), &HandlerEx, static_cast<IService*>(this));
    }
    Start(kInfinite);
    WaitForStop();
    platform::ClearServiceControlHandler();
  };
  if (!platform::RunServiceDispatcher(run)) {
    // No dispatcher (signals or thread unavailable): run without a stop
    // control, as a plain foreground process. The stop signals must then end
    // it, or nothing but SIGKILL could.
    platform::ReleaseStopSignals();
    Start(kInfinite);
    WaitForStop();
  }
  return true;
}

void ServiceMain(uint32_t /*argc*/, char** /*argv*/) {
  IService* raw = nullptr;
  if (GetServiceObject(&raw) != 0 || raw == nullptr) return;
  RefPtr<IService> service;
  service.Attach(raw);
  if (service->RegisterHandler()) {
    service->Start(kInfinite);
    service->WaitForStop();
  }
  // No control may reach the object once our reference is gone.
  platform::ClearServiceControlHandler();
}

uint32_t HandlerEx(uint32_t control, uint32_t eventType, void* eventData, void* context) {
  static_cast<IService*>(context)->HandleControl(control, eventType, eventData);
  return 0;
}

}  // namespace corvane
