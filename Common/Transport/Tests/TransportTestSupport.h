// Helpers of the transport tests and fuzz target: a byte source that hands
// out a byte string in arrival chunks, and a frame sink that records what
// it is given.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "Logger.h"
#include "RefCount.h"
#include "TestLogCapture.h"
#include "TestWait.h"
#include "TransportFrameReader.h"

namespace corvane::test {

// The captured messages containing text, in order.
inline std::vector<std::string> Matching(const ScopedCapture& capture, const std::string& text) {
  std::vector<std::string> out;
  for (const CapturedLine& l : capture->Lines()) {
    if (l.message.find(text) != std::string::npos) out.push_back(l.message);
  }
  return out;
}

// Models a blocking socket whose peer sends `data` in the given chunks: a
// peek sees only what has arrived, a read waits for the next chunk, and the
// end of the data is a closed connection.
class ChunkedByteSource final : public ITransportByteSource {
 public:
  explicit ChunkedByteSource(std::string data, std::vector<size_t> chunks = {})
      : data_(std::move(data)), chunks_(std::move(chunks)) {
    Arrive();
  }
  int Peek(uint8_t* buffer, int size) override {
    if (available() == 0) Arrive();
    const size_t n = std::min<size_t>(size, available());
    std::memcpy(buffer, data_.data() + pos_, n);
    return static_cast<int>(n);
  }
  int Recv(uint8_t* buffer, int size) override {
    if (available() == 0) Arrive();
    const size_t n = std::min<size_t>(size, available());
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<int>(n);
  }
  int RecvExact(uint8_t* buffer, int size) override {
    while (available() < static_cast<size_t>(size) && arrived_ < data_.size()) Arrive();
    return Recv(buffer, size);
  }
  int Send(const uint8_t* data, int size) override {
    const int n = sendLimit_ > 0 ? std::min(size, sendLimit_) : size;
    sent_.append(reinterpret_cast<const char*>(data), n);
    return failSend_ ? -1 : n;
  }
  bool WaitReadable(uint32_t) override {
    if (available() == 0) Arrive();
    return available() > 0;
  }
  int LastError() override { return 0; }
  void Pause(uint32_t) override {
    ++pauses_;
    Arrive();
  }

  bool Exhausted() const { return pos_ >= data_.size(); }
  bool AllArrived() const { return arrived_ >= data_.size(); }
  size_t Position() const { return pos_; }
  int pauses() const { return pauses_; }
  const std::string& sent() const { return sent_; }
  void LimitSends(int limit) { sendLimit_ = limit; }
  void FailSends() { failSend_ = true; }

 private:
  size_t available() const { return arrived_ - pos_; }
  void Arrive() {
    size_t chunk = data_.size();
    if (next_ < chunks_.size()) chunk = std::max<size_t>(1, chunks_[next_++]);
    arrived_ = std::min(data_.size(), arrived_ + chunk);
  }

  std::string data_;
  std::vector<size_t> chunks_;
  size_t next_ = 0;
  size_t arrived_ = 0;
  size_t pos_ = 0;
  int pauses_ = 0;
  int sendLimit_ = 0;
  bool failSend_ = false;
  std::string sent_;
};

// Runs passes until the source is used up (bounded, so a reader that stops
// consuming fails the test instead of hanging it).
// Passes stop early once everything has arrived and a pass consumed
// nothing (a partial start code left at the end).
inline void ReadAll(TransportFrameReader& reader, ChunkedByteSource& source, int maxPasses = 100000) {
  for (int i = 0; i < maxPasses && !source.Exhausted(); ++i) {
    const size_t before = source.Position();
    const bool allArrived = source.AllArrived();
    reader.ReadPass();
    if (allArrived && source.Position() == before) break;
  }
}

struct SinkRecord {
  UUID type;
  std::string bytes;
};

class RecordingSink final : public ITransportFrameSink {
 public:
  void OnMessage(const UUID& type, IDataStream* data) override {
    uint32_t size = 0;
    data->GetSize(&size);
    std::string bytes(size, '\0');
    data->Read(bytes.data(), size);
    messages.push_back({type, bytes});
  }
  void OnKeepAliveSettings(std::optional<uint32_t> interval, std::optional<uint32_t> timeout) override {
    settings.emplace_back(interval, timeout);
  }
  void OnKeepAlive() override { ++keepAlives; }
  int total() const { return static_cast<int>(messages.size()) * 100 + static_cast<int>(settings.size()) * 10 + keepAlives; }

  std::vector<SinkRecord> messages;
  std::vector<std::pair<std::optional<uint32_t>, std::optional<uint32_t>>> settings;
  int keepAlives = 0;
};

// A self-signed certificate for key, valid for an hour.
inline X509* MakeSelfSignedCert(EVP_PKEY* key) {
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  return cert;
}

// What write puts into a memory BIO.
template <class F>
std::string PemOf(F write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<size_t>(size));
  BIO_free(bio);
  return out;
}

inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

}  // namespace corvane::test
