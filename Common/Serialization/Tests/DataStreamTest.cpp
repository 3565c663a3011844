#include "DataStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AllocationProbe.h"
#include "Result.h"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

RefPtr<IDataStream> NewStream() {
  IDataStream* raw = nullptr;
  EXPECT_EQ(CreateDataStream(&raw), Result_Ok);
  return RefPtr<IDataStream>(raw, false);
}

RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
  auto s = NewStream();
  EXPECT_EQ(s->Write(bytes.data(), static_cast<uint32_t>(bytes.size())), Result_Ok);
  return s;
}

// Every byte of the stream from offset 0, leaving the position where it was.
Bytes Contents(IDataStream* s) {
  uint32_t size = 0, position = 0;
  EXPECT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(s->GetPosition(&position), Result_Ok);
  Bytes out(size);
  EXPECT_EQ(s->Seek(0), Result_Ok);
  EXPECT_EQ(s->Read(out.data(), size), Result_Ok);
  EXPECT_EQ(s->Seek(position), Result_Ok);
  return out;
}

std::vector<uint32_t> Capacities(IDataStream* s) {
  std::vector<uint32_t> out;
  EXPECT_EQ(GetDataStreamBufferCapacities(s, &out), Result_Ok);
  return out;
}

TEST(DataStreamTest, TypedWritesAreLittleEndianWithoutPadding) {
  auto s = NewStream();
  ASSERT_EQ(s->WriteUInt32(0x11223344), Result_Ok);
  ASSERT_EQ(s->WriteString("abc"), Result_Ok);
  ASSERT_EQ(s->WriteInt8(-2), Result_Ok);
  ASSERT_EQ(s->WriteUInt16(0xA1B2), Result_Ok);
  ASSERT_EQ(s->WriteInt16(-2), Result_Ok);
  ASSERT_EQ(s->WriteInt32(-2), Result_Ok);
  ASSERT_EQ(s->WriteUInt64(0x0102030405060708ull), Result_Ok);
  ASSERT_EQ(s->WriteInt64(-2), Result_Ok);
  ASSERT_EQ(s->WriteFloat(1.0f), Result_Ok);
  ASSERT_EQ(s->WriteDouble(1.0), Result_Ok);
  ASSERT_EQ(s->WriteBool(true), Result_Ok);
  ASSERT_EQ(s->WriteBool(false), Result_Ok);
  ASSERT_EQ(s->WriteString(""), Result_Ok);
  const Bytes expected = {
      0x44, 0x33, 0x22, 0x11,                          // u32
      0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c',           // "abc"
      0xFE,                                            // i8
      0xB2, 0xA1,                                      // u16
      0xFE, 0xFF,                                      // i16
      0xFE, 0xFF, 0xFF, 0xFF,                          // i32
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // u64
      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // i64
      0x00, 0x00, 0x80, 0x3F,                          // 1.0f
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F,  // 1.0
      0x01, 0x00,                                      // bools
      0x00, 0x00, 0x00, 0x00,                          // ""
  };
  EXPECT_EQ(Contents(s.Get()), expected);

  ASSERT_EQ(s->Seek(0), Result_Ok);
  uint32_t u32 = 0;
  std::string str;
  int8_t i8 = 0;
  uint16_t u16 = 0;
  int16_t i16 = 0;
  int32_t i32 = 0;
  uint64_t u64 = 0;
  int64_t i64 = 0;
  float f = 0;
  double d = 0;
  bool b1 = false, b2 = true;
  std::string empty = "x";
  EXPECT_EQ(s->ReadUInt32(&u32), Result_Ok);
  EXPECT_EQ(s->ReadString(&str), Result_Ok);
  EXPECT_EQ(s->ReadInt8(&i8), Result_Ok);
  EXPECT_EQ(s->ReadUInt16(&u16), Result_Ok);
  EXPECT_EQ(s->ReadInt16(&i16), Result_Ok);
  EXPECT_EQ(s->ReadInt32(&i32), Result_Ok);
  EXPECT_EQ(s->ReadUInt64(&u64), Result_Ok);
  EXPECT_EQ(s->ReadInt64(&i64), Result_Ok);
  EXPECT_EQ(s->ReadFloat(&f), Result_Ok);
  EXPECT_EQ(s->ReadDouble(&d), Result_Ok);
  EXPECT_EQ(s->ReadBool(&b1), Result_Ok);
  EXPECT_EQ(s->ReadBool(&b2), Result_Ok);
  EXPECT_EQ(s->ReadString(&empty), Result_Ok);
  EXPECT_EQ(u32, 0x11223344u);
  EXPECT_EQ(str, "abc");
  EXPECT_EQ(i8, -2);
  EXPECT_EQ(u16, 0xA1B2);
  EXPECT_EQ(i16, -2);
  EXPECT_EQ(i32, -2);
  EXPECT_EQ(u64, 0x0102030405060708ull);
  EXPECT_EQ(i64, -2);
  EXPECT_EQ(f, 1.0f);
  EXPECT_EQ(d, 1.0);
  EXPECT_TRUE(b1);
  EXPECT_FALSE(b2);
  EXPECT_EQ(empty, "");
}

