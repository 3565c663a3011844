#include "DisplayInfo.h"

#include <gtest/gtest.h>

#include <vector>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "Result.h"

namespace corvane::talvenor::server {
namespace {

using Bytes = std::vector<uint8_t>;
using DisplayInfo = IDiscoveryService::DisplayInfo;

RefPtr<IDataStream> NewStream(const Bytes& bytes = {}) {
  IDataStream* raw = nullptr;
  EXPECT_EQ(CreateDataStream(&raw), Result_Ok);
  RefPtr<IDataStream> s(raw, false);
  EXPECT_EQ(s->Write(bytes.data(), static_cast<uint32_t>(bytes.size())), Result_Ok);
  return s;
}

RefPtr<IDataStreamV1> NewStreamV1(const Bytes& bytes = {}) {
  IDataStreamV1* raw = nullptr;
  EXPECT_EQ(CreateNetworkDataStreamV1(&raw), Result_Ok);
  RefPtr<IDataStreamV1> s(raw, false);
  EXPECT_EQ(s->Write(bytes.data(), static_cast<uint32_t>(bytes.size())), Result_Ok);
  return s;
}

Bytes Written(IDataStream* s) {
  uint32_t size = 0;
  EXPECT_EQ(s->GetSize(&size), Result_Ok);
  Bytes out(size);
  EXPECT_EQ(s->Read(out.data(), size), Result_Ok);
  return out;
}

Bytes Written(IDataStreamV1* s) {
  std::string out;
  uint32_t length = 0;
  EXPECT_EQ(s->ReadRemaining(&out, &length), Result_Ok);
  return Bytes(out.begin(), out.end());
}

DisplayInfo Example() {
  DisplayInfo info;
  info.id = UUID("2783ffd0-7ec7-11e2-9e96-0800200c9a66");
  info.secondaryName = "never on the wire";
  info.name = "Room";
  info.ipv4 = 0xC0A8010A;  // 192.168.1.10
  info.port = 7000;
  info.flags = 0x03020801;
  info.appData = "SN=x;";
  return info;
}

const Bytes kExampleWire = {
    0xD0, 0xFF, 0x83, 0x27, 0xC7, 0x7E, 0xE2, 0x11, 0x9E, 0x96, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66,  // id
    0x04, 0x00, 0x00, 0x00, 'R', 'o', 'o', 'm',                                                      // name
    0x0A, 0x01, 0xA8, 0xC0,                                                                          // ipv4
    0x58, 0x1B,                                                                                      // port
    0x01, 0x08, 0x02, 0x03,                                                                          // flags
    0x05, 0x00, 0x00, 0x00, 'S', 'N', '=', 'x', ';',                                                 // appData
};

TEST(DisplayInfoTest, BothStreamKindsWriteTheSameBytes) {
  const DisplayInfo info = Example();
  auto typed = NewStream();
  auto v1 = NewStreamV1();
  ASSERT_EQ(info.Serialize(typed.Get()), Result_Ok);
  ASSERT_EQ(info.Serialize(v1.Get()), Result_Ok);
  EXPECT_EQ(Written(typed.Get()), kExampleWire);
  EXPECT_EQ(Written(v1.Get()), kExampleWire);
  EXPECT_EQ(kExampleWire.size(), 34u + 4u + 5u);

  DisplayInfo empty;
  auto s = NewStream();
  ASSERT_EQ(empty.Serialize(s.Get()), Result_Ok);
  EXPECT_EQ(Written(s.Get()), Bytes(34, 0x00));
}

TEST(DisplayInfoTest, EitherReaderReadsEitherWriter) {
  DisplayInfo expected = Example();
  expected.secondaryName = "kept";
  for (bool typedReader : {true, false}) {
    DisplayInfo info;
    info.secondaryName = "kept";
    int result = typedReader ? info.Deserialize(NewStream(kExampleWire).Get())
                             : info.Deserialize(NewStreamV1(kExampleWire).Get());
    ASSERT_EQ(result, Result_Ok);
    EXPECT_EQ(info, expected);
  }

  // Byte strings: embedded zeros survive the trip.
  DisplayInfo zeros;
  zeros.name = std::string("a\0b", 3);
  zeros.appData = std::string("\0", 1);
  auto s = NewStreamV1();
  ASSERT_EQ(zeros.Serialize(s.Get()), Result_Ok);
  DisplayInfo back;
  ASSERT_EQ(back.Deserialize(s.Get()), Result_Ok);
  EXPECT_EQ(back, zeros);
}

TEST(DisplayInfoTest, TruncationAtEveryOffsetFails) {
  const DisplayInfo full = Example();
  for (size_t n = 0; n < kExampleWire.size(); ++n) {
    const Bytes cut(kExampleWire.begin(), kExampleWire.begin() + static_cast<long>(n));
    DisplayInfo typed, v1;
    EXPECT_LT(typed.Deserialize(NewStream(cut).Get()), 0) << n;
    EXPECT_LT(v1.Deserialize(NewStreamV1(cut).Get()), 0) << n;
    // Cut inside appData: every earlier field holds what was read.
    if (n >= 34) {
      for (const DisplayInfo* info : {&typed, &v1}) {
        EXPECT_EQ(info->id, full.id) << n;
        EXPECT_EQ(info->name, full.name) << n;
        EXPECT_EQ(info->ipv4, full.ipv4) << n;
        EXPECT_EQ(info->port, full.port) << n;
        EXPECT_EQ(info->flags, full.flags) << n;
      }
    }
  }
}

TEST(DisplayInfoTest, HostileLengthsFailWithoutHugeStrings) {
  Bytes wire(16, 0x11);
  for (uint8_t b : {0xFF, 0xFF, 0xFF, 0xFF}) wire.push_back(b);  // name length 0xFFFFFFFF
  for (int i = 0; i < 20; ++i) wire.push_back('n');
  DisplayInfo typed, v1;
  EXPECT_LT(typed.Deserialize(NewStream(wire).Get()), 0);
  EXPECT_LT(v1.Deserialize(NewStreamV1(wire).Get()), 0);
  EXPECT_LE(typed.name.size(), 20u);
  EXPECT_LE(v1.name.size(), 20u);
}

TEST(DisplayInfoTest, EqualityCoversAllSevenFields) {
  const DisplayInfo base = Example();
  std::vector<DisplayInfo> variants(7, base);
  variants[0].id.Data4[7] ^= 1;
  variants[1].secondaryName += "x";
  variants[2].name += "x";
  variants[3].ipv4 ^= 1;
  variants[4].port ^= 1;
  variants[5].flags ^= 1;
  variants[6].appData += "x";
  for (const DisplayInfo& v : variants) {
    EXPECT_NE(v, base);
    EXPECT_FALSE(v == base);
  }
  DisplayInfo copy(base);
  EXPECT_EQ(copy, base);
  DisplayInfo assigned;
  assigned = base;
  EXPECT_EQ(assigned, base);
}

TEST(DisplayInfoTest, NullStreamsAreRefused) {
  DisplayInfo info = Example();
  EXPECT_EQ(info.Serialize(static_cast<IDataStream*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(info.Serialize(static_cast<IDataStreamV1*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(info.Deserialize(static_cast<IDataStream*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(info.Deserialize(static_cast<IDataStreamV1*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(info, Example());
  // A stream that refuses writes makes the result negative.
  auto reading = NewStream();
  uint32_t position = 0;
  ASSERT_EQ(reading->GetPosition(&position), Result_Ok);
  EXPECT_LT(info.Serialize(reading.Get()), 0);
}

}  // namespace
}  // namespace corvane::talvenor::server
