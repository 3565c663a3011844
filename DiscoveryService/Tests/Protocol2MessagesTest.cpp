#include "Protocol2Messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Protocol2TestSupport.h"

namespace corvane::talvenor::server {
namespace {

using Outcome = Protocol2Parser::Outcome;
using DisplayInfo = IDiscoveryService::DisplayInfo;
using namespace testing;  // wire vectors and records shared with the registry suites

// Feeds bytes as one delivery and collects every outcome up to the wait,
// checking on the way that every byte is accounted for exactly once and that
// a waiting parser holds less than one message.
struct Harness {
  std::vector<Outcome> Deliver(const Bytes& bytes) {
    parser.Append(bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::vector<Outcome> outcomes;
    while (true) {
      DisplayInfo record;
      Outcome outcome = parser.Next(&record);
      if (outcome == Outcome::Wait) break;
      if (outcome == Outcome::Publish) records.push_back(record);
      outcomes.push_back(outcome);
      if (outcomes.size() > 100000) ADD_FAILURE() << "parser does not come to a wait";
    }
    EXPECT_EQ(parser.TotalAppended(),
              parser.TotalConsumed() + parser.TotalDropped() + parser.UnreadBytes());
    EXPECT_LT(parser.UnreadBytes(), kMaxDiscoveryMessageSize);
    EXPECT_LE(parser.StreamBytes(), 4096u);
    return outcomes;
  }
  std::vector<Outcome> DeliverBytewise(const Bytes& bytes) {
    std::vector<Outcome> all;
    for (uint8_t byte : bytes) {
      for (Outcome o : Deliver(Bytes{byte})) all.push_back(o);
    }
    return all;
  }

  Protocol2Parser parser;
  std::vector<DisplayInfo> records;
};

TEST(Protocol2Messages, WritersProduceTheWireLayouts) {
  EXPECT_EQ(BuildPublishBytes(Room1()), kP1);

  DisplayInfo changed = Room1();
  changed.flags = 0x01000800;
  Bytes p1b = kP1;
  p1b[43] = 0x08;
  EXPECT_EQ(BuildPublishBytes(changed), p1b);

  // secondaryName never travels.
  DisplayInfo withSecondary = Room1();
  withSecondary.secondaryName = "protocol one only";
  EXPECT_EQ(BuildPublishBytes(withSecondary), kP1);

  DisplayInfo empty;
  empty.id = kRoomId;
  Bytes p0 = Cat({Hex("43 52 56 54 44 53 23 00 00 00 01"), Bytes(kP1.begin() + 11, kP1.begin() + 27), Bytes(18, 0)});
  EXPECT_EQ(BuildPublishBytes(empty), p0);
  EXPECT_EQ(p0.size(), 45u);

  EXPECT_EQ(BuildRemoveBytes(kRoomId), kR1);
  EXPECT_EQ(BuildRemoveBytes(UUID()).size(), kRemoveMessageLength);
  EXPECT_EQ(kDiscoveryStartCode, "CRVTDS");
  EXPECT_EQ(kDiscoveryPingCode, "CRVPNG");
}

TEST(Protocol2Messages, ParsesPublishAndSubscribeWhateverTheDeliveries) {
  Bytes stream = Cat({kPing, kPing, kP1, kPing, kSubscribe, kPing});
  {
    Harness h;
    EXPECT_EQ(h.Deliver(stream), (std::vector<Outcome>{Outcome::Publish, Outcome::Subscribe}));
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0], Room1());
  }
  {
    // One byte at a time, pings split inside themselves: the same result,
    // each message handed out exactly when its last byte arrives.
    Harness h;
    std::vector<Outcome> all;
    for (size_t i = 0; i < stream.size(); ++i) {
      std::vector<Outcome> got = h.Deliver(Bytes{stream[i]});
      if (i == 2 * 6 + kP1.size() - 1) {
        EXPECT_EQ(got, std::vector<Outcome>{Outcome::Publish});
      }
      for (Outcome o : got) all.push_back(o);
    }
    EXPECT_EQ(all, (std::vector<Outcome>{Outcome::Publish, Outcome::Subscribe}));
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0], Room1());
  }
  {
    // Every split of the stream into two deliveries.
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
      Harness h;
      std::vector<Outcome> all = h.Deliver(Bytes(stream.begin(), stream.begin() + cut));
      for (Outcome o : h.Deliver(Bytes(stream.begin() + cut, stream.end()))) all.push_back(o);
      EXPECT_EQ(all, (std::vector<Outcome>{Outcome::Publish, Outcome::Subscribe})) << cut;
    }
  }
}

