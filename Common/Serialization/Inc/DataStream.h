// The typed, little-endian byte stream in which every message is built and
// read. Its bytes are kept as chunks of shared buffers, so streams can be
// concatenated, cut into sub-streams and handed on without copying.
//
// Encoding: integers little-endian (signed in two's complement), float and
// double as their IEEE-754 bytes little-endian, bool as one byte (1 or 0; a
// read takes any non-zero byte as true), a string as a u32 byte count
// followed by the bytes. No padding, no terminators.
//
// A stream is first written, then read. The first read-side call (a read,
// GetPosition, a successful Seek, GetHash) switches it into reading mode;
// from then on Write, AttachBuffer and AppendEmpty fail with Result_Fail
// until Clear. Streams have no lock: one thread uses a stream at a time.
//
// Every operation returns 0 on success or a negative _Enum_Result_. A failed
// read leaves its output and the read position untouched (ReadString: see
// below). Null pointers give Result_InvalidPointer and have no effect; a
// null data pointer is accepted when the length is 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RefCount.h"
#include "Serialize.h"

namespace corvane {

class IDataStream : public virtual IRefCount {
 public:
  virtual int GetSize(uint32_t* out) = 0;

  virtual int WriteInt8(int8_t value) = 0;
  virtual int WriteUInt8(uint8_t value) = 0;
  virtual int WriteInt16(int16_t value) = 0;
  virtual int WriteUInt16(uint16_t value) = 0;
  virtual int WriteInt32(int32_t value) = 0;
  virtual int WriteUInt32(uint32_t value) = 0;
  virtual int WriteInt64(int64_t value) = 0;
  virtual int WriteUInt64(uint64_t value) = 0;
  virtual int WriteFloat(float value) = 0;
  virtual int WriteDouble(double value) = 0;
  virtual int WriteBool(bool value) = 0;
  // The length field, then the bytes. A string that cannot be written whole
  // (longer than 4 GiB, or past the 4 GiB stream size) writes nothing.
  virtual int WriteString(const std::string& value) = 0;
  // Appends in place while the last buffer has room, otherwise into a new
  // buffer of max(length, 64) bytes. A stream never grows past 4 GiB - 1:
  // such a write fails with Result_Fail.
  virtual int Write(const void* data, uint32_t length) = 0;
  // Adopts a block made with new[] as one chunk, without copying. On success
  // the stream owns the block (a zero-length block is freed at once); on
  // failure it stays the caller's.
  virtual int AttachBuffer(uint8_t* data, uint32_t length) = 0;
  // Appends `length` bytes that have no storage; they read as zeros.
  virtual int AppendEmpty(uint32_t length) = 0;

  virtual int ReadInt8(int8_t* out) = 0;
  virtual int ReadUInt8(uint8_t* out) = 0;
  virtual int ReadInt16(int16_t* out) = 0;
  virtual int ReadUInt16(uint16_t* out) = 0;
  virtual int ReadInt32(int32_t* out) = 0;
  virtual int ReadUInt32(uint32_t* out) = 0;
  virtual int ReadInt64(int64_t* out) = 0;
  virtual int ReadUInt64(uint64_t* out) = 0;
  virtual int ReadFloat(float* out) = 0;
  virtual int ReadDouble(double* out) = 0;
  virtual int ReadBool(bool* out) = 0;
  // A length above kMaxStringLength puts the position back before the length
  // field and fails with Result_Fail. A length larger than the bytes that
  // remain fails with Result_Fail, leaves *out unchanged and the position
  // after the length field. Nothing is allocated beyond the bytes present.
  virtual int ReadString(std::string* out) = 0;
  // Fewer than `length` bytes left: Result_Fail, nothing copied, position
  // unchanged. A read of 0 bytes succeeds.
  virtual int Read(void* out, uint32_t length) = 0;

  virtual int GetPosition(uint32_t* out) = 0;
  // A position beyond the size fails with Result_InvalidArgument and leaves
  // the mode alone; the size itself is allowed.
  virtual int Seek(uint32_t position) = 0;
  // h = h * 37 + byte (mod 2^32) over the unread bytes; storage-less bytes
  // are skipped. The position does not move.
  virtual int GetHash(uint32_t* out) = 0;
  // Drops every chunk, rewinds and returns to writing mode.
  virtual int Clear() = 0;

  static constexpr uint32_t kMaxStringLength = 0x6400000;  // 100 MiB
};

// A new, empty, writable stream holding one reference for the caller.
int CreateDataStream(IDataStream** out);

// A new stream in reading mode at position 0 holding every byte of every
// part, in order, whatever the parts' read positions; the buffers are
// shared. A part not made by CreateDataStream (or these functions) fails
// with Result_InvalidArgument, as does a total of 4 GiB or more; *out is
// then untouched.
int ConcatenateDataStreams(const std::vector<IDataStream*>& parts, IDataStream** out);
int ConcatenateDataStreams(IDataStream* first, IDataStream* second, IDataStream** out);

// A new stream in reading mode holding the bytes [begin, end) of `source`,
// sharing its buffers. end < begin, end past the size or a foreign source
// fail with Result_InvalidArgument.
int CreateSubStream(IDataStream* source, uint32_t begin, uint32_t end, IDataStream** out);

// Appends the string's bytes as one chunk that shares the string instead of
// copying it: the stream keeps it alive and never writes into it. Writing
// mode only (else Result_Fail, as is a stream past 4 GiB - 1); a foreign
// stream fails with Result_InvalidArgument.
int AppendSharedBytes(IDataStream* stream, std::shared_ptr<const std::string> bytes);

// A run of a stream's stored bytes.
struct DataStreamSpan {
  const uint8_t* data;
  uint32_t size;
};
// Every byte of the stream, whatever its read position, as the runs of the
// buffers that hold them, in order; valid while the stream is unchanged.
// Result_Fail when some bytes have no storage (AppendEmpty); a foreign
// stream fails with Result_InvalidArgument.
int GetDataStreamSpans(IDataStream* stream, std::vector<DataStreamSpan>* out);

// Inspection seam for tests and benchmarks: the capacity of the buffer under
// each chunk, in stream order.
int GetDataStreamBufferCapacities(IDataStream* stream, std::vector<uint32_t>* out);

}  // namespace corvane
