// The RPC endpoint end to end over a transport (a fixture parameter): the
// request and response records byte for byte, results and log lines, a
// hostile peer's responses, time-outs, and the endpoint's own rules.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "RpcTestHelpers.h"
#include "TestLogCapture.h"

namespace corvane::test {
namespace {

const UUID kObject("a0a14dd0-daad-11e3-9c1a-0800200c9a66");
const UUID kMissing("0badf00d-0000-4000-8000-000000000001");
// Kind 0, the object, method 2.
const Bytes kRequestHead = {0x00, 0xd0, 0x4d, 0xa1, 0xa0, 0xad, 0xda, 0xe3, 0x11, 0x9c,
                            0x1a, 0x08, 0x00, 0x20, 0x0c, 0x9a, 0x66, 0x02, 0x00};

struct StubCall {
  UUID connectionId;
  int method;
  Bytes params;
};

// Method 2 doubles a u32; method 3 writes a body and fails; anything else
// answers 5 with no body.
class TestStub final : public IRpc::IStub, public IRefCountImpl {
 public:
  IRefCount* owner = nullptr;
  IRefCount* GetOwner() override { return owner; }
  int ExecuteStub(IRpc*, UUID connectionId, const UUID*, int method, IDataStream* request,
                  IDataStream* response) override {
    uint32_t position = 0, size = 0;
    request->GetPosition(&position);
    request->GetSize(&size);
    Bytes rest(size - position);
    if (!rest.empty()) request->Read(rest.data(), static_cast<uint32_t>(rest.size()));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({connectionId, method, rest});
    }
    if (method == 2 && rest.size() >= 4) {
      response->WriteUInt32(rest[0] * 2u);
      return 0;
    }
    if (method == 3) {
      response->WriteUInt32(99);
      return Result_InvalidArgument;
    }
    return 5;
  }
  int GetObjectId(UUID* out) override {
    *out = kObject;
    return 0;
  }
  std::vector<StubCall> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::vector<StubCall> calls_;
};

class Owner final : public IRefCountImpl {};

Bytes CallIdOf(const Frame& request) { return Bytes(request.bytes.begin() + 19, request.bytes.begin() + 35); }

class RpcOverTransport : public ::testing::TestWithParam<TransportFactory> {
 protected:
  void SetUp() override {
    server_ = GetParam().makeServer(&port_);
    client_ = GetParam().makeClient();
    ASSERT_TRUE(server_ && client_);
    // The client endpoint is registered before the recorder, so over the
    // fake transport a frame the recorder has seen has already been through
    // the endpoint (the real one makes no such promise).
    clientRpc_ = NewRpc(client_.Get());
    server_->AddNotify(serverFrames_.Get());
    client_->AddNotify(clientFrames_.Get());
    ASSERT_EQ(client_->OpenConnection(0x7F000001, port_, &conn_, 5000), 0);
    ASSERT_TRUE(WaitUntil([&] { return !serverFrames_->Connected().empty(); }, 5000));
    ASSERT_EQ(serverFrames_->Connected()[0], conn_);
  }
  void TearDown() override {
    if (serverRpc_) serverRpc_->Detach();
    clientRpc_->Detach();
    server_->RemoveNotify(serverFrames_.Get());
    client_->RemoveNotify(clientFrames_.Get());
  }
  void AttachServerRpc() { serverRpc_ = NewRpc(server_.Get()); }
  // A record from the server's side, bypassing its endpoint.
  void SendRaw(const Bytes& record) { ASSERT_EQ(server_->Write(conn_, RpcChannelType, StreamOf(record).Get()), 0); }
  // Starts a client call and returns its call id once the request is out.
  Bytes StartCall(std::future<int>* result, IDataStream* response, int method, uint32_t timeoutMs) {
    const size_t before = serverFrames_->Count();
    *result = std::async(std::launch::async, [=, this] {
      return clientRpc_->Execute(conn_, kObject, method, StreamOf({1, 2}).Get(), response, timeoutMs);
    });
    EXPECT_TRUE(WaitUntil([&] { return serverFrames_->Count() > before; }, 5000));
    return CallIdOf(serverFrames_->Frames()[before]);
  }

