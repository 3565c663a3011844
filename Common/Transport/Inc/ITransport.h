// The message transport: listens for and opens TCP connections, names every
// connection by a UUID, carries messages typed by a UUID and hands what
// arrives, with connection events, to the receivers registered with it.
//
// Every operation returns an _Enum_Result_. Threads of the callbacks:
//   IDataHook::PreOnDataReady   the connection's receive thread;
//   ITransportNotify::OnDataReady   the notification thread when the
//       transport was initialised with asyncNotify, else the receive thread;
//   ITransportNotify::OnEvent   whichever thread raises the event (never
//       queued, so an event may overtake queued messages);
//   IWriter::Write              the caller's thread.
//
// Before Initialize and after Finalize SetWriteTimeout returns
// Result_InvalidArgument, SetDataHook, RemoveNotify and SetConnectionOptions
// return 0, GetHostByName, SetFlowControlMode and SetResendMode answer as
// always, and the other operations (AddNotify and BeginWrite included)
// return Result_NotInitialized.
#pragma once

#include <cstdint>
#include <string>

#include "DataStream.h"
#include "RefCount.h"
#include "Result.h"
#include "Uuid.h"

namespace corvane {

// Connection events handed to ITransportNotify::OnEvent.
enum TransportEvent : int32_t {
  // An accepted connection is ready (after the handshake and the TLS accept
  // where they apply, raw mode included). Never raised for OpenConnection.
  TransportEvent_Connected = 0,
  TransportEvent_Disconnected = 1,
};

// The two flags that fix what travels on the connections a transport
// accepts. OpenConnection always makes a binary connection with handshake,
// whatever the transport's own mode.
struct TransportMode {
  bool framed;     // binary frames with a message-type UUID
  bool handshake;  // handshake sent by the accepting side; text frames when not framed
};
inline constexpr TransportMode kBinaryTransportMode{true, true};
inline constexpr TransportMode kTextTransportMode{false, true};
inline constexpr TransportMode kRawTransportMode{false, false};

// The TLS settings of a transport. The strings are never logged: privateKey
// may be a password.
struct EncryptionStruct {
  // TLS may be used; a listening transport with this set needs a
  // certificate and a private key.
  bool enabled = false;
  // OpenSSL cipher-list text for the server context; empty keeps the
  // library default.
  std::string cipherList;
  // A path to a PEM, DER or PKCS#12 file, or else the certificate as PEM text.
  std::string certificate;
  // A path to a PEM or DER RSA key file, or else the key as PEM text; the
  // bundle's password when the certificate is a PKCS#12 bundle.
  std::string privateKey;
};

class ITransport : public virtual IRefCount {
 public:
  // A task handed out by a data hook and run by the transport once the
  // message has been refused or delivered:
  //   refused or consumed by the hook: once, before OnDataReady returns;
  //   direct delivery: once after every receiver, even with none;
  //   queued delivery: once per receiver alive when the message arrived,
  //     right after that receiver's OnDataReady, never with none.
  class PostReceiveTask : public virtual IRefCount {
   public:
    virtual void Run() = 0;
  };

  class ITransportNotify : public virtual IRefCount {
   public:
    // One received message. The stream is the receiver's own view, read
    // from its start. Text messages and raw chunks have the nil type.
    virtual int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) = 0;
    // One TransportEvent.
    virtual int OnEvent(const UUID& connectionId, int event) = 0;
  };

  class IDataHook : public virtual IRefCount {
   public:
    // Sees every message before it is delivered or queued, on the receive
    // thread. It may change the type, replace *data (releasing the old
    // reference; a new stream carries one reference) or clear it (consumed),
    // and hand out a task with one reference. A negative result or a null
    // *data suppresses delivery, and the result goes back to the connection.
    virtual int PreOnDataReady(const UUID& connectionId, UUID* messageType, IDataStream** data,
                               PostReceiveTask** task) = 0;
  };

