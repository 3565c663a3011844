#include "DiscoveryServiceMain.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>

#include "CrashLog.h"
#include "Directory.h"
#include "DiscoveryService.h"
#include "DiscoveryServiceConstants.h"
#include "DiscoveryServiceCrossCommunicator.h"
#include "DiscoveryServicePersistent.h"
#include "FileStore.h"
#include "HttpServer.h"
#include "Locks.h"
#include "Logger.h"
#include "RegistryKey.h"
#include "Result.h"
#include "TdsWebHandler.h"
#include "ThreadAnnotations.h"

namespace corvane {

namespace {

using namespace talvenor;  // the service's constants
constexpr uint64_t kLogFileBytes = 0xA00000;  // 10 MiB

// The names under which this object's lines are logged.
constexpr char kSourcePath[] = "DiscoveryService/Src/DiscoveryServiceMain";
constexpr char kThreadFuncName[] = "corvane::TalvenorDiscoveryServiceMain::ThreadFunc";
constexpr char kOnStopName[] = "corvane::TalvenorDiscoveryServiceMain::OnStop";
constexpr char kConfigureLoggerName[] = "ConfigureLogger";

#define MAIN_LOG(flags, function, ...)                                        \
  do {                                                                        \
    ::corvane::LogRecord record_((flags), 0, kSourcePath, __LINE__, (function)); \
    if (record_.IsEnabled()) record_.Print(__VA_ARGS__);                      \
  } while (0)

uint32_t ReadDword(const char* name, uint32_t defaultValue) {
  uint32_t value = defaultValue;
  platform::ReadRegistryDword(kConfigurationKey, name, &value);
  return value;
}

// The process's store and logger references: kept for the life of the
// process, since threads may log until its very end.
ILogStore* g_logStore = nullptr;
ILogger* g_logger = nullptr;

// A leaf: held only to read or swap the pointer.
CheckedMutex g_instanceMutex;
TalvenorDiscoveryServiceMain* g_instance GUARDED_BY(g_instanceMutex) = nullptr;

int ConfigureLoggerUnguarded(uint32_t level);

}  // namespace

uint16_t ReadHttpPort() { return static_cast<uint16_t>(ReadDword(kHttpPortValue, kDefaultHttpPort) & 0xFFFF); }

bool ReadDisableV1() { return ReadDword(kDisableV1Value, kDefaultDisableV1) != 0; }

uint32_t ReadLogLevel() { return ReadDword(kLogLevelValue, kDefaultLogLevel); }

int ConfigureLogger(uint32_t level) {
  return CRASH_LOG_GUARD(kConfigureLoggerName, [&]() -> int { return ConfigureLoggerUnguarded(level); });
}

namespace {

int ConfigureLoggerUnguarded(uint32_t level) {
  // Opened once, without following links below the base: the store never
  // writes or prunes anywhere else. A refused folder leaves the lines going
  // nowhere, as an unwritable one does.
  std::string folder;
  int folderFd = OpenDataDirectory("Corvane", "Talvenor", "DiscoveryService/Logs", false, &folder);
  ILogStore* store = nullptr;
  if (CreateFileStoreAt("DiscoveryService", folder, folderFd, kLogFileBytes, &store) != 0 || store == nullptr) {
    return Result_Fail;
  }
  ILogger* logger = nullptr;
  if (GetLogger(&logger) != 0 || logger == nullptr) {
    store->Release();
    return Result_Fail;
  }
  if (logger->AddStore(store) != 0 || logger->SetLevel(level) != 0) {
    store->Release();
    logger->Release();
    return Result_Fail;
  }
  // A repeated call replaces the references it took before.
  if (g_logStore != nullptr) g_logStore->Release();
  if (g_logger != nullptr) g_logger->Release();
  g_logStore = store;
  g_logger = logger;
  LogRecord record(Log_Spew, 3, kSourcePath, __LINE__, kConfigureLoggerName);
  return record.ReturnResult(Result_Ok);
}

}  // namespace

TalvenorDiscoveryServiceMain::TalvenorDiscoveryServiceMain()
    : startupLock_(GetDefaultScheduler()->CreateFastMutex()), startingLock_(GetDefaultScheduler()->CreateFastMutex()) {}

TalvenorDiscoveryServiceMain::~TalvenorDiscoveryServiceMain() {
  // The worker runs this object's ThreadFunc: it must be over first.
  Stop();
  ScopedLock hold(startupLock_.get());
  if (httpServer_) httpServer_->Stop();
  httpServer_.Reset();
  StopProtocol1();
  persistent_.reset();
  bridge_.reset();
}

void TalvenorDiscoveryServiceMain::StopProtocol1() {
  // Nothing reaches the protocol-1 service through the bridge once the
  // registry has let go of it and the queued updates have run.
  if (persistent_) persistent_->SetCrossCommunicator(nullptr);
  if (bridge_) bridge_->DetachService();
  if (v1Service_) {
    v1Service_->Shutdown();
    v1Service_.Reset();
  }
}

RefPtr<talvenor::server::TalvenorDiscoveryService> TalvenorDiscoveryServiceMain::GetProtocol1Service() {
  ScopedLock hold(startupLock_.get());
  return v1Service_;
}

std::string TalvenorDiscoveryServiceMain::GetServiceName() { return kServiceName; }

std::string TalvenorDiscoveryServiceMain::GetDisplayName() { return GetServiceName(); }

std::string TalvenorDiscoveryServiceMain::GetDescription() { return kServiceDescription; }

std::shared_ptr<talvenor::server::TalvenorDiscoveryServicePersistent> TalvenorDiscoveryServiceMain::GetPersistent() {
  ScopedLock hold(startupLock_.get());
  return persistent_;
}

bool TalvenorDiscoveryServiceMain::ThreadFunc() {
  // The whole sequence holds the lock; between steps it looks whether a stop
  // is waiting for it, and if so leaves the remaining steps undone.
  ScopedLock hold(startupLock_.get());
  // Once only; and not at all when the stop came first.
  if (startupRan_ || stopping_.load()) return false;
  startupRan_ = true;

  MAIN_LOG(Log_Information, kThreadFuncName, "Talvenor Discovery Service Version - %s Build# %s (built %s at %s)",
           "3.5.11296", "11296", "2018-12-11", "15:10");

  try {
    persistent_ = std::make_shared<talvenor::server::TalvenorDiscoveryServicePersistent>(kProtocol2Port);
  } catch (const std::exception&) {
    persistent_.reset();
  }
  if (!persistent_) MAIN_LOG(Log_Severe, kThreadFuncName, "Unable to instantiate persistent %s", kServiceName);
  {
    ScopedLock hold(startingLock_.get());
    starting_ = persistent_;
  }
  if (stopping_.load()) return false;

  try {
    v1Service_.Attach(new talvenor::server::TalvenorDiscoveryService(kProtocol1Port));
  } catch (const std::exception&) {
    v1Service_.Reset();
  }
  if (!v1Service_) MAIN_LOG(Log_Severe, kThreadFuncName, "Unable to instantiate %s", kServiceName);
  bridge_ = std::make_shared<talvenor::server::DiscoveryServiceCrossCommunicator>(v1Service_.Get(), persistent_);

  if (persistent_) {
    int result = persistent_->Initialize();
    {
      ScopedLock hold(startingLock_.get());
      starting_.reset();
    }
    // A stop that ended the retries is an ordinary stop.
    if (stopping_.load()) return false;
    if (result == talvenor::server::TalvenorDiscoveryServicePersistent::kResultPortUnavailable) {
      // Nothing can serve without the port. Log lines are written as they
      // are made, so the registry's line is on disk; ending at once keeps
      // exit handlers and static destructors from running under the live
      // threads.
      std::_Exit(-1);
    }
    if (Failed(result)) MAIN_LOG(Log_Severe, kThreadFuncName, "Unable to initialize %s Service", kServiceName);
  }
  if (stopping_.load()) return false;

  if (ReadDisableV1()) {
    MAIN_LOG(Log_Information, kThreadFuncName, "TDS Protocol version 1 has been disabled");
    // Given to neither registry, the bridge has nothing to do.
    bridge_.reset();
  } else {
    if (v1Service_) {
      if (Failed(v1Service_->Initialize())) {
        MAIN_LOG(Log_Severe, kThreadFuncName, "Unable to initialize %s Service", kServiceName);
      }
      v1Service_->SetCrossCommunicator(bridge_);
    }
    if (persistent_) persistent_->SetCrossCommunicator(bridge_);
    MAIN_LOG(Log_Information, kThreadFuncName, "All TDS protocols are enabled");
  }
  if (stopping_.load()) return false;

  httpServer_ = RefPtr<HttpServer>(new HttpServer(0, ReadHttpPort()), false);
  {
    RefPtr<TdsWebHandler> handler(new TdsWebHandler(persistent_), false);
    httpServer_->RegisterHandler("/api", handler.Get());
  }
  // Start logs its own failure; the rest of the service runs without the
  // web API.
  httpServer_->Start();

  MAIN_LOG(Log_Information, kThreadFuncName, "%s Started", kServiceName);
  return false;
}

void TalvenorDiscoveryServiceMain::OnServiceStop() {
  stopping_.store(true);
  {
    // Port retries would hold the start-up step for seconds: end them.
    ScopedLock hold(startingLock_.get());
    if (starting_) starting_->CancelStart();
  }
  // Waits for the start-up step in progress.
  ScopedLock hold(startupLock_.get());
  StopProtocol1();
  MAIN_LOG(Log_Information, kOnStopName, "%s Stopped", kServiceName);
}

int GetServiceInstance(TalvenorDiscoveryServiceMain** out) {
  if (out == nullptr) return Result_InvalidPointer;
  static std::once_flag once;
  std::call_once(once, [] {
    auto* instance = new TalvenorDiscoveryServiceMain();
    ConfigureLogger(ReadLogLevel());
    CheckedLock hold(g_instanceMutex);
    g_instance = instance;
  });
  CheckedLock hold(g_instanceMutex);
  *out = g_instance;
  if (g_instance == nullptr) return Result_Fail;
  g_instance->AddRef();
  return Result_Ok;
}

void ReleaseServiceInstance() {
  TalvenorDiscoveryServiceMain* instance;
  {
    CheckedLock hold(g_instanceMutex);
    instance = g_instance;
    g_instance = nullptr;
  }
  if (instance != nullptr) instance->Release();
}

int GetServiceObject(IService** out) {
  if (out == nullptr) return Result_InvalidPointer;
  TalvenorDiscoveryServiceMain* instance = nullptr;
  int result = GetServiceInstance(&instance);
  *out = instance;
  return result;
}

}  // namespace corvane
