// The discovery service's service object: the process-wide singleton that
// the service framework runs, under systemd or in the foreground.
//
// Creating it reads LogLevel and adds the rolling "DiscoveryService" log file
// store to the logger. Its worker thread runs the start-up sequence once:
// the version line, the protocol-2 registry on port 53202 and its
// initialisation (which ends the process with status 255 when the port
// cannot be opened after its retries, unless a stop ended them), the
// protocol switches, the HTTP server on httpPort with the web API under
// "/api" (port 0: nothing listens), and "Talvenor Discovery Service
// Started". The stop control logs
// "Talvenor Discovery Service Stopped"; the registry runs on until the object
// is destroyed.
//
// Configuration is read from SOFTWARE\Corvane\DirectoryService (see
// RegistryKey.h), afresh on every read:
//   httpPort   80  the low 16 bits are the HTTP API's TCP port
//   disablev1  0   non-zero disables protocol 1
//   LogLevel   0   the logger's verbosity
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "RefCount.h"
#include "Scheduler.h"
#include "Service.h"

namespace corvane {

class HttpServer;

namespace talvenor::server {
class TalvenorDiscoveryServicePersistent;
class TalvenorDiscoveryService;
class DiscoveryServiceCrossCommunicator;
}

// Each returns the configured value, or its default when the key or the
// value cannot be read.
uint16_t ReadHttpPort();
bool ReadDisableV1();
uint32_t ReadLogLevel();

// Adds the "DiscoveryService" file store (10 MiB files) in the data folder
// Corvane/Talvenor/DiscoveryService/Logs to the logger and sets its level.
// 0 on success, Result_Fail when the store or the logger cannot be had.
int ConfigureLogger(uint32_t level);

class TalvenorDiscoveryServiceMain : public ServiceImpl {
 public:
  TalvenorDiscoveryServiceMain();
  // Stops the worker, then stops and releases the HTTP server, then
  // releases the registry.
  ~TalvenorDiscoveryServiceMain() override;

  // The start-up sequence, once; returns false.
  bool ThreadFunc() override;
  std::string GetServiceName() override;
  std::string GetDisplayName() override;
  std::string GetDescription() override;
  // The stop control. A stop during start-up waits for the step in progress
  // to finish; the steps after it are skipped.
  void OnServiceStop() override;

  // The protocol-2 registry, empty before start-up.
  std::shared_ptr<talvenor::server::TalvenorDiscoveryServicePersistent> GetPersistent();
  // The protocol-1 service, empty before start-up and after the stop.
  RefPtr<talvenor::server::TalvenorDiscoveryService> GetProtocol1Service();

 private:
  // Detaches the bridge from the protocol-2 registry (a waiting call) and
  // from the protocol-1 service, drains it, then shuts the protocol-1
  // service down and releases it. startupLock_ held.
  void StopProtocol1();

  // Held by the start-up sequence, one step at a time, and by the stop
  // control, so that stopping never meets a half-made component.
  std::unique_ptr<Scheduler::FastMutex> startupLock_;
  std::atomic<bool> stopping_{false};
  bool startupRan_ = false;
  std::shared_ptr<talvenor::server::TalvenorDiscoveryServicePersistent> persistent_;
  RefPtr<HttpServer> httpServer_;
  // The registry while it starts, for the stop control to cancel its port
  // retries; guarded by startingLock_.
  std::unique_ptr<Scheduler::FastMutex> startingLock_;
  std::shared_ptr<talvenor::server::TalvenorDiscoveryServicePersistent> starting_;
  RefPtr<talvenor::server::TalvenorDiscoveryService> v1Service_;
  // Kept (not only during start-up) so that the stop can drain it.
  std::shared_ptr<talvenor::server::DiscoveryServiceCrossCommunicator> bridge_;
};

// The singleton with one reference for the caller; 0, or Result_Fail once
// ReleaseServiceInstance has run. The first call creates it and configures
// the logger; concurrent first calls are serialised.
int GetServiceInstance(TalvenorDiscoveryServiceMain** out);

// Gives up the process's reference, so the object is destroyed once the
// last caller has released it. Called at the end of main, never from an
// exit handler: the destructor joins threads.
void ReleaseServiceInstance();

}  // namespace corvane