TEST(DataStreamTest, ReadBoolTakesAnyNonZeroByteAsTrue) {
  auto s = StreamOf({0x02, 0xFF, 0x00});
  bool values[3] = {false, false, true};
  for (bool& v : values) ASSERT_EQ(s->ReadBool(&v), Result_Ok);
  EXPECT_TRUE(values[0]);
  EXPECT_TRUE(values[1]);
  EXPECT_FALSE(values[2]);
}

TEST(DataStreamTest, SmallWritesFillSixtyFourByteBuffersInPlace) {
  auto s = NewStream();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(s->WriteUInt8(static_cast<uint8_t>(i)), Result_Ok);
  uint32_t size = 0;
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(Capacities(s.Get()), (std::vector<uint32_t>{64, 64}));
  Bytes expected(100);
  for (int i = 0; i < 100; ++i) expected[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Contents(s.Get()), expected);

  // A write larger than the free tail starts a buffer of its own size.
  auto big = NewStream();
  Bytes block(200, 0x5A);
  ASSERT_EQ(big->WriteUInt8(1), Result_Ok);
  ASSERT_EQ(big->Write(block.data(), 200), Result_Ok);
  ASSERT_EQ(big->WriteUInt8(2), Result_Ok);
  EXPECT_EQ(Capacities(big.Get()), (std::vector<uint32_t>{64, 200, 64}));
}

TEST(DataStreamTest, ReadSideCallsEndWritingUntilClear) {
  auto s = NewStream();
  uint32_t position = 99;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(s->WriteUInt8(1), Result_Fail);
  EXPECT_EQ(s->Write("ab", 2), Result_Fail);
  EXPECT_EQ(s->WriteString("ab"), Result_Fail);
  EXPECT_EQ(s->AppendEmpty(4), Result_Fail);
  // A refused block stays the caller's: freeing it here must not double-free.
  auto* block = new uint8_t[8];
  EXPECT_EQ(s->AttachBuffer(block, 8), Result_Fail);
  delete[] block;

  ASSERT_EQ(s->Clear(), Result_Ok);
  EXPECT_EQ(s->WriteUInt8(1), Result_Ok);

  // A failing Seek leaves the stream writable; a successful one does not.
  EXPECT_EQ(s->Seek(2), Result_InvalidArgument);
  EXPECT_EQ(s->WriteUInt8(2), Result_Ok);
  EXPECT_EQ(s->Seek(2), Result_Ok);
  EXPECT_EQ(s->WriteUInt8(3), Result_Fail);

  ASSERT_EQ(s->Clear(), Result_Ok);
  uint32_t hash = 0;
  ASSERT_EQ(s->GetHash(&hash), Result_Ok);
  EXPECT_EQ(s->WriteUInt8(1), Result_Fail);

  // A failed read still switches the mode.
  ASSERT_EQ(s->Clear(), Result_Ok);
  uint8_t byte = 0;
  EXPECT_EQ(s->ReadUInt8(&byte), Result_Fail);
  EXPECT_EQ(s->WriteUInt8(1), Result_Fail);
}

