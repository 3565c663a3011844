// DSCP marking of one connection's outgoing packets. On this platform the
// marking is the socket's IP type-of-service byte: first the marking of the
// value's traffic class ((dscp >> 3) & 7: best effort 0, background 8,
// audio/video 40, voice 56), then the exact value. The binding is always
// present. One process-wide lock; no threads.
#pragma once

#include <cstdint>
#include <memory>

namespace corvane {

// What CleanupQos needs to undo a marking.
struct QosHandle {
  int socket = -1;
  int oldTypeOfService = 0;
};

// Per connection; {null, 0} while unmarked.
struct QosFlow {
  std::unique_ptr<QosHandle> handle;
  uint32_t flowId = 0;
};

// The socket option calls, replaceable by tests. Each returns 0 or the
// error code.
class IQosBackend {
 public:
  virtual ~IQosBackend() = default;
  virtual int GetTypeOfService(int socket, int* tos) = 0;
  virtual int SetTypeOfService(int socket, int tos) = 0;
};

class QOSWrapper {
 public:
  // Binds once per process; Result_Ok.
  static int Initialize();
  // A flow already marked is cleaned up first. Reading the old value or
  // setting the class marking fails: Result_ConnectionLost, flow {null, 0}.
  // No right to set the exact value: Warning, the class marking stays,
  // Result_Ok. A value above 63 keeps the class marking: Result_Ok.
  static int SetDSCP(int socket, QosFlow& flow, uint32_t dscp);
  // Restores the saved value and clears the flow: Result_Ok, or Result_Fail
  // when the value could not be restored. An unmarked flow does nothing.
  static int CleanupQos(QosFlow& flow);
  // Test seam: null restores the real socket calls. Not for concurrent use
  // with marking requests.
  static void SetBackend(IQosBackend* backend);
};

}  // namespace corvane
