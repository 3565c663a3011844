#include "DataStreamV1.h"

#include <gtest/gtest.h>

#include <vector>

#include "AllocationProbe.h"
#include "DataStream.h"
#include "Result.h"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

RefPtr<IDataStreamV1> NewStream() {
  IDataStreamV1* raw = nullptr;
  EXPECT_EQ(CreateNetworkDataStreamV1(&raw), Result_Ok);
  return RefPtr<IDataStreamV1>(raw, false);
}

RefPtr<IDataStreamV1> StreamOf(const Bytes& bytes) {
  auto s = NewStream();
  EXPECT_EQ(s->Write(bytes.data(), static_cast<uint32_t>(bytes.size())), Result_Ok);
  return s;
}

Bytes Remaining(IDataStreamV1* s) {
  std::string out;
  uint32_t length = 0;
  s->ReadRemaining(&out, &length);
  EXPECT_EQ(length, out.size());
  return Bytes(out.begin(), out.end());
}

// Puts the stream into the failed state with a short read.
void Fail(IDataStreamV1* s) {
  uint64_t value = 0;
  ASSERT_EQ(s->ReadUInt64(&value), Result_Fail);
}

TEST(DataStreamV1Test, WritesTheSameBytesAsTheTypedStream) {
  auto v1 = NewStream();
  IDataStream* raw = nullptr;
  ASSERT_EQ(CreateDataStream(&raw), Result_Ok);
  RefPtr<IDataStream> typed(raw, false);
  auto both = [&](auto write) {
    EXPECT_EQ(write(v1.Get()), Result_Ok);
    EXPECT_EQ(write(typed.Get()), Result_Ok);
  };
  both([](auto* s) { return s->WriteInt8(-2); });
  both([](auto* s) { return s->WriteUInt8(0xAB); });
  both([](auto* s) { return s->WriteInt16(-2); });
  both([](auto* s) { return s->WriteUInt16(0xA1B2); });
  both([](auto* s) { return s->WriteInt32(-2); });
  both([](auto* s) { return s->WriteUInt32(0x11223344); });
  both([](auto* s) { return s->WriteInt64(-2); });
  both([](auto* s) { return s->WriteUInt64(0x0102030405060708ull); });
  both([](auto* s) { return s->WriteFloat(-0.5f); });
  both([](auto* s) { return s->WriteDouble(3.25); });
  both([](auto* s) { return s->WriteBool(true); });
  both([](auto* s) { return s->WriteString(std::string("a\0b", 3)); });
  both([](auto* s) { return s->WriteString(""); });
  both([](auto* s) { return s->Write("xyz", 3); });

  uint32_t size = 0;
  ASSERT_EQ(typed->GetSize(&size), Result_Ok);
  Bytes expected(size);
  ASSERT_EQ(typed->Read(expected.data(), size), Result_Ok);
  EXPECT_EQ(Remaining(v1.Get()), expected);
  // The empty string is exactly its zero length field.
  EXPECT_EQ(Bytes(expected.end() - 7, expected.end() - 3), (Bytes{0, 0, 0, 0}));

  int8_t i8 = 0;
  uint8_t u8 = 0;
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  float f = 0;
  double d = 0;
  bool b = false;
  std::string s1, s2;
  uint8_t tail[3];
  uint32_t received = 0;
  EXPECT_EQ(v1->ReadInt8(&i8), Result_Ok);
  EXPECT_EQ(v1->ReadUInt8(&u8), Result_Ok);
  EXPECT_EQ(v1->ReadInt16(&i16), Result_Ok);
  EXPECT_EQ(v1->ReadUInt16(&u16), Result_Ok);
  EXPECT_EQ(v1->ReadInt32(&i32), Result_Ok);
  EXPECT_EQ(v1->ReadUInt32(&u32), Result_Ok);
  EXPECT_EQ(v1->ReadInt64(&i64), Result_Ok);
  EXPECT_EQ(v1->ReadUInt64(&u64), Result_Ok);
  EXPECT_EQ(v1->ReadFloat(&f), Result_Ok);
  EXPECT_EQ(v1->ReadDouble(&d), Result_Ok);
  EXPECT_EQ(v1->ReadBool(&b), Result_Ok);
  EXPECT_EQ(v1->ReadString(&s1), Result_Ok);
  EXPECT_EQ(v1->ReadString(&s2), Result_Ok);
  EXPECT_EQ(v1->ReadBytes(tail, 3, &received), Result_Ok);
  EXPECT_EQ(i8, -2);
  EXPECT_EQ(u8, 0xAB);
  EXPECT_EQ(i16, -2);
  EXPECT_EQ(u16, 0xA1B2);
  EXPECT_EQ(i32, -2);
  EXPECT_EQ(u32, 0x11223344u);
  EXPECT_EQ(i64, -2);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(f, -0.5f);
  EXPECT_EQ(d, 3.25);
  EXPECT_TRUE(b);
  EXPECT_EQ(s1, std::string("a\0b", 3));
  EXPECT_EQ(s2, "");
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(Bytes(tail, tail + 3), (Bytes{'x', 'y', 'z'}));
}

