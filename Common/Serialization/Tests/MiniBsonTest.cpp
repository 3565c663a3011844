#include "MiniBson.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const minibson::node& n) {
  Bytes out(n.GetSerializedSize(), 0xCC);
  n.Serialize(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

std::string Dump(const minibson::node& n, int depth = 0) {
  std::ostringstream os;
  n.Dump(os, depth);
  return os.str();
}

std::string Print(const minibson::node& n) {
  std::ostringstream os;
  n.PrintValue(os);
  return os.str();
}

TEST(MiniBsonTest, DocumentVectors) {
  EXPECT_EQ(Encode(minibson::document()), (Bytes{0x05, 0x00, 0x00, 0x00, 0x00}));

  minibson::document bytes;
  bytes.Set("bytes", 9);
  EXPECT_EQ(Encode(bytes), (Bytes{0x10, 0x00, 0x00, 0x00, 0x10, 'b', 'y', 't', 'e', 's', 0x00, 0x09, 0x00, 0x00, 0x00,
                                  0x00}));

  minibson::document mixed;
  mixed["b"] = std::make_unique<minibson::string>("x");
  mixed.Set("a", 1);
  EXPECT_EQ(Encode(mixed), (Bytes{0x15, 0x00, 0x00, 0x00, 0x10, 'a', 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 'b',
                                  0x00, 0x02, 0x00, 0x00, 0x00, 'x', 0x00, 0x00}));

  minibson::document nested;
  nested["d"] = std::make_unique<minibson::document>();
  EXPECT_EQ(Encode(nested), (Bytes{0x0D, 0x00, 0x00, 0x00, 0x03, 'd', 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}));

  minibson::document real;
  real.Set("x", 1.0);
  EXPECT_EQ(Encode(real), (Bytes{0x10, 0x00, 0x00, 0x00, 0x01, 'x', 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0,
                                 0x3F, 0x00}));

  minibson::document wide;
  wide["t"] = std::make_unique<minibson::int64>(-2);
  EXPECT_EQ(Encode(wide), (Bytes{0x10, 0x00, 0x00, 0x00, 0x12, 't', 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0x00}));
}

TEST(MiniBsonTest, StringValuesAnywhereInTheDocument) {
  EXPECT_EQ(Encode(minibson::string("send")), (Bytes{0x05, 0x00, 0x00, 0x00, 's', 'e', 'n', 'd', 0x00}));

  // The fast-log "send" record: keys come out sorted, "type" last.
  minibson::document record;
  record["type"] = std::make_unique<minibson::string>("send");
  record.Set("port", 53200);
  record["net-delay"] = std::make_unique<minibson::int64>(5);
  record["ip"] = std::make_unique<minibson::string>("10.0.0.1");
  record.Set("fc-delay", 2.5);
  record["epoch"] = std::make_unique<minibson::int64>(1700000000000);
  record.Set("bytes", 9);
  std::vector<std::string> keys;
  for (const auto& [key, value] : record) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"bytes", "epoch", "fc-delay", "ip", "net-delay", "port", "type"}));
  Bytes out = Encode(record);
  ASSERT_EQ(out.size(), record.GetSerializedSize());
  const Bytes tail = {0x02, 't', 'y', 'p', 'e', 0x00, 0x05, 0x00, 0x00, 0x00, 's', 'e', 'n', 'd', 0x00, 0x00};
  EXPECT_EQ(Bytes(out.end() - static_cast<long>(tail.size()), out.end()), tail);
  EXPECT_EQ(out[0], out.size());

  // Embedded zero bytes in a value are counted and written.
  minibson::string zero(std::string("a\0b", 3));
  EXPECT_EQ(Encode(zero), (Bytes{0x04, 0x00, 0x00, 0x00, 'a', 0x00, 'b', 0x00}));
}

TEST(MiniBsonTest, KeysSortByteWiseAndSetReplaces) {
  minibson::document d;
  d.Set("b", 1).Set("a", 2).Set("\xc3\xa9", 3).Set("B", 4);
  d.Set("a", 5.5);
  std::vector<std::string> keys;
  for (const auto& [key, value] : d) keys.push_back(key);
  // Byte-wise unsigned: upper case, lower case, then bytes >= 0x80.
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}));
  EXPECT_EQ(d.size(), 4u);
  EXPECT_EQ(Print(d), "{ \"B\": 4, \"a\": 5.5, \"b\": 1, \"\xc3\xa9\": 3 }");

  // Overwriting through the slot frees the old value (the leak checker
  // would see it otherwise).
  d["b"] = std::make_unique<minibson::string>("s");
  d["b"] = std::make_unique<minibson::document>();
  EXPECT_EQ(d.size(), 4u);
  EXPECT_EQ(d.begin()->second->GetTypeCode(), 0x10);
}

