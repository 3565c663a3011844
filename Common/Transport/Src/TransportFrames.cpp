#include "TransportFrames.h"

#include <cstring>

#include "Logger.h"
#include "Result.h"

namespace corvane {

const UUID KeepAliveConfigMessageType(0x2783ffd0u, 0x7ec7, 0x11e2, 0x9e960800200c9a66ull);
const UUID KeepAliveMessageType(0x2783ffd1u, 0x7ec7, 0x11e2, 0x9e960800200c9a66ull);

namespace {

constexpr uint32_t kDefaultHandshakeTimeoutMs = 5000;
constexpr uint32_t kMarkerWaitMs = 100;

bool IsScanBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads every byte of the stream from its start into one block.
int ReadWhole(IDataStream* joined, std::string* block) {
  uint32_t size = 0;
  int result = joined->GetSize(&size);
  if (Failed(result)) return result;
  std::string bytes(size, '\0');
  result = joined->Read(bytes.data(), size);
  if (Failed(result)) return result;
  *block = std::move(bytes);
  return Result_Ok;
}

int CheckMessageSize(IDataStream* body, uint32_t* size) {
  int result = body->GetSize(size);
  if (Failed(result)) return result;
  if (*size > kMaxMessageBody) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Fail, "Message exceeded max message size.");
  }
  return Result_Ok;
}

int JoinIntoBlock(IDataStream* first, IDataStream* second, std::string* block) {
  RefPtr<IDataStream> joined;
  int result = second ? ConcatenateDataStreams(first, second, joined.Receive())
                      : ConcatenateDataStreams(std::vector<IDataStream*>{first}, joined.Receive());
  if (Failed(result)) return result;
  return ReadWhole(joined.Get(), block);
}

}  // namespace

std::string BuildHandshake(const UUID& connectionId, bool tls) {
  std::string out;
  out.reserve(kHandshakeSize);
  out.append(kHandshakeMagic, 7);
  out.append(TransportProtocolVersion, 4);
  out.append(connectionId.ToString());
  out.push_back('\x01');
  out.push_back(tls ? '\x01' : '\x00');
  return out;
}

int ScanHandshake(const uint8_t* data, uint32_t size, HandshakeScan* scan) {
  if (!data || !scan) return Result_InvalidPointer;
  *scan = HandshakeScan();
  // A short handshake is no handshake: nothing is scanned from it.
  if (size >= kHandshakeTextSize && std::memcmp(data, kHandshakeMagic, 7) == 0) {
    uint32_t pos = 7;
    while (pos < kHandshakeTextSize && IsScanBlank(data[pos])) ++pos;
    std::string version;
    while (pos < kHandshakeTextSize && version.size() < 4 && data[pos] != 0 && !IsScanBlank(data[pos])) {
      version.push_back(static_cast<char>(data[pos++]));
    }
    if (!version.empty()) {
      scan->scanCount = 1;
      scan->version = std::move(version);
    }
  }
  if (scan->scanCount != 1 || scan->version != TransportProtocolVersion) return Result_VersionMismatch;
  scan->connectionId = UUID::Parse(std::string_view(reinterpret_cast<const char*>(data) + 11, 36));
  return Result_Ok;
}

int ReadServerHandshake(ITransportByteSource& source, uint32_t timeoutMs, UUID* connectionId, bool* tlsOffered) {
  if (!connectionId || !tlsOffered) return Result_InvalidPointer;
  *tlsOffered = false;
  if (!source.WaitReadable(timeoutMs == 0 ? kDefaultHandshakeTimeoutMs : timeoutMs)) {
    LOG_SEVERE("Unable to connect to remote server (non-blocking socket). Error: %d", source.LastError());
    return Result_Fail;
  }
  uint8_t text[kHandshakeTextSize] = {};
  const int got = source.RecvExact(text, static_cast<int>(kHandshakeTextSize));
  HandshakeScan scan;
  if (Failed(ScanHandshake(text, got > 0 ? static_cast<uint32_t>(got) : 0, &scan))) {
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(
        Result_VersionMismatch,
        "The server protocol version (%s) does not match client protocol version (%s). scancount: %d",
        scan.version.c_str(), TransportProtocolVersion, scan.scanCount);
  }
  *connectionId = scan.connectionId;
  uint8_t marker = 0;
  uint8_t flag = 0;
  if (source.WaitReadable(kMarkerWaitMs) && source.Recv(&marker, 1) == 1 && marker != 0) {
    if (source.Recv(&flag, 1) != 1) flag = 0;
  }
  *tlsOffered = marker != 0 && (flag & 1) != 0;
  return Result_Ok;
}

