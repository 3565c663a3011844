// Loopback helpers of the transport's end-to-end tests and benchmark: a
// receiver that records what a transport hands it, test credentials, a
// scripted fake server and a byte relay, all on 127.0.0.1 with deadlines.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DataStream.h"
#include "ITransport.h"
#include "RefCount.h"
#include "TestDataRoot.h"
#include "TestLoopbackPeer.h"
#include "TestWait.h"
#include "TlsContext.h"
#include "TransportTestSupport.h"
#include "Uuid.h"

namespace corvane::test {

constexpr uint32_t kLoopback = 0x7F000001;

struct ReceivedMessage {
  UUID connection;
  UUID type;
  std::string bytes;
};

// The connection events a receiver was handed, in order; safe to read from
// the test thread while the transport's threads add to it.
class EventLog {
 public:
  void Add(const UUID& connectionId, int event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.emplace_back(connectionId, event);
  }
  int Events(int event) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& e : events_) n += e.second == event ? 1 : 0;
    return n;
  }
  int Events(int event, const UUID& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& e : events_) n += (e.second == event && e.first == id) ? 1 : 0;
    return n;
  }
  std::vector<UUID> Ids(int event) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<UUID> out;
    for (const auto& e : events_) {
      if (e.second == event) out.push_back(e.first);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<UUID, int>> events_;
};

class RecordingReceiver final : public ITransport::ITransportNotify, public IRefCountImpl, public EventLog {
 public:
  int OnDataReady(const UUID& connectionId, const UUID& messageType, IDataStream* data) override {
    uint32_t size = 0;
    uint32_t position = 0;
    data->GetSize(&size);
    data->GetPosition(&position);
    std::string bytes(size - position, '\0');
    data->Read(bytes.data(), size - position);
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({connectionId, messageType, std::move(bytes)});
    return 0;
  }
  int OnEvent(const UUID& connectionId, int event) override {
    Add(connectionId, event);
    return 0;
  }
  std::vector<ReceivedMessage> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t MessageCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<ReceivedMessage> messages_;
};

inline RefPtr<IDataStream> StreamOf(const std::string& bytes) {
  RefPtr<IDataStream> stream;
  CreateDataStream(stream.Receive());
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  stream->Seek(0);
  return stream;
}

// An RSA key with its self-signed certificate, as PEM text and as files.
class TestCredentials {
 public:
  static const TestCredentials& Get() {
    static const TestCredentials credentials;
    return credentials;
  }
  EncryptionStruct Settings() const {
    EncryptionStruct s;
    s.enabled = true;
    s.certificate = certPem_;
    s.privateKey = keyPem_;
    return s;
  }
  std::string CertFile() const { return folder_ / "cert.pem"; }
  std::string KeyFile() const { return folder_ / "key.pem"; }

 private:
  TestCredentials() : folder_("tds-tls") {
    // The library set up the transport's way before its first use here: a
    // first use of our own would register its clean-up at exit, which then
    // races the deletion thread still freeing the last tests' sessions.
    TlsContext::InitializeLibrary();
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = MakeSelfSignedCert(key);
    certPem_ = PemOf([&](BIO* b) { PEM_write_bio_X509(b, cert); });
    keyPem_ = PemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
    WriteFile(CertFile(), certPem_);
    WriteFile(KeyFile(), keyPem_);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  TempFolder folder_;
  std::string certPem_;
  std::string keyPem_;
};

// A port that was free a moment ago, for listeners given a port number.
uint16_t FreePort();

// Waits up to timeoutMs until every transport connection has been destroyed
// and the deletion thread has worked through what was queued before: a
// finalized transport's connections (their TLS sessions and threads) go on
// the deletion thread, which the process does not wait for at exit. True
// when all of it is gone.
bool WaitTransportTeardown(int timeoutMs = 30000);

// A listening socket on 127.0.0.1 whose one accepted connection runs
// script on an owned thread; stop turns true when the server is destroyed,
// which joins the thread.
class FakeServer {
 public:
  using Script = std::function<void(LoopbackPeer& peer, const std::atomic<bool>& stop)>;
  // receiveBufferBytes > 0: a small receive buffer, so that a script that
  // stops reading backs the client up fast.
  explicit FakeServer(Script script, int receiveBufferBytes = 0);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Copies bytes both ways between two sockets until either side closes or
// stop turns true (checked every 50 ms).
void Pump(int a, int b, const std::atomic<bool>& stop);

// A TCP relay on 127.0.0.1 in front of a listener: every connection made to
// Port() is joined to a new connection to the target, and Cut() drops all of
// them at once, whatever either end is doing. A non-zero sourceIpv4 (host
// order, within 127.0.0.0/8) is the address the target sees the relayed
// connections come from. Owns its threads; the destructor joins them.
class TcpRelay {
 public:
  explicit TcpRelay(uint16_t targetPort, uint32_t sourceIpv4 = 0);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;
  uint16_t Port() const { return port_; }
  // Shuts down both sockets of every relayed connection; returns how many
  // connections it cut.
  int Cut();

 private:
  struct Link {
    int client = -1;
    int server = -1;
    bool cut = false;
    // One thread per direction: a side that stops reading never holds up
    // the other direction, as on a real path.
    std::thread up;
    std::thread down;
  };
  void AcceptLoop();

  const uint16_t target_;
  const uint32_t source_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::unique_ptr<Link>> links_;
  std::thread acceptor_;
};

// The transport's 49 clear handshake bytes for id.
std::string HandshakeBytes(const UUID& id, bool tls);

// Layer records as a peer writes them by hand: integers little-endian, a
// UUID in its 16-byte form.
std::string Le64(uint64_t v);
std::string UuidBytes(const UUID& id);
// [4][connection UUID][instance UUID][bool isReconnect].
std::string ConnectRecord(const UUID& id, const UUID& instance, bool isReconnect);

}  // namespace corvane::test
