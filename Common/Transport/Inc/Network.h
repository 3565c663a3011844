// The process-wide factory of transports in binary, text and raw mode.
//
// Creators: a null out pointer gives Result_InvalidPointer and creates
// nothing; an object that cannot be made gives Result_Fail with *out null;
// otherwise *out holds one reference for the caller. bindAddress is IPv4 in
// host order (0: every local address); port 0 makes a transport that opens
// client connections only.
#pragma once

#include <cstdint>

#include "ITransport.h"

namespace corvane {

class Network {
 public:
  virtual int CreateInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings,
                             ITransport** out) = 0;
  virtual int CreateInstance(uint32_t bindAddress, uint16_t port, ITransport** out) = 0;
  // Text transports never use TLS.
  virtual int CreateTextInstance(uint32_t bindAddress, uint16_t port, ITransport** out) = 0;
  virtual int CreateRawInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings,
                                ITransport** out) = 0;

 protected:
  // The one implementation lives for the whole process and is never
  // destroyed through this interface.
  ~Network() = default;
};

// Forwards to the platform creators below.
class DefaultNetwork final : public Network {
 public:
  int CreateInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out) override;
  int CreateInstance(uint32_t bindAddress, uint16_t port, ITransport** out) override;
  int CreateTextInstance(uint32_t bindAddress, uint16_t port, ITransport** out) override;
  int CreateRawInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out) override;
};

// The same object on every call; thread-safe, never freed.
Network* GetDefaultNetwork();

namespace platform {
// Settings, when given, are copied into the transport; null means none.
int CreateInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out);
int CreateInstance(uint32_t bindAddress, uint16_t port, ITransport** out);
int CreateTextInstance(uint32_t bindAddress, uint16_t port, ITransport** out);
int CreateRawInstance(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out);
}  // namespace platform

// CreateRawInstance of the default network.
int CreateRawTransport(uint32_t bindAddress, uint16_t port, EncryptionStruct* settings, ITransport** out);

}  // namespace corvane
