// The older typed stream used by the discovery records and the protocol-2
// parser. It has separate read and write positions and no reading mode:
// bytes may be appended while earlier bytes are being read.
//
// Same byte layout as IDataStream. The error state is sticky and is part of
// the contract the protocol-2 parser relies on:
//  - a read that runs out of bytes consumes what was there, stores those
//    bytes into the low part of the value and puts the stream into the
//    failed state;
//  - in the failed state reads read nothing (outputs untouched), writes
//    append nothing, GetPosition fails, GetSize yields 0xFFFFFFFF, Seek and
//    Rewind do not move, Clear empties but still reports failure;
//  - only ReadBytes and Rewind clear it.
// Unless said otherwise an operation returns Result_Fail when the stream is
// in the failed state after it, else 0. Null pointers give
// Result_InvalidPointer and have no effect; a null data pointer is accepted
// when the length is 0.
#pragma once

#include <cstdint>
#include <string>

#include "RefCount.h"

namespace corvane {

class IDataStreamV1 : public virtual IRefCount {
 public:
  // Total bytes written; the read position does not move. With nothing
  // written: 0 and *out untouched. In the failed state: *out = 0xFFFFFFFF
  // and still 0.
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
  virtual int WriteString(const std::string& value) = 0;
  virtual int Write(const void* data, uint32_t length) = 0;

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
  // Any non-zero byte reads as true.
  virtual int ReadBool(bool* out) = 0;
  // The u32 length, then up to that many bytes. 0 when all were there.
  // Otherwise Result_Fail and *out holds the bytes that were there: when
  // the bytes ran short the stream is left at its end and NOT failed (the
  // byte read clears the state); when the length field itself ran short
  // *out is emptied and the stream stays failed. Never allocates more than
  // the bytes present.
  virtual int ReadString(std::string* out) = 0;
  // Reads up to `length` bytes, sets *received, clears the error state and
  // returns 0.
  virtual int ReadBytes(void* out, uint32_t length, uint32_t* received) = 0;
  // Copies the bytes from the read position to the end, without moving it.
  // In the failed state the position counts as 0 (everything is copied) and
  // the result is Result_Fail.
  virtual int ReadRemaining(std::string* out, uint32_t* length) = 0;
  virtual int GetPosition(uint32_t* out) = 0;
  // A position beyond the written bytes fails and sets the failed state.
  virtual int Seek(uint32_t position) = 0;
  // Empties the stream (both positions 0) but keeps the error state.
  virtual int Clear() = 0;
  // Moves the read position to 0 unless the stream is failed, then clears
  // the error state; returns 0. After a failed read the first Rewind only
  // clears (the position stays at the end), the second moves to 0.
  virtual int Rewind() = 0;
};

// A new, empty stream holding one reference for the caller.
int CreateNetworkDataStreamV1(IDataStreamV1** out);

class NetworkDataStreamV1 : public IDataStreamV1, public IRefCountImpl {
 public:
  NetworkDataStreamV1() = default;

  int GetSize(uint32_t* out) override;
  int WriteInt8(int8_t value) override;
  int WriteUInt8(uint8_t value) override;
  int WriteInt16(int16_t value) override;
  int WriteUInt16(uint16_t value) override;
  int WriteInt32(int32_t value) override;
  int WriteUInt32(uint32_t value) override;
  int WriteInt64(int64_t value) override;
  int WriteUInt64(uint64_t value) override;
  int WriteFloat(float value) override;
  int WriteDouble(double value) override;
  int WriteBool(bool value) override;
  int WriteString(const std::string& value) override;
  int Write(const void* data, uint32_t length) override;
  int ReadInt8(int8_t* out) override;
  int ReadUInt8(uint8_t* out) override;
  int ReadInt16(int16_t* out) override;
  int ReadUInt16(uint16_t* out) override;
  int ReadInt32(int32_t* out) override;
  int ReadUInt32(uint32_t* out) override;
  int ReadInt64(int64_t* out) override;
  int ReadUInt64(uint64_t* out) override;
  int ReadFloat(float* out) override;
  int ReadDouble(double* out) override;
  int ReadBool(bool* out) override;
  int ReadString(std::string* out) override;
  int ReadBytes(void* out, uint32_t length, uint32_t* received) override;
  int ReadRemaining(std::string* out, uint32_t* length) override;
  int GetPosition(uint32_t* out) override;
  int Seek(uint32_t position) override;
  int Clear() override;
  int Rewind() override;

 protected:
  ~NetworkDataStreamV1() override = default;

 private:
  template <class T>
  int WriteValue(T value);
  template <class T>
  int ReadValue(T* out);
  int Append(const void* data, size_t length);
  int StateResult() const;

  // The bytes written so far; writes append at the end. The read position
  // indexes into it.
  std::string data_;
  size_t readPosition_ = 0;
  // Sticky error state (the fail and bad bits of a standard stream).
  bool failed_ = false;
};

}  // namespace corvane