  uint16_t port_ = 0;
  RefPtr<ITransport> server_, client_;
  RefPtr<IRpc> clientRpc_, serverRpc_;
  RefPtr<FrameRecorder> serverFrames_{new FrameRecorder(), false};
  RefPtr<FrameRecorder> clientFrames_{new FrameRecorder(), false};
  UUID conn_;
};

TEST_P(RpcOverTransport, CallsCarryExactRecordsResultsAndLogLines) {
  // The caller's result lines are rate-limited per thread and place, and
  // the other transport's run has used this thread's allowance: a fresh
  // thread makes the calls.
  std::thread([&] {
    VerboseLogging verbose;
    ScopedCapture log;
    AttachServerRpc();
    RefPtr<TestStub> stub(new TestStub(), false);
    ASSERT_EQ(serverRpc_->RegisterStub(kObject, stub.Get()), 0);

    // Two-way: a time-out of 1 still waits for the answer.
    RefPtr<IDataStream> response = StreamOf({});
    const Bytes params = {0x15, 0, 0, 0};
    ASSERT_EQ(clientRpc_->Execute(conn_, kObject, 2, StreamOf(params).Get(), response.Get(), 1), 0);
    EXPECT_EQ(BytesOf(response.Get()), Bytes({0x2a, 0, 0, 0}));
    auto requests = serverFrames_->Frames();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].bytes.size(), 35u + params.size());
    EXPECT_EQ(Bytes(requests[0].bytes.begin(), requests[0].bytes.begin() + 19), kRequestHead);
    EXPECT_EQ(Bytes(requests[0].bytes.begin() + 35, requests[0].bytes.end()), params);
    Bytes call = CallIdOf(requests[0]);
    ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() == 1; }, 5000));
    EXPECT_EQ(clientFrames_->Frames()[0].bytes, Cat({{0x02}, call, {0, 0, 0, 0}, {4, 0, 0, 0}, {0x2a, 0, 0, 0}}));
    ASSERT_EQ(stub->Calls().size(), 1u);
    EXPECT_EQ(stub->Calls()[0].connectionId, conn_);
    EXPECT_EQ(stub->Calls()[0].method, 2);
    // The server logs after its write, so the line may follow the answer.
    EXPECT_TRUE(WaitUntil(
        [&] {
          return log->Has(Log_Spew, "RETURN Result: 0x0 - Response Complete; Connection: " + conn_.ToString() +
                                        " Object: a0a14dd0-daad-11e3-9c1a-0800200c9a66 Method: 2");
        },
        5000));

    // A failing stub's body is dropped; the method goes as its low 16 bits.
    response = StreamOf({});
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 0x10003, StreamOf({}).Get(), response.Get(), 30000),
              Result_InvalidArgument);
    EXPECT_TRUE(BytesOf(response.Get()).empty());
    call = CallIdOf(serverFrames_->Frames().back());
    EXPECT_EQ(serverFrames_->Frames().back().bytes[17], 0x03);
    EXPECT_EQ(serverFrames_->Frames().back().bytes[18], 0x00);
    ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() == 2; }, 5000));
    EXPECT_EQ(clientFrames_->Frames()[1].bytes, Cat({{0x02}, call, {0x03, 0, 0, 0x80}, {0, 0, 0, 0}}));
    EXPECT_TRUE(
        WaitUntil([&] { return log->Has(Log_Severe, "RETURN Result: 0x80000003 - Response Complete;"); }, 5000));

    // No such stub.
    EXPECT_EQ(clientRpc_->Execute(conn_, kMissing, 2, StreamOf({}).Get(), response.Get(), 30000), Result_NoSuchStub);
    call = CallIdOf(serverFrames_->Frames().back());
    ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() == 3; }, 5000));
    EXPECT_EQ(clientFrames_->Frames()[2].bytes, Cat({{0x02}, call, {0x3b, 0, 0, 0x80}, {0, 0, 0, 0}}));

    // One-way calls, to a stub and to nothing: kind 1, sent, never answered.
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 2, StreamOf(params).Get(), response.Get(), 0), 0);
    EXPECT_EQ(clientRpc_->Execute(conn_, kMissing, 2, StreamOf(params).Get(), response.Get(), 0), 0);
    EXPECT_TRUE(log->Has(Log_Spew, "RETURN Result: 0x0 - No Response Required"));
    ASSERT_TRUE(WaitUntil([&] { return serverFrames_->Count() == 5; }, 5000));
    EXPECT_EQ(serverFrames_->Frames()[3].bytes[0], 0x01);
    EXPECT_EQ(serverFrames_->Frames()[4].bytes[0], 0x01);
    // The recorder hears frames before the server's endpoint does.
    EXPECT_TRUE(WaitUntil([&] { return stub->Calls().size() == 3; }, 5000));
    // A later two-way call's answer is the only frame back.
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 9, StreamOf({}).Get(), response.Get(), 30000), 5);
    ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() >= 4; }, 5000));
    EXPECT_EQ(clientFrames_->Count(), 4u);
    EXPECT_EQ(clientFrames_->Frames()[3].bytes[0], 0x02);

    // Null streams are refused before anything is sent, one-way calls too.
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 2, nullptr, response.Get(), 0), Result_InvalidPointer);
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 2, StreamOf({}).Get(), nullptr, 30000), Result_InvalidPointer);
    EXPECT_TRUE(log->Has(Log_Severe, "RETURN Result: 0x80000001 - Invalid Pointer"));
    EXPECT_EQ(serverFrames_->Count(), 6u);

    // A stub whose owner is being destroyed counts as missing.
    RefPtr<Owner> owner(new Owner(), false);
    stub->owner = owner.Get();
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 2, StreamOf(params).Get(), response.Get(), 30000), 0);
    // The server lets go of the owner just after its answer went out.
    ASSERT_TRUE(WaitUntil([&] { return owner->GetRefCount() == 1; }, 5000));
    IRefCount* dying = owner.Detach();
    ASSERT_EQ(dying->DecrementRef(), 0);
    EXPECT_EQ(clientRpc_->Execute(conn_, kObject, 2, StreamOf(params).Get(), response.Get(), 30000), Result_NoSuchStub);
    stub->owner = nullptr;
    dying->Destroy();
    EXPECT_EQ(stub->Calls().size(), 5u);
  }).join();
}