  virtual int SetDataHook(IDataHook* hook) = 0;                                  // 0
  virtual int Initialize(bool asyncNotify, bool enabled) = 0;                    // 1
  virtual int SetEnabled(bool enabled) = 0;                                      // 2
  virtual int ReleaseListenerPort() = 0;                                         // 3
  virtual int ChangeListenerPort(uint16_t port) = 0;                             // 4
  virtual int SetConnectionSocketDscp(const UUID& connectionId, int dscp) = 0;   // 5
  virtual int Finalize() = 0;                                                    // 6
  virtual int SetEncryptionEnabled(bool enabled) = 0;                            // 7
  virtual int UpdateEncryptionStruct(const EncryptionStruct& settings) = 0;      // 8
  // Registers a receiver once; takes no reference. A receiver must call
  // RemoveNotify before its memory is freed.
  virtual int AddNotify(ITransportNotify* receiver) = 0;                         // 9
  virtual int SetKeepAlive(const UUID& connectionId, int intervalMs, int timeoutMs) = 0;  // 10
  virtual int SetIdleConnectionPurgeEnabled(bool enabled) = 0;                   // 11
  virtual int SetWriteTimeout(int timeoutMs) = 0;                                // 12
  virtual int RemoveNotify(ITransportNotify* receiver) = 0;                      // 13
  virtual int SetConnectionOptions(int32_t first, int32_t second) = 0;           // 14
  // ipv4 in host order; the new connection takes the id the server
  // announces in its handshake. timeoutMs 0 means 5000.
  virtual int OpenConnection(uint32_t ipv4, uint16_t port, UUID* connectionId, int timeoutMs) = 0;  // 15
  virtual int CloseConnection(const UUID& connectionId) = 0;                     // 16
  virtual int CloseAllConnections() = 0;                                         // 17
  // Host order; port may be null.
  virtual int GetPeerIpv4(const UUID& connectionId, uint32_t* ipv4, uint16_t* port) = 0;  // 18
  virtual int GetLocalIpv4(const UUID& connectionId, uint32_t* ipv4) = 0;       // 19
  virtual int BeginWrite() = 0;                                                  // 20
  virtual int EndWrite() = 0;                                                    // 21
  virtual int ConnectionReadyForWrite(const UUID& connectionId, bool* ready) = 0;  // 22
  // One binary frame; waits for the outcome.
  virtual int Write(const UUID& connectionId, const UUID& messageType, IDataStream* body) = 0;  // 23
  // One text frame ("CRVMSG:" and the caller's bytes, which end in ';'), or
  // the bytes alone on a raw transport. Does not wait. Note the asymmetry:
  // text is written as raw bytes but delivered as a length-prefixed string.
  virtual int WriteText(const UUID& connectionId, IDataStream* text) = 0;      // 24
  virtual int WriteTextSynchronous(const UUID& connectionId, IDataStream* text) = 0;  // 25
  virtual int GetStatistics(int* connectionCount) = 0;                           // 26
  // A dotted quad or a host name to an IPv4 address in host order.
  virtual int GetHostByName(const std::string& name, uint32_t* ipv4) = 0;        // 27
  virtual int SetFlowControlMode() = 0;                                          // 28
  virtual int SetResendMode() = 0;                                               // 29
};

// Offered by a listening transport. When every connection slot is held and
// a peer waits to be accepted, the listener closes one connection to make
// room, so that held slots cannot lock new clients out. Which connection
// goes is the user's choice; without a chooser, among those of the peer
// addresses that hold the most connections, one that never carried an
// application message (the oldest), else the one unused longest.
class IListenerSlots {
 public:
  class IChooser {
   public:
    // On the listener thread, while every slot is held and a peer waits:
    // the connection to close, or false to close none (the peer then waits
    // in the backlog). Must not call into the transport.
    virtual bool ChooseConnectionToClose(UUID* connectionId) = 0;

   protected:
    ~IChooser() = default;
  };

  // Takes no reference: the chooser must stay valid until the transport is
  // finalised or another chooser is set. Null restores the default. 0.
  virtual int SetSlotChooser(IChooser* chooser) = 0;

 protected:
  ~IListenerSlots() = default;
};

class ITransportFastWrite : public ITransport {
 public:
  class IWriter : public virtual IRefCount {
   public:
    // No effect; called before each write by the adapter.
    virtual void Reserved() = 0;
    // Builds and sends one binary frame on the writer's connection at once,
    // on the caller's thread.
    virtual int Write(const UUID& messageType, IDataStream* body) = 0;
  };

  // The connection's own writer with one reference for the caller;
  // Result_ConnectionNotFound for an unknown id.
  virtual int CreateWriter(const UUID& connectionId, IWriter** writer) = 0;
};

}  // namespace corvane