TEST(DataStreamV1Test, GetSizeLeavesTheReadPositionAndAnEmptyStreamsOutput) {
  auto s = NewStream();
  uint32_t size = 1234;
  EXPECT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 1234u);
  ASSERT_EQ(s->Write("abcde", 5), Result_Ok);
  uint8_t two[2];
  uint32_t received = 0;
  ASSERT_EQ(s->ReadBytes(two, 2, &received), Result_Ok);
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 5u);
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 'c');
  // Emptied again by Clear: back to "nothing written".
  ASSERT_EQ(s->Clear(), Result_Ok);
  size = 77;
  EXPECT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 77u);
}

TEST(DataStreamV1Test, ShortReadFillsTheLowBytesAndFailsTheStream) {
  auto s = StreamOf({0x01, 0x02, 0x03});
  uint32_t value = 0xFFFFFFFF;
  EXPECT_EQ(s->ReadUInt32(&value), Result_Fail);
  EXPECT_EQ(value, 0xFF030201u);

  // The failed state, as the protocol-2 parser sees it.
  uint32_t size = 0;
  EXPECT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 0xFFFFFFFFu);
  uint32_t position = 42;
  EXPECT_EQ(s->GetPosition(&position), Result_Fail);
  EXPECT_EQ(position, 42u);
  uint8_t byte = 9;
  EXPECT_EQ(s->ReadUInt8(&byte), Result_Fail);
  EXPECT_EQ(byte, 9);
  EXPECT_EQ(s->WriteUInt8(4), Result_Fail);
  EXPECT_EQ(s->Write("xy", 2), Result_Fail);
  EXPECT_EQ(s->WriteString("xy"), Result_Fail);
  EXPECT_EQ(s->Seek(0), Result_Fail);

  // The first Rewind only clears: the short read consumed the 3 bytes.
  EXPECT_EQ(s->Rewind(), Result_Ok);
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 3u);
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 3u);  // the refused writes appended nothing
  EXPECT_EQ(s->Rewind(), Result_Ok);
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 0u);
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 0x01);
}

TEST(DataStreamV1Test, ShortReadsOfEveryWidth) {
  auto s = StreamOf({0xAA});
  uint16_t u16 = 0x1234;
  EXPECT_EQ(s->ReadUInt16(&u16), Result_Fail);
  EXPECT_EQ(u16, 0x12AA);

  auto s64 = StreamOf({1, 2, 3, 4, 5});
  int64_t i64 = -1;
  EXPECT_EQ(s64->ReadInt64(&i64), Result_Fail);
  EXPECT_EQ(static_cast<uint64_t>(i64), 0xFFFFFF0504030201ull);

  // Nothing left at all: the value is untouched.
  auto empty = NewStream();
  uint32_t u32 = 7;
  bool b = true;
  EXPECT_EQ(empty->ReadUInt32(&u32), Result_Fail);
  EXPECT_EQ(u32, 7u);
  EXPECT_EQ(empty->Rewind(), Result_Ok);
  EXPECT_EQ(empty->ReadBool(&b), Result_Fail);
  EXPECT_TRUE(b);
}

TEST(DataStreamV1Test, ReadBytesClearsTheFailedStateAndReportsWhatItGot) {
  auto s = StreamOf({1, 2, 3, 4});
  Fail(s.Get());
  uint8_t out[4] = {9, 9, 9, 9};
  uint32_t received = 55;
  EXPECT_EQ(s->ReadBytes(out, 4, &received), Result_Ok);
  EXPECT_EQ(received, 0u);  // a failed stream reads nothing
  EXPECT_EQ(out[0], 9);
  uint32_t position = 0;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 4u);

  ASSERT_EQ(s->Seek(2), Result_Ok);
  EXPECT_EQ(s->ReadBytes(out, 4, &received), Result_Ok);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[1], 4);
  // Running short in ReadBytes leaves no failure behind.
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 4u);
}

TEST(DataStreamV1Test, ReadRemainingCopiesWithoutMoving) {
  auto s = StreamOf({1, 2, 3, 4, 5});
  uint8_t two[2];
  uint32_t received = 0;
  ASSERT_EQ(s->ReadBytes(two, 2, &received), Result_Ok);
  EXPECT_EQ(Remaining(s.Get()), (Bytes{3, 4, 5}));
  uint32_t position = 0;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 2u);

  // On a failed stream the position counts as 0 and the result says so:
  // a caller compacting the stream must not reuse these bytes.
  Fail(s.Get());
  std::string out;
  uint32_t length = 0;
  EXPECT_EQ(s->ReadRemaining(&out, &length), Result_Fail);
  EXPECT_EQ(out, std::string("\x01\x02\x03\x04\x05"));
  EXPECT_EQ(length, 5u);
}