TEST_P(RpcOverTransport, HostileResponsesNeverCorruptOrCompleteTwice) {
  RefPtr<IDataStream> a = StreamOf({}), b = StreamOf({});
  std::future<int> resultA, resultB;
  const Bytes callA = StartCall(&resultA, a.Get(), 7, 30000);
  const Bytes callB = StartCall(&resultB, b.Get(), 7, 30000);
  // Answered out of order, then A once more with another body.
  SendRaw(Cat({{0x02}, callB, {5, 0, 0, 0}, {2, 0, 0, 0}, {0xbb, 0xbb}}));
  SendRaw(Cat({{0x02}, callA, {0, 0, 0, 0}, {1, 0, 0, 0}, {0xaa}}));
  SendRaw(Cat({{0x02}, callA, {0, 0, 0, 0}, {1, 0, 0, 0}, {0xcc}}));
  EXPECT_EQ(resultB.get(), 5);
  EXPECT_EQ(resultA.get(), 0);
  EXPECT_EQ(BytesOf(b.Get()), Bytes({0xbb, 0xbb}));

  // Bodies shorter than their length, a length of 4 GiB - 1 and a record cut
  // inside its result fail their call with no body.
  const std::vector<Bytes> tails = {
      {0, 0, 0, 0, 10, 0, 0, 0, 1, 2, 3}, {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 1}, {0, 0, 0}};
  for (const Bytes& tail : tails) {
    RefPtr<IDataStream> r = StreamOf({});
    std::future<int> result;
    const Bytes call = StartCall(&result, r.Get(), 7, 30000);
    SendRaw(Cat({{0x02}, call, tail}));
    EXPECT_EQ(result.get(), Result_InvalidArgument);
    EXPECT_TRUE(BytesOf(r.Get()).empty());
  }
  // The duplicate for A (sent before those) never reached A's stream.
  EXPECT_EQ(BytesOf(a.Get()), Bytes({0xaa}));

  // Records the endpoint ignores, and a response it cannot match.
  auto* notify = dynamic_cast<ITransport::ITransportNotify*>(clientRpc_.Get());
  ASSERT_NE(notify, nullptr);
  EXPECT_EQ(notify->OnDataReady(conn_, RpcChannelType, StreamOf({}).Get()), 0);
  EXPECT_EQ(notify->OnDataReady(conn_, RpcChannelType, StreamOf({0x09, 1, 2}).Get()), 0);
  EXPECT_EQ(notify->OnDataReady(conn_, kObject, StreamOf(Cat({{0x02}, callA, {0, 0, 0, 0, 0, 0, 0, 0}})).Get()), 0);
  EXPECT_EQ(notify->OnDataReady(conn_, RpcChannelType, StreamOf(Cat({{0x02}, callA, {0, 0, 0, 0, 0, 0, 0, 0}})).Get()),
            Result_Fail);
  EXPECT_EQ(notify->OnDataReady(conn_, RpcChannelType, StreamOf({0x02, 1, 2}).Get()), Result_Fail);

  // A request one byte short of its header is dropped; a whole one runs.
  RefPtr<TestStub> stub(new TestStub(), false);
  ASSERT_EQ(clientRpc_->RegisterStub(kObject, stub.Get()), 0);
  Bytes request = Cat({kRequestHead, WireOf(kMissing)});
  const size_t before = serverFrames_->Count();
  SendRaw(Bytes(request.begin(), request.end() - 1));
  SendRaw(request);
  ASSERT_TRUE(WaitUntil([&] { return serverFrames_->Count() == before + 1; }, 5000));
  EXPECT_EQ(serverFrames_->Frames().back().bytes, Cat({{0x02}, WireOf(kMissing), {5, 0, 0, 0}, {0, 0, 0, 0}}));
  ASSERT_EQ(stub->Calls().size(), 1u);
  EXPECT_TRUE(stub->Calls()[0].params.empty());
}