TEST(Protocol2Messages, EveryCompleteMessageOfADeliveryIsHandledAtOnce) {
  Harness h;
  DisplayInfo second = Room1();
  second.name = "Room2";
  Bytes partialSubscribe(kSubscribe.begin(), kSubscribe.end() - 1);
  EXPECT_EQ(h.Deliver(Cat({kP1, BuildPublishBytes(second), kSubscribe, partialSubscribe})),
            (std::vector<Outcome>{Outcome::Publish, Outcome::Publish, Outcome::Subscribe}));
  ASSERT_EQ(h.records.size(), 2u);
  EXPECT_EQ(h.records[1].name, "Room2");
  // Start code and size are taken as they come; only the instruction is due.
  EXPECT_EQ(h.parser.UnreadBytes(), 0u);
  EXPECT_EQ(h.parser.parserState(), ParserState_Body);
  EXPECT_EQ(h.Deliver(Bytes{kSubscribe.back()}), std::vector<Outcome>{Outcome::Subscribe});

  // 100 KB of subscribes in one delivery, then of pings: linear, bounded.
  Bytes many;
  while (many.size() + kSubscribe.size() <= 102400) many.insert(many.end(), kSubscribe.begin(), kSubscribe.end());
  EXPECT_EQ(h.Deliver(many).size(), many.size() / kSubscribe.size());
  Bytes pings;
  while (pings.size() + 6 <= 102400) pings.insert(pings.end(), kPing.begin(), kPing.end());
  EXPECT_TRUE(h.Deliver(pings).empty());
  EXPECT_EQ(h.parser.UnreadBytes(), 0u);
}

TEST(Protocol2Messages, SizeFieldGatesTheBody) {
  {
    // 1023 is accepted: nothing happens until all 1023 bytes are there.
    Harness h;
    Bytes head = Hex("43 52 56 54 44 53 FF 03 00 00 02");
    Bytes filler;
    while (filler.size() < 1020) filler.insert(filler.end(), kPing.begin(), kPing.end());
    EXPECT_TRUE(h.Deliver(Cat({head, filler})).empty());
    EXPECT_EQ(h.parser.parserState(), ParserState_Body);
    EXPECT_EQ(h.parser.expectedSize(), 1023u);
    // The 1023rd byte completes the message; the filler, which the size
    // counted, is then read as what follows it.
    EXPECT_EQ(h.Deliver(Text("CR")), std::vector<Outcome>{Outcome::Subscribe});
    EXPECT_EQ(h.Deliver(Text("VPNG")), std::vector<Outcome>{});
    EXPECT_EQ(h.Deliver(kSubscribe), std::vector<Outcome>{Outcome::Subscribe});
  }
  {
    // 1024 is refused and the bytes after the size field are a start code.
    Harness h;
    EXPECT_EQ(h.Deliver(Cat({Hex("43 52 56 54 44 53 00 04 00 00"), kSubscribe})),
              (std::vector<Outcome>{Outcome::SizeTooLarge, Outcome::Subscribe}));
    EXPECT_EQ(h.Deliver(Cat({Hex("43 52 56 54 44 53 FF FF FF FF"), Text("XXXXXX"), kSubscribe})),
              (std::vector<Outcome>{Outcome::SizeTooLarge, Outcome::InvalidStartCode}));
  }
  {
    // Size 0 still waits for the instruction byte.
    Harness h;
    EXPECT_TRUE(h.Deliver(Hex("43 52 56 54 44 53 00 00 00 00")).empty());
    EXPECT_EQ(h.Deliver(Hex("02")), std::vector<Outcome>{Outcome::Subscribe});
  }
  {
    // A subscribe announcing 5 bytes leaves the 4 after its instruction to
    // be read as the start of the next start code.
    Harness h;
    EXPECT_EQ(h.Deliver(Cat({Hex("43 52 56 54 44 53 05 00 00 00 02"), Text("CRVP")})),
              std::vector<Outcome>{Outcome::Subscribe});
    EXPECT_EQ(h.Deliver(Cat({Text("NG"), kSubscribe})), std::vector<Outcome>{Outcome::Subscribe});
  }
}

