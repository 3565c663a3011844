// Fast-log event records: small records of hot-path events (a flow-control
// send, for example) meant for a background writer that stores them as BSON
// documents. A record holds plain fields; its document is built only when a
// writer asks for it, so a record nobody writes costs no encoding.
//
// No writer exists in this system: every record posted is deleted at once.
#pragma once

#include <cstdint>
#include <memory>

#include "MiniBson.h"

namespace corvane {
namespace FastLog {

// Names of a writer's current and previous files (no writer exists).
inline constexpr char kFileSuffix[] = "-fastlog.bson";
inline constexpr char kOldFileSuffix[] = "-old-fastlog.bson";
// The most records a writer's queue holds.
inline constexpr uint32_t kMaxQueued = 65536;

class Message {
 public:
  virtual ~Message() = default;
  // Adds the record's elements to *out.
  virtual void ToDocument(minibson::document* out) const = 0;
};

// The flow-control layer's "send" event.
class Send : public Message {
 public:
  int32_t ip = 0;
  int32_t port = 0;
  int32_t bytes = 0;        // bytes handed to the layer below
  double fcDelayMs = 0.0;   // time spent waiting for the flow-control window
  double netDelayMs = 0.0;  // time spent in the send below
  int64_t epochMs = 0;      // UTC ms

  void ToDocument(minibson::document* out) const override {
    (*out)["type"] = std::make_unique<minibson::string>("send");
    out->Set("ip", ip);
    out->Set("port", port);
    out->Set("bytes", bytes);
    out->Set("fc-delay", fcDelayMs);
    out->Set("net-delay", netDelayMs);
    (*out)["epoch"] = std::make_unique<minibson::int64>(epochMs);
  }
};

// Whether a writer takes records; callers build none while it is false.
bool WriterExists();

// Takes ownership of record. With no writer the record is deleted and
// Result_Fail returned (callers ignore the result). Safe from any thread.
int Post(Message* record);

}  // namespace FastLog
}  // namespace corvane