TEST_P(RpcOverTransport, UnansweredCallTimesOutAfterTheMinimumWait) {
  VerboseLogging verbose;
  ScopedCapture log;
  RefPtr<IDataStream> response = StreamOf({});
  std::future<int> result;
  const auto start = std::chrono::steady_clock::now();
  const Bytes call = StartCall(&result, response.Get(), 7, 1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(25)), std::future_status::ready);
  EXPECT_EQ(result.get(), Result_Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19900));
  EXPECT_TRUE(log->Has(Log_Severe, "RETURN Result: 0x80000007 - Timeout Connection: " + conn_.ToString() +
                                       " Object: a0a14dd0-daad-11e3-9c1a-0800200c9a66 Method: 7 (20000 ms)"));
  // The late answer finds no call and leaves the caller's stream alone.
  auto* notify = dynamic_cast<ITransport::ITransportNotify*>(clientRpc_.Get());
  EXPECT_EQ(
      notify->OnDataReady(conn_, RpcChannelType, StreamOf(Cat({{0x02}, call, {0, 0, 0, 0, 1, 0, 0, 0, 7}})).Get()),
      Result_Fail);
  EXPECT_TRUE(BytesOf(response.Get()).empty());
}

TEST_P(RpcOverTransport, EndpointRulesAndTransportChange) {
  EXPECT_EQ(EffectiveRpcTimeout(0), 0u);
  EXPECT_EQ(EffectiveRpcTimeout(1), 20000u);
  EXPECT_EQ(EffectiveRpcTimeout(19999), 20000u);
  EXPECT_EQ(EffectiveRpcTimeout(20001), 20001u);
  EXPECT_EQ(EffectiveRpcTimeout(0xFFFFFFFFu), 0xFFFFFFFFu);

  RefPtr<IRpc> bare = NewRpc(nullptr);
  ITransport* out = client_.Get();
  EXPECT_EQ(bare->GetTransport(&out), Result_NotInitialized);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(bare->Detach(), Result_NotInitialized);
  EXPECT_EQ(bare->SetTransport(nullptr, 0), Result_InvalidPointer);
  RefPtr<TestStub> first(new TestStub(), false), second(new TestStub(), false);
  EXPECT_EQ(bare->RegisterStub(kObject, nullptr), Result_InvalidPointer);
  EXPECT_EQ(bare->RegisterStub(kObject, first.Get()), 0);
  EXPECT_EQ(bare->RegisterStub(kObject, second.Get()), Result_Fail);
  EXPECT_EQ(bare->UnregisterStub(kMissing), Result_Fail);

  // The first stub stays and serves calls.
  ASSERT_EQ(clientRpc_->RegisterStub(kObject, first.Get()), 0);
  EXPECT_EQ(clientRpc_->RegisterStub(kObject, second.Get()), Result_Fail);
  SendRaw(Cat({{0x01}, WireOf(kObject), {4, 0}, WireOf(kMissing)}));
  // The real transport hands a message to each receiver on its own turn, so
  // the recorder's copy may come first.
  EXPECT_TRUE(WaitUntil([&] { return first->Calls().size() == 1; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() == 1; }, 5000));
  EXPECT_TRUE(second->Calls().empty());

  // Moved to another transport, the endpoint no longer hears the old one.
  RefPtr<ITransport> other = GetParam().makeClient();
  ASSERT_EQ(clientRpc_->SetTransport(other.Get(), 0), 0);
  ASSERT_EQ(clientRpc_->GetTransport(&out), 0);
  EXPECT_EQ(out, other.Get());
  out->Release();
  SendRaw(Cat({{0x01}, WireOf(kObject), {4, 0}, WireOf(kMissing)}));
  ASSERT_TRUE(WaitUntil([&] { return clientFrames_->Count() == 2; }, 5000));
  EXPECT_EQ(first->Calls().size(), 1u);
  EXPECT_EQ(clientRpc_->UnregisterStub(kObject), 0);
  EXPECT_EQ(clientRpc_->UnregisterStub(kObject), Result_Fail);
}