TEST(MiniBsonTest, KeysAreCutAtTheirFirstZeroByte) {
  minibson::document d;
  d.Set(std::string("ab\0cd", 5), 1);
  d.Set("ab", 2);  // the same key once cut
  EXPECT_EQ(d.size(), 1u);
  EXPECT_EQ(d.GetSerializedSize(), 5u + 2u + 2u + 4u);
  Bytes out = Encode(d);
  EXPECT_EQ(out, (Bytes{0x0D, 0x00, 0x00, 0x00, 0x10, 'a', 'b', 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
  // Every byte of the buffer was written: none of the 0xCC fill is left.
  for (uint8_t b : out) EXPECT_NE(b, 0xCC);
}

TEST(MiniBsonTest, UndersizedBuffersAreLeftUntouched) {
  minibson::document d;
  d.Set("a", 1);
  d["s"] = std::make_unique<minibson::string>("xyz");
  const uint32_t size = d.GetSerializedSize();
  Bytes out(size + 4, 0xCC);
  d.Serialize(out.data(), size - 1);
  EXPECT_EQ(out, Bytes(size + 4, 0xCC));
  minibson::string("abc").Serialize(out.data(), 7);
  minibson::int32(5).Serialize(out.data(), 3);
  minibson::Double(5).Serialize(out.data(), 7);
  EXPECT_EQ(out, Bytes(size + 4, 0xCC));
  d.Serialize(nullptr, size);

  // A larger buffer gets exactly the document, from its start.
  d.Serialize(out.data(), size + 4);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + size), Encode(d));
  EXPECT_EQ(Bytes(out.begin() + size, out.end()), Bytes(4, 0xCC));
}

TEST(MiniBsonTest, CopiesAreDeep) {
  minibson::document original;
  original.Set("n", 1);
  auto inner = std::make_unique<minibson::document>();
  inner->Set("x", 2);
  original["inner"] = std::move(inner);

  minibson::document copy(original);
  auto clone = original.Clone();
  minibson::document assigned;
  assigned.Set("gone", 0);
  assigned = original;
  const Bytes before = Encode(original);

  original.Set("n", 100);
  static_cast<minibson::document&>(*original["inner"]).Set("x", 200);
  EXPECT_EQ(Encode(copy), before);
  EXPECT_EQ(Encode(*clone), before);
  EXPECT_EQ(Encode(assigned), before);
  EXPECT_EQ(clone->GetTypeCode(), 0x03);
  EXPECT_NE(Encode(original), before);

  assigned = assigned;  // self-assignment keeps the content
  EXPECT_EQ(Encode(assigned), before);
}

TEST(MiniBsonTest, DumpAndPrintText) {
  minibson::document d;
  d.Set("a", 1);
  d["b"] = std::make_unique<minibson::string>("x");
  EXPECT_EQ(Dump(d), "{ \n\t\"a\": 1, \n\t\"b\": \"x\"\n}");
  EXPECT_EQ(Print(d), "{ \"a\": 1, \"b\": \"x\" }");
  EXPECT_EQ(Print(minibson::document()), "{  }");
  EXPECT_EQ(Dump(minibson::document()), "{ \n}");

  minibson::document outer;
  auto inner = std::make_unique<minibson::document>();
  inner->Set("x", 0.25);
  outer["in"] = std::move(inner);
  outer["s"] = std::make_unique<minibson::string>("q\"uote");
  EXPECT_EQ(Dump(outer), "{ \n\t\"in\": { \n\t\t\"x\": 0.25\n\t}, \n\t\"s\": \"q\"uote\"\n}");
  EXPECT_EQ(Print(outer), "{ \"in\": { \"x\": 0.25 }, \"s\": \"q\"uote\" }");
  EXPECT_EQ(Dump(minibson::int64(-7), 3), "-7");
}

TEST(MiniBsonTest, EmptySlotsAndDeepNesting) {
  // A slot created by operator[] and never filled is not part of the output.
  minibson::document d;
  d["empty"];
  d.Set("a", 1);
  EXPECT_EQ(Encode(d), (Bytes{0x0C, 0x00, 0x00, 0x00, 0x10, 'a', 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Print(d), "{ \"a\": 1 }");
  minibson::document copy(d);
  EXPECT_EQ(Encode(copy), Encode(d));

  minibson::document root;
  minibson::document* level = &root;
  const int depth = 500;
  for (int i = 0; i < depth; ++i) {
    auto next = std::make_unique<minibson::document>();
    minibson::document* raw = next.get();
    (*level)["d"] = std::move(next);
    level = raw;
  }
  level->Set("leaf", 7);
  const uint32_t size = root.GetSerializedSize();
  EXPECT_EQ(size, 5u + depth * (1 + 2 + 5) + (1 + 5 + 4));
  Bytes out = Encode(root);
  EXPECT_EQ(out.back(), 0x00);
  EXPECT_NE(Dump(root).find("\"leaf\": 7"), std::string::npos);
}

}  // namespace
