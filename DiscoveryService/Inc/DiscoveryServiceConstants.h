// The service's names, configuration and ports in one place. The README's
// configuration table states the same values.
#pragma once

#include <cstdint>

namespace corvane::talvenor {

inline constexpr char kServiceName[] = "Talvenor Discovery Service";
// Shown by the service manager; its unit is named after it with hyphens
// ("Talvenor-Discovery-Service").
inline constexpr char kServiceDisplayName[] = "Talvenor Discovery Service";
inline constexpr char kServiceDescription[] = "Provides Talvenor Display Name Resolution";

// Configuration: <root>/Corvane/DirectoryService.conf (see RegistryKey.h).
inline constexpr char kConfigurationKey[] = "SOFTWARE\\Corvane\\DirectoryService";
inline constexpr char kPurgeTimeoutValue[] = "PublisherPurgeTimeout";
inline constexpr uint32_t kDefaultPurgeTimeoutSeconds = 60;
inline constexpr char kLogLevelValue[] = "LogLevel";
inline constexpr uint32_t kDefaultLogLevel = 0;
inline constexpr char kDisableV1Value[] = "disablev1";
inline constexpr uint32_t kDefaultDisableV1 = 0;
inline constexpr char kHttpPortValue[] = "httpPort";
inline constexpr uint32_t kDefaultHttpPort = 80;

// Protocol ports: protocol 1 (RPC service and its callbacks) and protocol 2.
inline constexpr uint16_t kProtocol1Port = 53200;
inline constexpr uint16_t kProtocol1CallbackPort = 53201;
inline constexpr uint16_t kProtocol2Port = 53202;

// The protocol-2 registry's tries to open its port at start.
inline constexpr int kProtocol2StartAttempts = 5;
inline constexpr uint32_t kProtocol2StartRetryMs = 1000;

}  // namespace corvane::talvenor