// Holds a transport until the first message reaches it, then drops it.
class DropOnMessage final : public ITransport::ITransportNotify, public IRefCountImpl {
 public:
  RefPtr<ITransport> held;
  std::atomic<bool> disconnected{false};
  int OnDataReady(const UUID&, const UUID&, IDataStream*) override {
    held.Reset();
    return 0;
  }
  int OnEvent(const UUID&, int event) override {
    if (event == TransportEvent_Disconnected) disconnected.store(true);
    return 0;
  }
};

// An endpoint answering a request holds the transport while it writes, so
// the last reference can go on the very thread the transport must join.
TEST(FakeTransport, LastReleaseInsideItsOwnDeliveryStillShutsItDown) {
  uint16_t port = 0;
  RefPtr<ITransport> server = FakeTransportFactory().makeServer(&port);
  RefPtr<ITransport> client = FakeTransportFactory().makeClient();
  RefPtr<DropOnMessage> serverSide(new DropOnMessage(), false), clientSide(new DropOnMessage(), false);
  ASSERT_EQ(server->AddNotify(serverSide.Get()), 0);
  ASSERT_EQ(client->AddNotify(clientSide.Get()), 0);
  UUID conn;
  ASSERT_EQ(client->OpenConnection(0x7F000001, port, &conn, 5000), 0);
  serverSide->held = server;
  server.Reset();
  ASSERT_EQ(client->Write(conn, RpcChannelType, StreamOf({1}).Get()), 0);
  // The server's teardown closes the link; the client hears of it.
  EXPECT_TRUE(WaitUntil([&] { return clientSide->disconnected.load(); }, 10000));
  client->RemoveNotify(clientSide.Get());
}

INSTANTIATE_TEST_SUITE_P(Transports, RpcOverTransport,
                         ::testing::Values(FakeTransportFactory(), PlainTransportFactory()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace corvane::test
