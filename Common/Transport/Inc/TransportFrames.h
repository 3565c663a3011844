// The transport's wire format: the 49-byte handshake that the accepting side
// of a binary or text connection sends first, binary frames (with the two
// keep-alive frames), text frames, and the records handed to receivers.
// All integers little-endian; a UUID travels as u32, u16, u16, 8 bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DataStream.h"
#include "TransportByteSource.h"
#include "Uuid.h"

namespace corvane {

inline constexpr char kHandshakeMagic[] = "CORTRPT";         // 7 bytes on the wire
inline constexpr char TransportProtocolVersion[] = "0002";  // compared as text
inline constexpr uint32_t kHandshakeSize = 49;
inline constexpr uint32_t kHandshakeTextSize = 47;  // magic, version, UUID text
inline constexpr uint8_t kBinaryStartCode[7] = {'C', 'R', 'V', 'M', 'S', 'G', 0};
inline constexpr uint8_t kTextStartCode[7] = {'C', 'R', 'V', 'M', 'S', 'G', ':'};
inline constexpr uint32_t kStartCodeSize = 7;
inline constexpr uint32_t kFrameHeaderSize = 27;
inline constexpr uint32_t kMaxMessageBody = 104857600;  // inclusive
// Largest single read of a binary body: big enough that syscalls do not cap
// throughput, and no more than the first body block, so an announced length
// still costs nothing until its bytes arrive.
inline constexpr uint32_t kBodyReadChunk = 65536;
inline constexpr uint32_t kTextReadLimit = 100;
inline constexpr uint32_t kRawReadSize = 10240;

extern const UUID KeepAliveConfigMessageType;  // 2783ffd0-7ec7-11e2-9e96-0800200c9a66
extern const UUID KeepAliveMessageType;        // 2783ffd1-7ec7-11e2-9e96-0800200c9a66

// "CORTRPT", the version, the id as text, the marker 0x01 and the TLS flag.
std::string BuildHandshake(const UUID& connectionId, bool tls);

// What a client made of the server's handshake text.
struct HandshakeScan {
  int scanCount = 0;    // 1 when a version text followed the magic
  std::string version;  // "" when nothing was scanned
  UUID connectionId;
};
// Reads "CORTRPT" and up to four non-blank characters from exactly the given
// bytes; fewer than 47 bytes scan nothing. Result_VersionMismatch unless the
// version equals TransportProtocolVersion (nothing logged).
int ScanHandshake(const uint8_t* data, uint32_t size, HandshakeScan* scan);

// The client side: waits up to timeoutMs (0: 5000) for the handshake, reads
// it, then waits up to 100 ms for the marker and TLS flag. Result_Fail when
// nothing arrives, Result_VersionMismatch (logged with the versions and the
// scan count) on a wrong or short handshake.
int ReadServerHandshake(ITransportByteSource& source, uint32_t timeoutMs, UUID* connectionId, bool* tlsOffered);

// The 27-byte header and the whole body, whatever its read position, as one
// block. A body above kMaxMessageBody: Result_Fail, "Message exceeded max
// message size." logged.
int BuildBinaryFrame(const UUID& messageType, IDataStream* body, std::string* block);
std::string BuildKeepAliveFrame();
std::string BuildKeepAliveSettingsFrame(uint32_t intervalMs, uint32_t timeoutMs);
// A text frame as pieces that share the text's buffers instead of joining
// them: "CRVMSG:" and the text's bytes, or the bytes alone when
// withStartCode is clear (raw mode). Bytes without storage are joined into
// *storage, which the pieces may then point into; the pieces stay valid
// while the text and *storage are unchanged. Size limit as for binary
// frames.
int GatherTextFrame(IDataStream* text, bool withStartCode, std::string* storage,
                    std::vector<DataStreamSpan>* pieces);

// Sends every byte, looping over partial sends. Result_ConnectionLost as soon
// as a send returns less than 1.
int SendAll(ITransportByteSource& sink, const std::string& block);

// Delivered text: one WriteString of the text after the start code.
int BuildTextDelivery(const std::string& text, IDataStream** out);
// Delivered raw record: peer IPv4, local IPv4 (host order), then the bytes as
// one string.
int BuildRawRecord(uint32_t peerIpv4, uint32_t localIpv4, const uint8_t* data, uint32_t size,
                   IDataStream** out);

}  // namespace corvane