TEST(DataStreamTest, ShortReadsFailWithoutMovingOrTouchingOutput) {
  auto s = StreamOf({0x01, 0x02, 0x03});
  uint32_t value = 0xDEADBEEF;
  EXPECT_EQ(s->ReadUInt32(&value), Result_Fail);
  EXPECT_EQ(value, 0xDEADBEEFu);
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 0x01);

  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(s->Read(out, 3), Result_Fail);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{9, 9, 9, 9}));
  EXPECT_EQ(s->Read(out, 0), Result_Ok);
  EXPECT_EQ(s->Read(nullptr, 0), Result_Ok);
  uint32_t position = 0;
  ASSERT_EQ(s->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 1u);

  // Reads after a failure keep working on what is there.
  ASSERT_EQ(s->Read(out, 2), Result_Ok);
  EXPECT_EQ(out[0], 0x02);
  EXPECT_EQ(out[1], 0x03);
  EXPECT_EQ(s->ReadUInt8(&byte), Result_Fail);
}

TEST(DataStreamTest, SeekToSizeIsAllowedAndTheNextReadFails) {
  auto s = StreamOf({1, 2, 3});
  EXPECT_EQ(s->Seek(4), Result_InvalidArgument);
  ASSERT_EQ(s->Seek(3), Result_Ok);
  uint8_t byte = 7;
  EXPECT_EQ(s->ReadUInt8(&byte), Result_Fail);
  EXPECT_EQ(byte, 7);
  ASSERT_EQ(s->Seek(1), Result_Ok);
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 2);
}

