#include "Network.h"

#include "CrashLog.h"

namespace corvane {

int DefaultNetwork::CreateInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings,
                                   ITransport** out) {
  return platform::CreateInstance(bindAddress, port, settings, out);
}

int DefaultNetwork::CreateInstance(uint32_t bindAddress, uint16_t port, ITransport** out) {
  return platform::CreateInstance(bindAddress, port, out);
}

int DefaultNetwork::CreateTextInstance(uint32_t bindAddress, uint16_t port, ITransport** out) {
  return platform::CreateTextInstance(bindAddress, port, out);
}

int DefaultNetwork::CreateRawInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings,
                                      ITransport** out) {
  return platform::CreateRawInstance(bindAddress, port, settings, out);
}

Network* GetDefaultNetwork() {
  // Stateless, so it stays usable during static destruction as well.
  static DefaultNetwork network;
  return &network;
}

int CreateRawTransport(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out) {
  return CRASH_LOG_GUARD("corvane::CreateRawTransport",
                         [&] { return GetDefaultNetwork()->CreateRawInstance(bindAddress, port, settings, out); });
}

}  // namespace corvane
