#include <gtest/gtest.h>

#include "DataStream.h"
#include "TransportFrameReader.h"
#include "TransportFrames.h"
#include "TransportHeldBytes.h"
#include "TransportTestSupport.h"

namespace corvane {
namespace {

using test::ChunkedByteSource;
using test::Hex;
using test::ReadAll;
using test::RecordingSink;

const UUID kRpcType("7a49fb65-09ab-11de-8c30-0800200c9a66");
const UUID kConnection("01234567-89ab-cdef-0123-456789abcdef");

RefPtr<IDataStream> StreamOf(const std::string& bytes) {
  RefPtr<IDataStream> s;
  CreateDataStream(s.Receive());
  s->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return s;
}

std::string Frame(const UUID& type, const std::string& body) {
  std::string block;
  EXPECT_EQ(Result_Ok, BuildBinaryFrame(type, StreamOf(body).Get(), &block));
  return block;
}

std::string Le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

TEST(TransportFrames, WireBytesOfEveryFrameKind) {
  EXPECT_EQ(Hex(BuildHandshake(kConnection, false)),
            "43 4f 52 54 52 50 54 30 30 30 32 30 31 32 33 34 35 36 37 2d 38 39 61 62 2d 63 64 65 66 2d 30 31 32 "
            "33 2d 34 35 36 37 38 39 61 62 63 64 65 66 01 00");
  const std::string tls = BuildHandshake(kConnection, true);
  ASSERT_EQ(49u, tls.size());
  EXPECT_EQ('\x01', tls[48]);

  // The whole body goes out whatever has been read of it already.
  RefPtr<IDataStream> body = StreamOf("abc");
  uint8_t skipped = 0;
  body->ReadUInt8(&skipped);
  std::string block;
  ASSERT_EQ(Result_Ok, BuildBinaryFrame(kRpcType, body.Get(), &block));
  EXPECT_EQ(Hex(block),
            "43 52 56 4d 53 47 00 03 00 00 00 65 fb 49 7a ab 09 de 11 8c 30 08 00 20 0c 9a 66 61 62 63");
  EXPECT_EQ(Hex(BuildKeepAliveFrame()),
            "43 52 56 4d 53 47 00 00 00 00 00 d1 ff 83 27 c7 7e e2 11 9e 96 08 00 20 0c 9a 66");
  EXPECT_EQ(Hex(BuildKeepAliveSettingsFrame(1000, 5000)),
            "43 52 56 4d 53 47 00 08 00 00 00 d0 ff 83 27 c7 7e e2 11 9e 96 08 00 20 0c 9a 66 e8 03 00 00 88 13 00 "
            "00");

  // Text frames share the text's buffers; bytes without storage (zeros)
  // are joined into the storage block.
  const auto join = [](const std::vector<DataStreamSpan>& pieces) {
    std::string out;
    for (const auto& piece : pieces) out.append(reinterpret_cast<const char*>(piece.data), piece.size);
    return out;
  };
  std::vector<DataStreamSpan> pieces;
  RefPtr<IDataStream> text = StreamOf("abc;");
  ASSERT_EQ(Result_Ok, GatherTextFrame(text.Get(), true, &block, &pieces));
  EXPECT_EQ(Hex(join(pieces)), "43 52 56 4d 53 47 3a 61 62 63 3b");
  text = StreamOf("GET");
  ASSERT_EQ(Result_Ok, AppendSharedBytes(text.Get(), std::make_shared<const std::string>(" /")));
  ASSERT_EQ(Result_Ok, GatherTextFrame(text.Get(), false, &block, &pieces));
  EXPECT_EQ(2u, pieces.size());
  EXPECT_EQ(join(pieces), "GET /");
  text->AppendEmpty(2);
  ASSERT_EQ(Result_Ok, GatherTextFrame(text.Get(), false, &block, &pieces));
  EXPECT_EQ(join(pieces), std::string("GET /\0\0", 7));

  RefPtr<IDataStream> record;
  ASSERT_EQ(Result_Ok, BuildRawRecord(0xC0A80114, 0x0A000001, reinterpret_cast<const uint8_t*>("GET"), 3,
                                      record.Receive()));
  std::string raw(15, '\0');
  ASSERT_EQ(Result_Ok, record->Read(raw.data(), 15));
  EXPECT_EQ(Hex(raw), "14 01 a8 c0 01 00 00 0a 03 00 00 00 47 45 54");
}

TEST(TransportFrames, WritersRefuseOversizedBodiesAndLoopOverPartialSends) {
  test::ScopedCapture capture;
  RefPtr<IDataStream> huge;
  CreateDataStream(huge.Receive());
  huge->AppendEmpty(kMaxMessageBody + 1);
  std::string block = "untouched";
  EXPECT_EQ(Result_Fail, BuildBinaryFrame(kRpcType, huge.Get(), &block));
  std::vector<DataStreamSpan> pieces;
  EXPECT_EQ(Result_Fail, GatherTextFrame(huge.Get(), true, &block, &pieces));
  EXPECT_EQ("untouched", block);
  EXPECT_EQ(2u, test::Matching(capture, "RETURN Result: 0x80000000 - Message exceeded max message size.").size());

  ChunkedByteSource sink("");
  sink.LimitSends(3);
  const std::string frame = Frame(kRpcType, std::string(100, 'x'));
  EXPECT_EQ(Result_Ok, SendAll(sink, frame));
  EXPECT_EQ(frame, sink.sent());
  ChunkedByteSource broken("");
  broken.FailSends();
  EXPECT_EQ(Result_ConnectionLost, SendAll(broken, frame));
}

TEST(TransportFrames, ClientReadsHandshakeAndRefusesBadOnes) {
  test::ScopedCapture capture;
  UUID id;
  bool tls = true;
  {
    ChunkedByteSource source(BuildHandshake(kConnection, false), {20, 27, 2});
    ASSERT_EQ(Result_Ok, ReadServerHandshake(source, 0, &id, &tls));
    EXPECT_EQ(kConnection, id);
    EXPECT_FALSE(tls);
  }
  {
    ChunkedByteSource source(BuildHandshake(kConnection, true));
    ASSERT_EQ(Result_Ok, ReadServerHandshake(source, 0, &id, &tls));
    EXPECT_TRUE(tls);
  }
  {
    // The marker alone, without a flag: no TLS.
    ChunkedByteSource source(BuildHandshake(kConnection, true).substr(0, 48));
    ASSERT_EQ(Result_Ok, ReadServerHandshake(source, 0, &id, &tls));
    EXPECT_FALSE(tls);
  }
  std::string other = BuildHandshake(kConnection, false);
  other.replace(7, 4, "0003");
  {
    ChunkedByteSource source(other);
    EXPECT_EQ(Result_VersionMismatch, ReadServerHandshake(source, 0, &id, &tls));
  }
  {
    // Magic and version, then the peer closes: not accepted.
    ChunkedByteSource source("CORTRPT0002");
    EXPECT_EQ(Result_VersionMismatch, ReadServerHandshake(source, 0, &id, &tls));
  }
  {
    ChunkedByteSource source("cortrpt0002" + std::string(38, '-'));
    EXPECT_EQ(Result_VersionMismatch, ReadServerHandshake(source, 0, &id, &tls));
  }
  {
    ChunkedByteSource silent("");
    EXPECT_EQ(Result_Fail, ReadServerHandshake(silent, 10, &id, &tls));
  }
  EXPECT_EQ(1u, test::Matching(capture, "Unable to connect to remote server (non-blocking socket). Error: 0").size());
  const auto lines = test::Matching(capture, "RETURN Result: 0x80000037");
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(lines[0],
            "RETURN Result: 0x80000037 - The server protocol version (0003) does not match client protocol "
            "version (0002). scancount: 1");
  EXPECT_EQ(lines[1],
            "RETURN Result: 0x80000037 - The server protocol version () does not match client protocol version "
            "(0002). scancount: 0");
  EXPECT_EQ(lines[1], lines[2]);
}

TEST(TransportFrames, BinaryReaderResynchronisesAndDeliversAcrossEveryChunking) {
  const UUID other("11111111-2222-3333-4455-66778899aabb");
  const std::string stream = "garbageCRVMSG" + Frame(kRpcType, "abc") +
                             // A length one above the maximum: dropped without a line; its bytes are skipped.
                             std::string("CRVMSG\0", 7) + Le32(kMaxMessageBody + 1) + std::string(16, 'T') + "zz" +
                             Frame(other, "") + BuildKeepAliveFrame() + BuildKeepAliveSettingsFrame(1000, 5000) +
                             Frame(KeepAliveConfigMessageType, "\x01\x02\x03\x04") + Frame(kRpcType, "tail");
  for (size_t chunk : {size_t{0}, size_t{1}, size_t{3}, size_t{7}, size_t{4096}}) {
    SCOPED_TRACE(chunk);
    test::ScopedCapture capture;
    ChunkedByteSource source(stream, chunk == 0 ? std::vector<size_t>{} : std::vector<size_t>(stream.size(), chunk));
    RecordingSink sink;
    TransportFrameReader reader(kBinaryTransportMode, source, sink);
    ReadAll(reader, source);
    EXPECT_TRUE(source.Exhausted());
    EXPECT_EQ(MESSAGE_HEADER_READ, reader.ReadState());
    ASSERT_EQ(3u, sink.messages.size());
    EXPECT_EQ(kRpcType, sink.messages[0].type);
    EXPECT_EQ("abc", sink.messages[0].bytes);
    EXPECT_EQ(other, sink.messages[1].type);
    EXPECT_EQ("", sink.messages[1].bytes);
    EXPECT_EQ("tail", sink.messages[2].bytes);
    EXPECT_EQ(1, sink.keepAlives);
    ASSERT_EQ(2u, sink.settings.size());
    EXPECT_EQ(1000u, sink.settings[0].first.value());
    EXPECT_EQ(5000u, sink.settings[0].second.value());
    EXPECT_EQ(0x04030201u, sink.settings[1].first.value());
    EXPECT_FALSE(sink.settings[1].second.has_value());
    EXPECT_TRUE(test::Matching(capture, "MESSAGE_BODY_READ").empty());
  }
}

TEST(TransportFrames, BinaryReaderAbandonsTruncatedFramesWithoutReservingTheirLength) {
  // 100 MiB announced, three bytes sent, then the peer goes: nothing near the
  // announced size may be allocated, and the frame is abandoned.
  const std::string truncated = std::string("CRVMSG\0", 7) + Le32(kMaxMessageBody) + std::string(16, 'T') + "abc";
  ChunkedByteSource source(truncated);
  RecordingSink sink;
  TransportFrameReader reader(kBinaryTransportMode, source, sink);
  reader.ReadPass();
  EXPECT_EQ(MESSAGE_HEADER_READ, reader.ReadState());
  EXPECT_TRUE(sink.messages.empty());
  EXPECT_EQ(1, source.pauses());

  // A stall inside a start code pauses instead of spinning.
  ChunkedByteSource stalled("CRV", {3});
  TransportFrameReader stalledReader(kBinaryTransportMode, stalled, sink);
  stalledReader.ReadPass();
  EXPECT_EQ(1, stalled.pauses());
  EXPECT_EQ(0u, stalled.Position());
}

TEST(TransportFrames, TextAndRawReaders) {
  const std::string longText = std::string(99, 'x') + ";";
  const std::string stream = std::string("noise") + "crvMSG:abc;" + "CRVMSG:" + longText +
                             std::string("CRVMSG:a\0b;", 11) + "CRVMSG:after;";
  ChunkedByteSource source(std::string(stream.data(), stream.size()));
  RecordingSink sink;
  TransportFrameReader reader(kTextTransportMode, source, sink);
  ReadAll(reader, source);
  ASSERT_EQ(4u, sink.messages.size());
  EXPECT_EQ(Hex(sink.messages[0].bytes), "04 00 00 00 61 62 63 3b");
  EXPECT_EQ(UUID(), sink.messages[0].type);
  EXPECT_EQ(longText, sink.messages[1].bytes.substr(4));
  EXPECT_EQ("a", sink.messages[2].bytes.substr(4));
  EXPECT_EQ("after;", sink.messages[3].bytes.substr(4));

  // No ';' within 100 bytes: dropped.
  ChunkedByteSource unterminated("CRVMSG:" + std::string(100, 'y') + "CRVMSG:ok;");
  RecordingSink dropped;
  TransportFrameReader textReader(kTextTransportMode, unterminated, dropped);
  ReadAll(textReader, unterminated);
  ASSERT_EQ(1u, dropped.messages.size());
  EXPECT_EQ("ok;", dropped.messages[0].bytes.substr(4));

  ChunkedByteSource raw(std::string(25000, 'r'));
  RecordingSink records;
  TransportFrameReader rawReader(kRawTransportMode, raw, records);
  rawReader.SetAddresses(0xC0A80114, 0x0A000001);
  ReadAll(rawReader, raw);
  ASSERT_EQ(3u, records.messages.size());
  size_t total = 0;
  for (const auto& r : records.messages) {
    EXPECT_EQ("14 01 a8 c0 01 00 00 0a", Hex(r.bytes.substr(0, 8)));
    EXPECT_LE(r.bytes.size() - 12, kRawReadSize);
    total += r.bytes.size() - 12;
  }
  EXPECT_EQ(25000u, total);
}

// Past the budget, bodies that peers sent and did not finish are shed before
// the answers held for a client that reads them, even when that client
// holds the most; the answers go only once nothing unfinished is left.
TEST(TransportFrames, HeldBytesBudgetShedsUnfinishedFramesBeforeAReadersAnswers) {
  struct Holder : HeldBytesBudget::Holder {
    void Shed() override { ++sheds; }
    int sheds = 0;
  };
  HeldBytesBudget budget(1000);
  Holder stalledA, stalledB, answers;
  budget.Set(&stalledA, 300, HeldBytesBudget::Kind::kUnfinished);
  budget.Set(&stalledB, 350, HeldBytesBudget::Kind::kUnfinished);
  budget.Set(&answers, 400);
  EXPECT_EQ(0, answers.sheds);
  EXPECT_EQ(1, stalledB.sheds);
  EXPECT_EQ(0, stalledA.sheds);
  budget.Remove(&stalledB);
  budget.Set(&answers, 800);
  EXPECT_EQ(1, stalledA.sheds);
  EXPECT_EQ(0, answers.sheds);
  budget.Remove(&stalledA);
  budget.Set(&answers, 1200);
  EXPECT_EQ(1, answers.sheds);
}

}  // namespace
}  // namespace corvane