TEST(DataStreamV1Test, ClearEmptiesButKeepsTheFailure) {
  auto s = StreamOf({1, 2});
  Fail(s.Get());
  EXPECT_EQ(s->Clear(), Result_Fail);
  EXPECT_EQ(s->Clear(), Result_Fail);
  EXPECT_EQ(s->Rewind(), Result_Ok);
  EXPECT_EQ(s->Clear(), Result_Ok);
  uint32_t size = 99;
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 99u);  // nothing written
  ASSERT_EQ(s->WriteUInt8(7), Result_Ok);
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 7);
}

TEST(DataStreamV1Test, SeekRules) {
  auto s = StreamOf({1, 2, 3});
  ASSERT_EQ(s->Seek(3), Result_Ok);
  uint8_t byte = 0;
  EXPECT_EQ(s->ReadUInt8(&byte), Result_Fail);
  EXPECT_EQ(s->Rewind(), Result_Ok);
  EXPECT_EQ(s->Seek(4), Result_Fail);
  uint32_t size = 0;
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 0xFFFFFFFFu);  // a bad seek fails the stream
  EXPECT_EQ(s->Rewind(), Result_Ok);
  uint32_t position = 9;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 3u);
  ASSERT_EQ(s->Seek(1), Result_Ok);
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 2);
}

TEST(DataStreamV1Test, ReadStringTakesWhatIsThere) {
  // Length 10, 4 bytes: fails and keeps the 4 bytes; the byte read clears
  // the state, leaving the stream at its end.
  auto s = StreamOf({0x0A, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'});
  std::string str = "old";
  EXPECT_EQ(s->ReadString(&str), Result_Fail);
  EXPECT_EQ(str, "abcd");
  uint32_t position = 0;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 8u);

  // A short length field: the string is emptied and the stream stays failed.
  auto shortLength = StreamOf({0x05, 0x00});
  str = "old";
  EXPECT_EQ(shortLength->ReadString(&str), Result_Fail);
  EXPECT_EQ(str, "");
  uint32_t size = 0;
  ASSERT_EQ(shortLength->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 0xFFFFFFFFu);

  // Already failed: nothing is read and the failure stays.
  str = "old";
  EXPECT_EQ(shortLength->ReadString(&str), Result_Fail);
  EXPECT_EQ(str, "");
  EXPECT_EQ(shortLength->GetPosition(&position), Result_Fail);
}

TEST(DataStreamV1Test, HostileStringLengthsAllocateOnlyWhatIsThere) {
  for (uint32_t length : {0xFFFFFFFFu, 0x6400001u, 0x80000000u}) {
    auto s = NewStream();
    ASSERT_EQ(s->WriteUInt32(length), Result_Ok);
    ASSERT_EQ(s->Write("abc", 3), Result_Ok);
    std::string str;
    probe::AllocationProbe probe;
    EXPECT_EQ(s->ReadString(&str), Result_Fail);
    EXPECT_LT(probe.Largest(), 1024u);
    EXPECT_EQ(str, "abc");
  }
  // The probe itself sees the stream's allocations.
  auto s = NewStream();
  std::string block(5000, 'x');
  probe::AllocationProbe probe;
  ASSERT_EQ(s->WriteString(block), Result_Ok);
  EXPECT_GE(probe.Largest(), 5000u);
}

TEST(DataStreamV1Test, BytesMayBeAppendedWhileReading) {
  // The protocol-2 parser appends each delivery and reads on.
  auto s = StreamOf({0x44, 0x33});
  uint32_t size = 0, position = 0;
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(size - position, 2u);  // not enough for a u32 yet: wait
  ASSERT_EQ(s->Write("\x22\x11\x05", 3), Result_Ok);
  uint32_t value = 0;
  ASSERT_EQ(s->ReadUInt32(&value), Result_Ok);
  EXPECT_EQ(value, 0x11223344u);
  ASSERT_EQ(s->WriteUInt8(6), Result_Ok);
  uint8_t a = 0, b = 0;
  ASSERT_EQ(s->ReadUInt8(&a), Result_Ok);
  ASSERT_EQ(s->ReadUInt8(&b), Result_Ok);
  EXPECT_EQ(a, 5);
  EXPECT_EQ(b, 6);
}

TEST(DataStreamV1Test, ReadBoolAndNullPointers) {
  auto s = StreamOf({0x02, 0x00});
  bool b = false;
  ASSERT_EQ(s->ReadBool(&b), Result_Ok);
  EXPECT_TRUE(b);
  ASSERT_EQ(s->ReadBool(&b), Result_Ok);
  EXPECT_FALSE(b);

  uint32_t received = 0;
  std::string str;
  EXPECT_EQ(CreateNetworkDataStreamV1(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->GetSize(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->Write(nullptr, 1), Result_InvalidPointer);
  EXPECT_EQ(s->ReadUInt32(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadBool(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadString(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadBytes(nullptr, 1, &received), Result_InvalidPointer);
  EXPECT_EQ(s->ReadBytes(&b, 1, nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadRemaining(nullptr, &received), Result_InvalidPointer);
  EXPECT_EQ(s->ReadRemaining(&str, nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->GetPosition(nullptr), Result_InvalidPointer);
  // None of them touched the stream's state.
  uint32_t position = 0;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 2u);
}

}  // namespace
}  // namespace corvane
