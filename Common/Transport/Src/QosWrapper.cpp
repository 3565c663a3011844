#include "QosWrapper.h"

#include <atomic>
#include <mutex>

#include "CrashLog.h"
#include "Logger.h"
#include "Result.h"
#include "SocketLayer.h"

namespace corvane {

namespace {

class SocketQosBackend final : public IQosBackend {
 public:
  int GetTypeOfService(int socket, int* tos) override {
    return platform::GetTypeOfService(socket, tos) == 0 ? 0 : platform::LastSocketError();
  }
  int SetTypeOfService(int socket, int tos) override {
    return platform::SetTypeOfService(socket, tos) == 0 ? 0 : platform::LastSocketError();
  }
};

std::recursive_mutex& QosLock() {
  static std::recursive_mutex lock;
  return lock;
}

SocketQosBackend g_socketBackend;
std::atomic<IQosBackend*> g_backend{&g_socketBackend};
bool g_initialized = false;
uint32_t g_lastFlowId = 0;

// The platform's default marking of each traffic class.
int ClassMarking(uint32_t dscpClass) {
  static constexpr int kMarkings[8] = {0, 8, 40, 40, 40, 40, 56, 56};
  return kMarkings[dscpClass & 7];
}

}  // namespace

int QOSWrapper::Initialize() {
  return CRASH_LOG_GUARD("corvane::QOSWrapper::Initialize", [] {
    std::lock_guard<std::recursive_mutex> guard(QosLock());
    g_initialized = true;
    return static_cast<int>(Result_Ok);
  });
}

int QOSWrapper::SetDSCP(int socket, QosFlow& flow, uint32_t dscp) {
  return CRASH_LOG_GUARD("corvane::QOSWrapper::SetDSCP", [&] {
    std::lock_guard<std::recursive_mutex> guard(QosLock());
    if (!g_initialized) Initialize();
    // A second marking replaces the first instead of leaking it.
    if (flow.handle || flow.flowId != 0) CleanupQos(flow);
    IQosBackend* backend = g_backend.load();
    const uint32_t dscpClass = (dscp >> 3) & 7;
    auto handle = std::make_unique<QosHandle>();
    handle->socket = socket;
    if (backend->GetTypeOfService(socket, &handle->oldTypeOfService) != 0 ||
        backend->SetTypeOfService(socket, ClassMarking(dscpClass) << 2) != 0) {
      return static_cast<int>(Result_ConnectionLost);
    }
    // Above 63 the value does not fit the six DSCP bits: the class marking
    // stays.
    if (dscp <= 63) {
      const int error = backend->SetTypeOfService(socket, static_cast<int>(dscp << 2));
      if (error != 0 && platform::IsPermissionDenied(error)) {
        LOG_WARNING("Could not set precise QoS DSCP Value.  DSCP Prefix value of %d set instead.",
                    static_cast<int>(dscpClass));
      }
    }
    if (++g_lastFlowId == 0) g_lastFlowId = 1;
    flow.handle = std::move(handle);
    flow.flowId = g_lastFlowId;
    return static_cast<int>(Result_Ok);
  });
}

int QOSWrapper::CleanupQos(QosFlow& flow) {
  return CRASH_LOG_GUARD("corvane::QOSWrapper::CleanupQos", [&] {
    int result = Result_Ok;
    if (flow.handle &&
        g_backend.load()->SetTypeOfService(flow.handle->socket, flow.handle->oldTypeOfService) != 0) {
      result = Result_Fail;
    }
    flow.handle.reset();
    flow.flowId = 0;
    return result;
  });
}

void QOSWrapper::SetBackend(IQosBackend* backend) { g_backend.store(backend ? backend : &g_socketBackend); }

}  // namespace corvane