TEST(Protocol2Messages, BadInstructionsAndStartCodes) {
  {
    // A peer's removal is not an instruction the registry takes; its id bytes
    // are then read as a start code.
    Harness h;
    EXPECT_EQ(h.Deliver(kR1), (std::vector<Outcome>{Outcome::InvalidInstruction, Outcome::InvalidStartCode}));
  }
  for (uint8_t instruction : {0, 4, 255}) {
    Harness h;
    EXPECT_EQ(h.Deliver(Cat({Hex("43 52 56 54 44 53 01 00 00 00"), Bytes{instruction}, kSubscribe})),
              (std::vector<Outcome>{Outcome::InvalidInstruction, Outcome::Subscribe}));
  }
  {
    // After an invalid start code the parser takes nothing more.
    Harness h;
    EXPECT_EQ(h.Deliver(Cat({Text("XXXXXX"), kSubscribe})), std::vector<Outcome>{Outcome::InvalidStartCode});
    EXPECT_TRUE(h.Deliver(kSubscribe).empty());
    EXPECT_EQ(h.parser.UnreadBytes(), 0u);
  }
  {
    // A start code cut short by an invalid byte is invalid as a whole.
    Harness h;
    EXPECT_EQ(h.DeliverBytewise(Text("CRVTDX")), std::vector<Outcome>{Outcome::InvalidStartCode});
  }
}

TEST(Protocol2Messages, AFailedRecordDropsTheRestAndResynchronises) {
  // Name length 0xFFFFFFF0 inside a publish whose size is satisfied.
  Bytes hostile = Cat({Hex("43 52 56 54 44 53 32 00 00 00 01"), Bytes(kP1.begin() + 11, kP1.begin() + 27),
                       Hex("F0 FF FF FF"), Bytes(30, 'A')});
  {
    Harness h;
    // The subscribe in the same delivery goes with the unread rest.
    EXPECT_EQ(h.Deliver(Cat({hostile, kSubscribe})), std::vector<Outcome>{Outcome::RecordReadFailed});
    EXPECT_EQ(h.parser.UnreadBytes(), 0u);
    EXPECT_EQ(h.parser.parserState(), ParserState_StartCode);
    EXPECT_EQ(h.Deliver(kP1), std::vector<Outcome>{Outcome::Publish});
    ASSERT_EQ(h.records.size(), 1u);
    EXPECT_EQ(h.records[0], Room1());
  }
  {
    // appData one byte longer than what arrived with the message.
    Bytes shortApp = kP1;
    shortApp[46] = 9;
    Harness h;
    EXPECT_EQ(h.Deliver(shortApp), std::vector<Outcome>{Outcome::RecordReadFailed});
    EXPECT_EQ(h.Deliver(kSubscribe), std::vector<Outcome>{Outcome::Subscribe});
  }
  {
    // Strings reaching past the size are read when their bytes are there.
    Bytes overrun = kP1;
    overrun[6] = 0x20;  // size 32 < 48
    Harness h;
    EXPECT_EQ(h.Deliver(overrun), std::vector<Outcome>{Outcome::Publish});
  }
}

TEST(Protocol2Messages, StreamIsCompactedAndNeverReplays) {
  Harness h;
  // Many messages, delivered in pieces that cut through them, keep the stream
  // small and yield each message exactly once.
  Bytes all;
  for (int i = 0; i < 200; ++i) all.insert(all.end(), kP1.begin(), kP1.end());
  std::vector<Outcome> outcomes;
  for (size_t at = 0; at < all.size(); at += 37) {
    Bytes piece(all.begin() + at, all.begin() + std::min(all.size(), at + 37));
    for (Outcome o : h.Deliver(piece)) outcomes.push_back(o);
  }
  EXPECT_EQ(outcomes.size(), 200u);
  EXPECT_EQ(h.records.size(), 200u);
  EXPECT_EQ(h.parser.TotalConsumed(), all.size());
  EXPECT_EQ(h.parser.TotalDropped(), 0u);
}

}  // namespace
}  // namespace corvane::talvenor::server