TEST(DataStreamTest, ReadStringLengthRules) {
  // Above 100 MiB: the length field is put back.
  auto s = StreamOf({0x01, 0x00, 0x40, 0x06, 'x'});
  std::string str = "keep";
  EXPECT_EQ(s->ReadString(&str), Result_Fail);
  EXPECT_EQ(str, "keep");
  uint32_t length = 0;
  ASSERT_EQ(s->ReadUInt32(&length), Result_Ok);
  EXPECT_EQ(length, 0x06400001u);

  // Within the limit but short: fails after the length field, string kept.
  auto shortStream = StreamOf({0x0A, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd'});
  EXPECT_EQ(shortStream->ReadString(&str), Result_Fail);
  EXPECT_EQ(str, "keep");
  uint32_t position = 0;
  ASSERT_EQ(shortStream->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 4u);

  // A length field that is itself short moves nothing.
  auto tiny = StreamOf({0x01, 0x00});
  EXPECT_EQ(tiny->ReadString(&str), Result_Fail);
  ASSERT_EQ(tiny->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(str, "keep");

  // Embedded zero bytes are ordinary string bytes.
  auto zeros = StreamOf({0x03, 0x00, 0x00, 0x00, 'a', 0x00, 'b'});
  ASSERT_EQ(zeros->ReadString(&str), Result_Ok);
  EXPECT_EQ(str, std::string("a\0b", 3));
}

TEST(DataStreamTest, HostileStringLengthsAllocateNothingLarge) {
  for (uint32_t length : {0x6400000u, 0x6400001u, 0xFFFFFFFFu, 0x1000u}) {
    auto s = NewStream();
    ASSERT_EQ(s->WriteUInt32(length), Result_Ok);
    ASSERT_EQ(s->Write("abcd", 4), Result_Ok);
    std::string str;
    probe::AllocationProbe probe;
    EXPECT_EQ(s->ReadString(&str), Result_Fail) << length;
    EXPECT_LT(probe.Largest(), 1024u) << length;
  }
  // The probe itself sees the stream's allocations.
  auto s = NewStream();
  std::vector<uint8_t> block(5000);
  probe::AllocationProbe probe;
  ASSERT_EQ(s->Write(block.data(), 5000), Result_Ok);
  EXPECT_GE(probe.Largest(), 5000u);
}

TEST(DataStreamTest, HashCoversOnlyUnreadBytesAndLeavesThePosition) {
  auto s = StreamOf({'a', 'b', 'c'});
  uint32_t hash = 0;
  ASSERT_EQ(s->GetHash(&hash), Result_Ok);
  EXPECT_EQ(hash, 136518u);
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  ASSERT_EQ(s->GetHash(&hash), Result_Ok);
  EXPECT_EQ(hash, 98u * 37u + 99u);
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 'b');

  // Storage-less bytes are skipped, and the hash wraps modulo 2^32.
  auto mixed = NewStream();
  ASSERT_EQ(mixed->Write("a", 1), Result_Ok);
  ASSERT_EQ(mixed->AppendEmpty(5), Result_Ok);
  ASSERT_EQ(mixed->Write("bc", 2), Result_Ok);
  ASSERT_EQ(mixed->GetHash(&hash), Result_Ok);
  EXPECT_EQ(hash, 136518u);

  Bytes ff(20, 0xFF);
  auto wide = StreamOf(ff);
  uint32_t expected = 0;
  for (int i = 0; i < 20; ++i) expected = expected * 37u + 0xFFu;
  ASSERT_EQ(wide->GetHash(&hash), Result_Ok);
  EXPECT_EQ(hash, expected);
}

TEST(DataStreamTest, AttachedAndEmptyChunks) {
  auto s = NewStream();
  auto* block = new uint8_t[3]{7, 8, 9};
  ASSERT_EQ(s->AttachBuffer(block, 3), Result_Ok);
  ASSERT_EQ(s->AppendEmpty(2), Result_Ok);
  ASSERT_EQ(s->WriteUInt8(1), Result_Ok);
  EXPECT_EQ(Capacities(s.Get()), (std::vector<uint32_t>{3, 2, 64}));
  EXPECT_EQ(Contents(s.Get()), (Bytes{7, 8, 9, 0, 0, 1}));
}

TEST(DataStreamTest, ZeroLengthPiecesAreNeverStored) {
  // An empty chunk would share its offset with the next chunk and could
  // displace it; the bytes written after it must all survive.
  auto s = NewStream();
  ASSERT_EQ(s->Write("", 0), Result_Ok);
  ASSERT_EQ(s->Write(nullptr, 0), Result_Ok);
  ASSERT_EQ(s->AttachBuffer(new uint8_t[1], 0), Result_Ok);  // freed by the stream
  ASSERT_EQ(s->AppendEmpty(0), Result_Ok);
  ASSERT_EQ(s->AttachBuffer(new uint8_t[2]{1, 2}, 2), Result_Ok);
  ASSERT_EQ(s->AttachBuffer(new uint8_t[1], 0), Result_Ok);
  ASSERT_EQ(s->Write("\x03", 1), Result_Ok);
  EXPECT_EQ(Capacities(s.Get()), (std::vector<uint32_t>{2, 64}));
  EXPECT_EQ(Contents(s.Get()), (Bytes{1, 2, 3}));

  auto empty = NewStream();
  IDataStream* joined = nullptr;
  ASSERT_EQ(ConcatenateDataStreams(empty.Get(), s.Get(), &joined), Result_Ok);
  RefPtr<IDataStream> holder(joined, false);
  EXPECT_EQ(Contents(joined), (Bytes{1, 2, 3}));
  EXPECT_EQ(Capacities(joined).size(), 2u);
}

TEST(DataStreamTest, NullPointersAreRefused) {
  auto s = NewStream();
  EXPECT_EQ(s->GetSize(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->Write(nullptr, 1), Result_InvalidPointer);
  EXPECT_EQ(s->AttachBuffer(nullptr, 1), Result_InvalidPointer);
  EXPECT_EQ(s->WriteUInt8(5), Result_Ok);
  EXPECT_EQ(s->ReadUInt8(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadUInt64(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadBool(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->ReadString(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->Read(nullptr, 1), Result_InvalidPointer);
  EXPECT_EQ(s->GetPosition(nullptr), Result_InvalidPointer);
  EXPECT_EQ(s->GetHash(nullptr), Result_InvalidPointer);
  EXPECT_EQ(CreateDataStream(nullptr), Result_InvalidPointer);
  IDataStream* out = nullptr;
  EXPECT_EQ(ConcatenateDataStreams(s.Get(), nullptr, &out), Result_InvalidPointer);
  EXPECT_EQ(ConcatenateDataStreams(s.Get(), s.Get(), nullptr), Result_InvalidPointer);
  EXPECT_EQ(CreateSubStream(nullptr, 0, 0, &out), Result_InvalidPointer);
  EXPECT_EQ(CreateSubStream(s.Get(), 0, 0, nullptr), Result_InvalidPointer);
  EXPECT_EQ(out, nullptr);
  // None of the refused calls consumed or lost the byte.
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 5);
}

TEST(DataStreamTest, StreamsStopShortOfFourGibibytes) {
  // Storage-less chunks make huge sizes cheap to reach.
  auto s = NewStream();
  ASSERT_EQ(s->AppendEmpty(0xFFFFFFF0u), Result_Ok);
  EXPECT_EQ(s->AppendEmpty(0x10), Result_Fail);
  auto* block = new uint8_t[0x10];
  EXPECT_EQ(s->AttachBuffer(block, 0x10), Result_Fail);
  delete[] block;  // refused, so still ours
  EXPECT_EQ(s->WriteString(std::string(12, 'x')), Result_Fail);
  ASSERT_EQ(s->Write("0123456789abcde", 15), Result_Ok);
  EXPECT_EQ(s->WriteUInt8(1), Result_Fail);
  uint32_t size = 0;
  ASSERT_EQ(s->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 0xFFFFFFFFu);

  auto half = NewStream();
  ASSERT_EQ(half->AppendEmpty(0x80000000u), Result_Ok);
  IDataStream* out = nullptr;
  EXPECT_EQ(ConcatenateDataStreams(half.Get(), half.Get(), &out), Result_InvalidArgument);
  EXPECT_EQ(out, nullptr);

  // The tail of the big stream reads back exactly.
  ASSERT_EQ(s->Seek(0xFFFFFFF0u), Result_Ok);
  char tail[16] = {};
  ASSERT_EQ(s->Read(tail, 15), Result_Ok);
  EXPECT_STREQ(tail, "0123456789abcde");
}

TEST(DataStreamTest, ConcatenationTakesWholePartsAndSharesBuffers) {
  auto first = StreamOf({1, 2, 3, 4, 5});
  uint8_t skip[3];
  ASSERT_EQ(first->Read(skip, 3), Result_Ok);
  auto second = StreamOf({6, 7});
  IDataStream* joined = nullptr;
  ASSERT_EQ(ConcatenateDataStreams(first.Get(), second.Get(), &joined), Result_Ok);
  RefPtr<IDataStream> holder(joined, false);

  uint32_t size = 0, position = 9;
  ASSERT_EQ(joined->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 7u);
  ASSERT_EQ(joined->GetPosition(&position), Result_Ok);
  EXPECT_EQ(position, 0u);
  Bytes all(7);
  ASSERT_EQ(joined->Read(all.data(), 7), Result_Ok);
  EXPECT_EQ(all, (Bytes{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(joined->WriteUInt8(0), Result_Fail);  // born reading
  EXPECT_EQ(Capacities(joined), (std::vector<uint32_t>{64, 64}));

  // The parts outlive nothing they lend: releasing them keeps the bytes.
  first.Reset();
  second.Reset();
  EXPECT_EQ(Contents(joined), (Bytes{1, 2, 3, 4, 5, 6, 7}));

  IDataStream* empty = nullptr;
  ASSERT_EQ(ConcatenateDataStreams(std::vector<IDataStream*>{}, &empty), Result_Ok);
  RefPtr<IDataStream> emptyHolder(empty, false);
  ASSERT_EQ(empty->GetSize(&size), Result_Ok);
  EXPECT_EQ(size, 0u);
}

TEST(DataStreamTest, ConcatenationRefusesForeignParts) {
  class Foreign : public IDataStream, public IRefCountImpl {
   public:
    int GetSize(uint32_t*) override { return 0; }
    int WriteInt8(int8_t) override { return 0; }
    int WriteUInt8(uint8_t) override { return 0; }
    int WriteInt16(int16_t) override { return 0; }
    int WriteUInt16(uint16_t) override { return 0; }
    int WriteInt32(int32_t) override { return 0; }
    int WriteUInt32(uint32_t) override { return 0; }
    int WriteInt64(int64_t) override { return 0; }
    int WriteUInt64(uint64_t) override { return 0; }
    int WriteFloat(float) override { return 0; }
    int WriteDouble(double) override { return 0; }
    int WriteBool(bool) override { return 0; }
    int WriteString(const std::string&) override { return 0; }
    int Write(const void*, uint32_t) override { return 0; }
    int AttachBuffer(uint8_t*, uint32_t) override { return 0; }
    int AppendEmpty(uint32_t) override { return 0; }
    int ReadInt8(int8_t*) override { return 0; }
    int ReadUInt8(uint8_t*) override { return 0; }
    int ReadInt16(int16_t*) override { return 0; }
    int ReadUInt16(uint16_t*) override { return 0; }
    int ReadInt32(int32_t*) override { return 0; }
    int ReadUInt32(uint32_t*) override { return 0; }
    int ReadInt64(int64_t*) override { return 0; }
    int ReadUInt64(uint64_t*) override { return 0; }
    int ReadFloat(float*) override { return 0; }
    int ReadDouble(double*) override { return 0; }
    int ReadBool(bool*) override { return 0; }
    int ReadString(std::string*) override { return 0; }
    int Read(void*, uint32_t) override { return 0; }
    int GetPosition(uint32_t*) override { return 0; }
    int Seek(uint32_t) override { return 0; }
    int GetHash(uint32_t*) override { return 0; }
    int Clear() override { return 0; }
  };
  RefPtr<IDataStream> foreign(new Foreign(), false);
  auto ours = StreamOf({1});
  IDataStream* sentinel = reinterpret_cast<IDataStream*>(0x1);
  IDataStream* out = sentinel;
  EXPECT_EQ(ConcatenateDataStreams(ours.Get(), foreign.Get(), &out), Result_InvalidArgument);
  EXPECT_EQ(out, sentinel);
  EXPECT_EQ(CreateSubStream(foreign.Get(), 0, 0, &out), Result_InvalidArgument);
  EXPECT_EQ(out, sentinel);
  std::vector<DataStreamSpan> spans;
  EXPECT_EQ(AppendSharedBytes(foreign.Get(), std::make_shared<const std::string>("x")), Result_InvalidArgument);
  EXPECT_EQ(GetDataStreamSpans(foreign.Get(), &spans), Result_InvalidArgument);
}

TEST(DataStreamTest, SharedBytesAreBorrowedNeverCopiedOrWritten) {
  auto s = StreamOf({1, 2});
  auto shared = std::make_shared<const std::string>("abc");
  const std::weak_ptr<const std::string> watch = shared;
  ASSERT_EQ(AppendSharedBytes(s.Get(), shared), Result_Ok);
  ASSERT_EQ(AppendSharedBytes(s.Get(), std::make_shared<const std::string>()), Result_Ok);
  ASSERT_EQ(s->WriteUInt8(9), Result_Ok);  // a buffer of its own, not the string's
  EXPECT_EQ(*shared, "abc");
  shared.reset();
  EXPECT_FALSE(watch.expired());

  IDataStream* joined = nullptr;
  ASSERT_EQ(ConcatenateDataStreams(std::vector<IDataStream*>{s.Get()}, &joined), Result_Ok);
  RefPtr<IDataStream> holder(joined, false);
  std::vector<DataStreamSpan> spans;
  ASSERT_EQ(GetDataStreamSpans(joined, &spans), Result_Ok);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[1].data, reinterpret_cast<const uint8_t*>(watch.lock()->data()));
  Bytes gathered;
  for (const auto& span : spans) gathered.insert(gathered.end(), span.data, span.data + span.size);
  EXPECT_EQ(gathered, (Bytes{1, 2, 'a', 'b', 'c', 9}));
  EXPECT_EQ(Contents(joined), gathered);

  // Reading mode takes nothing more; bytes without storage have no span.
  EXPECT_EQ(AppendSharedBytes(joined, std::make_shared<const std::string>("d")), Result_Fail);
  ASSERT_EQ(s->AppendEmpty(4), Result_Ok);
  EXPECT_EQ(GetDataStreamSpans(s.Get(), &spans), Result_Fail);
  s.Reset();
  holder.Reset();
  EXPECT_TRUE(watch.expired());
}

TEST(DataStreamTest, SubStreamsCutAcrossChunkBoundaries) {
  // Chunks: [0,3) attached, [3,67) and [67,100) written.
  auto s = NewStream();
  ASSERT_EQ(s->AttachBuffer(new uint8_t[3]{0, 1, 2}, 3), Result_Ok);
  for (int i = 3; i < 100; ++i) ASSERT_EQ(s->WriteUInt8(static_cast<uint8_t>(i)), Result_Ok);
  ASSERT_EQ(Capacities(s.Get()).size(), 3u);

  struct Case {
    uint32_t begin, end;
    size_t chunks;
  };
  for (Case c : {Case{0, 100, 3}, Case{2, 4, 2}, Case{3, 67, 1}, Case{3, 68, 2}, Case{1, 99, 3}, Case{67, 67, 0},
                 Case{100, 100, 0}, Case{0, 3, 1}}) {
    IDataStream* sub = nullptr;
    ASSERT_EQ(CreateSubStream(s.Get(), c.begin, c.end, &sub), Result_Ok);
    RefPtr<IDataStream> holder(sub, false);
    Bytes expected;
    for (uint32_t i = c.begin; i < c.end; ++i) expected.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ(Contents(sub), expected) << c.begin << ".." << c.end;
    EXPECT_EQ(Capacities(sub).size(), c.chunks) << c.begin << ".." << c.end;
    EXPECT_EQ(sub->WriteUInt8(0), Result_Fail);
  }

  IDataStream* out = nullptr;
  EXPECT_EQ(CreateSubStream(s.Get(), 3, 2, &out), Result_InvalidArgument);
  EXPECT_EQ(CreateSubStream(s.Get(), 0, 101, &out), Result_InvalidArgument);
  EXPECT_EQ(out, nullptr);
}

TEST(DataStreamTest, SharedBuffersAreNotDisturbedByLaterWrites) {
  // The writer may keep appending into the free tail of a buffer a
  // sub-stream shares; the sub-stream only ever sees its own range.
  auto s = StreamOf({1, 2, 3});
  IDataStream* sub = nullptr;
  ASSERT_EQ(CreateSubStream(s.Get(), 0, 3, &sub), Result_Ok);
  RefPtr<IDataStream> holder(sub, false);
  ASSERT_EQ(s->WriteUInt8(4), Result_Ok);
  EXPECT_EQ(Contents(sub), (Bytes{1, 2, 3}));
  EXPECT_EQ(Capacities(s.Get()).size(), 1u);
  ASSERT_EQ(sub->Clear(), Result_Ok);
  ASSERT_EQ(sub->WriteUInt8(9), Result_Ok);
  EXPECT_EQ(Contents(s.Get()), (Bytes{1, 2, 3, 4}));
}

TEST(DataStreamTest, LongReadsSpanManyChunks) {
  auto s = NewStream();
  std::string text;
  for (int i = 0; i < 1000; ++i) text.push_back(static_cast<char>('a' + i % 26));
  // The string's length field and bytes straddle many 64-byte buffers.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(s->WriteUInt8(0), Result_Ok);
  ASSERT_EQ(s->WriteString(text), Result_Ok);
  ASSERT_EQ(s->Seek(3), Result_Ok);
  std::string back;
  ASSERT_EQ(s->ReadString(&back), Result_Ok);
  EXPECT_EQ(back, text);
  // Reads after a backwards seek find their chunk again.
  ASSERT_EQ(s->Seek(500), Result_Ok);
  uint8_t byte = 0;
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, static_cast<uint8_t>(text[500 - 7]));
  ASSERT_EQ(s->Seek(4), Result_Ok);
  ASSERT_EQ(s->ReadUInt8(&byte), Result_Ok);
  EXPECT_EQ(byte, 0x03);  // second byte of the length 1000 = 0x3E8
}

}  // namespace
}  // namespace corvane