int BuildBinaryFrame(const UUID& messageType, IDataStream* body, std::string* block) {
  if (!body || !block) return Result_InvalidPointer;
  uint32_t size = 0;
  int result = CheckMessageSize(body, &size);
  if (Failed(result)) return result;
  RefPtr<IDataStream> header;
  result = CreateDataStream(header.Receive());
  if (Failed(result)) return result;
  header->Write(kBinaryStartCode, kStartCodeSize);
  header->WriteUInt32(size);
  messageType.Serialize(header.Get());
  return JoinIntoBlock(header.Get(), body, block);
}

std::string BuildKeepAliveFrame() {
  RefPtr<IDataStream> body;
  std::string block;
  if (Succeeded(CreateDataStream(body.Receive()))) BuildBinaryFrame(KeepAliveMessageType, body.Get(), &block);
  return block;
}

std::string BuildKeepAliveSettingsFrame(uint32_t intervalMs, uint32_t timeoutMs) {
  RefPtr<IDataStream> body;
  std::string block;
  if (Succeeded(CreateDataStream(body.Receive()))) {
    body->WriteUInt32(intervalMs);
    body->WriteUInt32(timeoutMs);
    BuildBinaryFrame(KeepAliveConfigMessageType, body.Get(), &block);
  }
  return block;
}

int GatherTextFrame(IDataStream* text, bool withStartCode, std::string* storage,
                    std::vector<DataStreamSpan>* pieces) {
  if (!text || !storage || !pieces) return Result_InvalidPointer;
  uint32_t size = 0;
  int result = CheckMessageSize(text, &size);
  if (Failed(result)) return result;
  std::vector<DataStreamSpan> spans;
  result = GetDataStreamSpans(text, &spans);
  if (result == Result_Fail) {
    result = JoinIntoBlock(text, nullptr, storage);
    spans.assign(1, DataStreamSpan{reinterpret_cast<const uint8_t*>(storage->data()),
                                   static_cast<uint32_t>(storage->size())});
  }
  if (Failed(result)) return result;
  pieces->clear();
  if (withStartCode) pieces->push_back(DataStreamSpan{kTextStartCode, kStartCodeSize});
  pieces->insert(pieces->end(), spans.begin(), spans.end());
  return Result_Ok;
}

int SendAll(ITransportByteSource& sink, const std::string& block) {
  size_t sent = 0;
  while (sent < block.size()) {
    const size_t rest = block.size() - sent;
    const int chunk = rest > 0x40000000u ? 0x40000000 : static_cast<int>(rest);
    const int n = sink.Send(reinterpret_cast<const uint8_t*>(block.data()) + sent, chunk);
    if (n < 1) return Result_ConnectionLost;
    sent += static_cast<size_t>(n);
  }
  return Result_Ok;
}

int BuildTextDelivery(const std::string& text, IDataStream** out) {
  if (!out) return Result_InvalidPointer;
  RefPtr<IDataStream> stream;
  int result = CreateDataStream(stream.Receive());
  if (Succeeded(result)) result = stream->WriteString(text);
  if (Failed(result)) return result;
  *out = stream.Detach();
  return Result_Ok;
}

int BuildRawRecord(uint32_t peerIpv4, uint32_t localIpv4, const uint8_t* data, uint32_t size, IDataStream** out) {
  if (!out || (!data && size != 0)) return Result_InvalidPointer;
  RefPtr<IDataStream> stream;
  int result = CreateDataStream(stream.Receive());
  if (Failed(result)) return result;
  stream->WriteUInt32(peerIpv4);
  stream->WriteUInt32(localIpv4);
  stream->WriteUInt32(size);
  result = stream->Write(data, size);
  if (Failed(result)) return result;
  *out = stream.Detach();
  return Result_Ok;
}

}  // namespace corvane
