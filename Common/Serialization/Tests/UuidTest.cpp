#include "Uuid.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "DataStream.h"
#include "DataStreamV1.h"
#include "Result.h"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

const char kExample[] = "2783ffd0-7ec7-11e2-9e96-0800200c9a66";
const Bytes kExampleWire = {0xD0, 0xFF, 0x83, 0x27, 0xC7, 0x7E, 0xE2, 0x11,
                            0x9E, 0x96, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};

Bytes Data4(const UUID& u) { return Bytes(u.Data4, u.Data4 + 8); }

RefPtr<IDataStream> NewStream() {
  IDataStream* raw = nullptr;
  EXPECT_EQ(CreateDataStream(&raw), Result_Ok);
  return RefPtr<IDataStream>(raw, false);
}

RefPtr<IDataStreamV1> NewStreamV1() {
  IDataStreamV1* raw = nullptr;
  EXPECT_EQ(CreateNetworkDataStreamV1(&raw), Result_Ok);
  return RefPtr<IDataStreamV1>(raw, false);
}

TEST(UuidTest, TextFormRoundTrips) {
  UUID u(kExample);
  EXPECT_EQ(u.Data1, 0x2783FFD0u);
  EXPECT_EQ(u.Data2, 0x7EC7);
  EXPECT_EQ(u.Data3, 0x11E2);
  EXPECT_EQ(Data4(u), (Bytes{0x9E, 0x96, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}));
  EXPECT_EQ(u.ToString(), kExample);
  EXPECT_EQ(UUID("2783FFD0-7EC7-11E2-9E96-0800200C9A66").ToString(), kExample);
  EXPECT_EQ(UUID(0x2783ffd0, 0x7ec7, 0x11e2, 0x9e960800200c9a66ull), u);
  EXPECT_EQ(UUID().ToString(), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(UUID(1, 2, 3, 4).ToString(), "00000001-0002-0003-0000-000000000004");
  std::ostringstream os;
  os << u;
  EXPECT_EQ(os.str(), kExample);
}

TEST(UuidTest, ParseIsLenientByTheGroupRules) {
  struct Case {
    std::string text;
    uint32_t d1;
    uint16_t d2, d3;
    uint64_t last;
  };
  const std::vector<Case> cases = {
      {"", 0, 0, 0, 0},
      {"2783ffd0", 0, 0, 0, 0},                    // no hyphen: nil
      {"----", 0, 0, 0, 0},                        // empty groups give 0
      {"12-34", 0x12, 0, 0, 0},                    // one hyphen: Data1 only
      {"12-34-56", 0x12, 0x34, 0, 0},              // two: text after the second ignored
      {"12-34-56-78", 0x12, 0x34, 0x56, 0},        // three: Data4 stays 0
      {"1-2-3-9e96-1", 1, 2, 3, 0x9E961},          // group 4 joined with the rest
      {"1-2-3-4-5-6", 1, 2, 3, 0x45},              // the joined text stops at a hyphen
      {" +0x1F-\t0X2-  3z-ab-cd", 0x1F, 2, 3, 0xABCD},  // blanks, sign, 0x, junk
      {"123456789-12345-fffff-0-0", 0xFFFFFFFF, 0xFFFF, 0xFFFF, 0},  // overflow saturates
      {"1-2-3-1234567890-abcdef01234", 1, 2, 3, 0xFFFFFFFFFFFFFFFFull},
      {"zz-q-!-?-x", 0, 0, 0, 0},                  // no digits: 0
      {std::string("1\0-2-", 5), 1, 2, 0, 0},      // NUL ends a group's digits
      {"\xff\xfe-\x80-7-", 0, 0, 7, 0},            // non-ASCII bytes are not digits
  };
  for (const Case& c : cases) {
    UUID u = UUID::Parse(c.text);
    EXPECT_EQ(u, UUID(c.d1, c.d2, c.d3, c.last)) << '"' << c.text << "\" gave " << u;
  }
  // The bytes of Data4 go most significant first.
  EXPECT_EQ(Data4(UUID::Parse("0-0-0-9e96-1")), (Bytes{0, 0, 0, 0, 0, 0x09, 0xE9, 0x61}));

  // Long text is just more junk.
  std::string huge(10000, 'f');
  huge[3] = '-';
  huge[7] = '-';
  EXPECT_EQ(UUID::Parse(huge), UUID(0xFFF, 0xFFF, 0, 0));
}

TEST(UuidTest, OrderingComparesFieldsNotBytes) {
  // Byte-wise, Data1 0x100 (00 01 00 00 on the wire) would sort before 0xFF.
  EXPECT_LT(UUID(0xFF, 0, 0, 0), UUID(0x100, 0, 0, 0));
  EXPECT_LT(UUID(0, 0xFF, 0, 0), UUID(0, 0x100, 0, 0));
  EXPECT_LT(UUID(0, 0, 0xFF, 0), UUID(0, 0, 0x100, 0));
  // Earlier fields decide before later ones.
  EXPECT_LT(UUID(1, 0xFFFF, 0xFFFF, ~0ull), UUID(2, 0, 0, 0));
  EXPECT_LT(UUID(1, 1, 0xFFFF, ~0ull), UUID(1, 2, 0, 0));
  // Data4 bytes are unsigned, first byte first, and [7] decides last.
  EXPECT_LT(UUID(0, 0, 0, 0x7F00000000000000ull), UUID(0, 0, 0, 0x8000000000000000ull));
  EXPECT_LT(UUID(0, 0, 0, 0x01), UUID(0, 0, 0, 0x02));
  EXPECT_FALSE(UUID(0, 0, 0, 0x02) < UUID(0, 0, 0, 0x02));
  // Nil is smallest.
  for (const UUID& u : {UUID(0, 0, 0, 1), UUID(1, 0, 0, 0), UUID(kExample)}) {
    EXPECT_LT(UUID(), u);
    EXPECT_FALSE(u < UUID());
  }
  std::map<UUID, int> ordered = {{UUID(0x100, 0, 0, 0), 3}, {UUID(0xFF, 0, 0, 0), 2}, {UUID(), 1}};
  std::vector<int> order;
  for (const auto& [key, value] : ordered) order.push_back(value);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  EXPECT_NE(UUID(0, 0, 0, 1), UUID(0, 0, 0, 0x100));
  EXPECT_EQ(UUID(kExample), UUID(kExample));
}

TEST(UuidTest, WireFormIsTheSameOnBothStreamKinds) {
  const UUID u(kExample);
  auto s = NewStream();
  ASSERT_EQ(u.Serialize(s.Get()), Result_Ok);
  Bytes wire(16);
  ASSERT_EQ(s->Read(wire.data(), 16), Result_Ok);
  EXPECT_EQ(wire, kExampleWire);

  ASSERT_EQ(s->Seek(0), Result_Ok);
  UUID back;
  ASSERT_EQ(back.Deserialize(s.Get()), Result_Ok);
  EXPECT_EQ(back, u);

  auto v1 = NewStreamV1();
  ASSERT_EQ(v1->Write(kExampleWire.data(), 16), Result_Ok);
  UUID fromV1;
  ASSERT_EQ(fromV1.Deserialize(v1.Get()), Result_Ok);
  EXPECT_EQ(fromV1, u);
}

TEST(UuidTest, ShortStreamsFailAndLeaveTheValue) {
  const UUID original(kExample);
  for (size_t n = 0; n < 16; ++n) {
    auto s = NewStream();
    ASSERT_EQ(s->Write(kExampleWire.data(), static_cast<uint32_t>(n)), Result_Ok);
    UUID u = original;
    EXPECT_LT(u.Deserialize(s.Get()), 0) << n;
    EXPECT_EQ(u, original) << n;

    auto v1 = NewStreamV1();
    ASSERT_EQ(v1->Write(kExampleWire.data(), static_cast<uint32_t>(n)), Result_Ok);
    UUID w = original;
    EXPECT_LT(w.Deserialize(v1.Get()), 0) << n;
    EXPECT_EQ(w, original) << n;
  }
  UUID u;
  EXPECT_EQ(u.Deserialize(static_cast<IDataStream*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(u.Deserialize(static_cast<IDataStreamV1*>(nullptr)), Result_InvalidPointer);
  EXPECT_EQ(u.Serialize(nullptr), Result_InvalidPointer);

  // A stream that no longer takes writes reports it.
  auto reading = NewStream();
  uint32_t position = 0;
  ASSERT_EQ(reading->GetPosition(&position), Result_Ok);
  EXPECT_EQ(original.Serialize(reading.Get()), Result_Fail);
}

TEST(UuidTest, GeneratedValuesAreVersionFourAndDistinct) {
  std::set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    UUID u;
    u.Generate();
    EXPECT_EQ(u.Data3 & 0xF000, 0x4000);
    EXPECT_EQ(u.Data4[0] & 0xC0, 0x80);
    EXPECT_EQ(u.ToString()[14], '4');
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace corvane
