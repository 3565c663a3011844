// The connections an HttpServer answers on. They are accepted here; their
// bytes go to the server with the addresses they came between, and their
// events as TransportEvents; the server writes its responses to them and
// closes them.
//
// Two kinds: plain HTTP is served by a few threads sharing one event set, so
// that a burst of short requests costs no thread per connection; HTTPS keeps
// the raw transport and its receive thread per connection. Either way the
// chunks of one connection are delivered on one thread at a time.
#pragma once

#include <cstdint>
#include <string_view>

#include "DataStream.h"
#include "ITransport.h"
#include "RefCount.h"
#include "Uuid.h"

namespace corvane {

// What the connections hand their bytes and events to.
class IHttpReceiver {
 public:
  // A chunk of a connection's input; addresses in host order.
  virtual void OnBytes(const UUID& connectionId, uint32_t peerIpv4, uint32_t localIpv4, std::string_view bytes) = 0;
  // TransportEvent_Connected before the first chunk, TransportEvent_Disconnected
  // after the last.
  virtual void OnConnectionEvent(const UUID& connectionId, int event) = 0;

 protected:
  ~IHttpReceiver() = default;
};

class IHttpConnections : public virtual IRefCount {
 public:
  // Starts accepting. Bytes and events go to receiver; when every slot is
  // held and a peer waits, chooser names the connection that makes room.
  // Neither is referenced: both stay valid until Shutdown has returned.
  // 0, or the failure (logged).
  virtual int Open(IHttpReceiver* receiver, IListenerSlots::IChooser* chooser) = 0;
  // The bytes go out after everything written to the connection before;
  // a synchronous write returns once they have gone (or failed).
  virtual int Write(const UUID& connectionId, IDataStream* data, bool synchronous) = 0;
  // Closes the connection once what was written to it has gone out, in a
  // way that input the peer sent after its request cannot cut the answer
  // short; an unknown or closing connection is ignored.
  virtual int Close(const UUID& connectionId) = 0;
  // Stops accepting and closes every connection. No record or event is
  // delivered once it returns. Never called from a delivery.
  virtual void Shutdown() = 0;

 protected:
  ~IHttpConnections() override = default;
};

// Plain HTTP on bindAddress:port (host order; address 0 is every local
// address). 0 with one reference in *out, or Result_Fail.
int CreateEventHttpConnections(uint32_t bindAddress, uint16_t port, IHttpConnections** out);
// HTTPS over a raw transport with these TLS settings; the result of the
// transport's creation.
int CreateTransportHttpConnections(uint32_t bindAddress, uint16_t port, const EncryptionStruct& tls,
                                   IHttpConnections** out);

}  // namespace corvane
