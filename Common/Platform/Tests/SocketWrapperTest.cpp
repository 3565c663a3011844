#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "RefCount.h"
#include "Result.h"
#include "SocketLayer.h"
#include "SocketWrapper.h"

namespace corvane {
namespace {

RefPtr<ISocket> Make(SocketType type, SocketProtocol protocol) {
  RefPtr<ISocket> s;
  EXPECT_EQ(0, CreateSocket(s.Receive(), SocketFamily_IPv4, type, protocol));
  return s;
}

// Accepted sockets are non-blocking unless asked otherwise: a blocking one
// is what a receive thread's timed reads wait on (non-blocking, they would
// spin).
TEST(SocketWrapperTest, AcceptGivesABlockingSocketOnlyWhenAsked) {
  const platform::SocketHandle listener = platform::CreateTcpSocket();
  ASSERT_EQ(0, platform::Bind(listener, 0x7F000001, 0));
  ASSERT_EQ(0, platform::Listen(listener));
  uint16_t port = 0;
  ASSERT_EQ(0, platform::GetLocalAddress(listener, nullptr, &port));
  for (const bool nonBlocking : {true, false}) {
    const platform::SocketHandle client = platform::CreateTcpSocket();
    ASSERT_EQ(0, platform::Connect(client, 0x7F000001, port));
    ASSERT_EQ(1, platform::WaitReadable(listener, 10000));
    const platform::SocketHandle accepted = platform::Accept(listener, nullptr, nonBlocking);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(nonBlocking, (fcntl(accepted, F_GETFL) & O_NONBLOCK) != 0);
    EXPECT_NE(0, fcntl(accepted, F_GETFD) & FD_CLOEXEC);
    platform::CloseSocket(accepted);
    platform::CloseSocket(client);
  }
  platform::CloseSocket(listener);
}

// A TCP pair through Listen/Connect/Accept, the receive terminator rule,
// short and closed-handle results, and the look-ups.
TEST(SocketWrapperTest, StreamPairReceiveAndLookups) {
  RefPtr<ISocket> listener = Make(SocketType_Stream, SocketProtocol_Tcp);
  ASSERT_EQ(0, listener->Bind(IPEndPoint(0x7F000001, 0)));
  ASSERT_EQ(0, listener->Listen(4));
  IPEndPoint local;
  ASSERT_EQ(0, listener->GetLocalEndPoint(&local));
  EXPECT_EQ(0x7F000001u, local.address);
  RefPtr<ISocket> client = Make(SocketType_Stream, SocketProtocol_Tcp);
  ASSERT_EQ(0, client->Connect(local));
  RefPtr<ISocket> accepted;
  ASSERT_EQ(0, listener->Accept(accepted.Receive()));
  IPEndPoint remote;
  ASSERT_EQ(0, client->GetRemoteEndPoint(&remote));
  EXPECT_EQ(local.port, remote.port);

  EXPECT_EQ(1, accepted->WaitReadable(0, 0));  // nothing queued: at once
  ASSERT_EQ(0, client->Send("abcd", 4));
  EXPECT_EQ(0, accepted->WaitReadable(2, 0));
  char buffer[10];
  std::memset(buffer, 'x', sizeof(buffer));
  int received = 0;
  ASSERT_EQ(0, accepted->Receive(buffer, 10, &received));
  EXPECT_EQ(4, received);
  EXPECT_EQ(0, buffer[4]);
  EXPECT_EQ('x', buffer[5]);
  ASSERT_EQ(0, client->Send("0123456789", 10));
  ASSERT_EQ(0, accepted->WaitReadable(2, 0));
  char exact[11];
  exact[10] = 'y';
  ASSERT_EQ(0, accepted->Receive(exact, 10, &received));
  EXPECT_EQ(10, received);
  EXPECT_EQ('y', exact[10]);  // nothing written beyond the buffer
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Receive(buffer, 0, &received));
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Receive(buffer, -5, &received));

  // A failed receive reports -1 and writes nothing before the buffer.
  ASSERT_EQ(0, accepted->SetBlocking(false));
  char guarded[12];
  std::memset(guarded, 'g', sizeof(guarded));
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Receive(guarded + 1, 10, &received));
  EXPECT_EQ(-1, received);
  EXPECT_EQ('g', guarded[0]);

  EXPECT_EQ(0, accepted->SetReceiveBufferSize(65536));
  int size = 0;
  EXPECT_EQ(0, accepted->GetReceiveBufferSize(&size));
  EXPECT_GE(size, 65536);
  EXPECT_EQ(0, accepted->SetSendTimeout(250));
  EXPECT_EQ(0, accepted->Close());
  EXPECT_EQ(0, accepted->Close());
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Send("a", 1));
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Receive(buffer, 10, &received));
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->Shutdown());
  EXPECT_EQ(static_cast<int>(Result_Fail), accepted->GetSendBufferSize(&size));
  EXPECT_EQ(1, accepted->WaitReadable(0, 0));

  RefPtr<ISocket> udp = Make(SocketType_Datagram, SocketProtocol_Udp);
  uint32_t address = 5;
  EXPECT_EQ(0, udp->GetHostIpv4("127.0.0.1", &address));
  EXPECT_EQ(0x7F000001u, address);
  EXPECT_EQ(0, udp->GetHostIpv4("localhost", &address));
  EXPECT_EQ(0x7F000001u, address);
  address = 5;
  EXPECT_EQ(static_cast<int>(Result_Fail), udp->GetHostIpv4(std::string(255, 'a'), &address));
  EXPECT_EQ(5u, address);
  EXPECT_EQ(static_cast<int>(Result_Fail), udp->GetHostIpv4("no-such-host.invalid", &address));
  EXPECT_EQ(5u, address);
  EXPECT_EQ(static_cast<int>(Result_InvalidPointer), udp->GetHostIpv4("", nullptr));
  std::vector<uint32_t> list{1, 2};
  EXPECT_EQ(0, udp->GetLocalIpv4List(&list));
  EXPECT_NE(list.end(), std::find(list.begin(), list.end(), 0x7F000001u));
  EXPECT_EQ(0, udp->GetLocalIpv4WifiAddress(&address));
  EXPECT_EQ(static_cast<int>(Result_InvalidPointer), CreateSocket(nullptr, SocketFamily_IPv4, SocketType_Datagram,
                                                                   SocketProtocol_Udp));
}

// Datagrams: SO_REUSEADDR on a UDP socket, SendTo/ReceiveFrom with the
// sender's end point.
TEST(SocketWrapperTest, Datagrams) {
  RefPtr<ISocket> a = Make(SocketType_Datagram, SocketProtocol_Udp);
  RefPtr<ISocket> b = Make(SocketType_Datagram, SocketProtocol_Udp);
  ASSERT_EQ(0, a->Bind(IPEndPoint(0x7F000001, 0)));
  ASSERT_EQ(0, b->Bind(IPEndPoint(0x7F000001, 0)));
  ASSERT_EQ(0, b->EnableBroadcast());
  IPEndPoint to, from;
  ASSERT_EQ(0, a->GetLocalEndPoint(&to));
  IPEndPoint sender;
  ASSERT_EQ(0, b->GetLocalEndPoint(&sender));
  ASSERT_EQ(0, b->SendTo("ping", 4, to));
  ASSERT_EQ(0, a->WaitReadable(2, 0));
  char buffer[8];
  int received = 0;
  ASSERT_EQ(0, a->ReceiveFrom(buffer, 8, &received, &from));
  EXPECT_EQ(4, received);
  EXPECT_STREQ("ping", buffer);
  EXPECT_EQ(sender.port, from.port);
  EXPECT_EQ(0x7F000001u, from.address);
}

// A one-shot descriptor goes to one wait only, and to none after it until
// armed again, however long it stays ready: two threads sharing a set never
// serve it at once.
TEST(SocketWrapperTest, AOneShotDescriptorIsReportedOnceUntilArmedAgain) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  platform::EventSet set;
  ASSERT_TRUE(set.IsValid());
  ASSERT_EQ(0, set.Add(pair[0], platform::kPollReadable, 7, true));
  ASSERT_EQ(1, ::send(pair[1], "x", 1, 0));
  platform::EventSet::Ready ready[4];
  ASSERT_EQ(1, set.Wait(ready, 4, 10000));
  EXPECT_EQ(7u, ready[0].key);
  EXPECT_NE(0, ready[0].events & platform::kPollReadable);
  // Still readable, yet not reported again.
  EXPECT_EQ(0, set.Wait(ready, 4, 50));
  ASSERT_EQ(0, set.Modify(pair[0], platform::kPollReadable, 8, true));
  ASSERT_EQ(1, set.Wait(ready, 4, 10000));
  EXPECT_EQ(8u, ready[0].key);
  // Armed for nothing, a hang-up is reported all the same.
  ASSERT_EQ(0, set.Modify(pair[0], 0, 9, true));
  ::close(pair[1]);
  ASSERT_EQ(1, set.Wait(ready, 4, 10000));
  EXPECT_EQ(9u, ready[0].key);
  EXPECT_NE(0, ready[0].events & platform::kPollHangUp);
  ::close(pair[0]);
}

// Sent bytes are taken off the front across slices; a slice cut short stays
// the next one, empty slices are passed.
TEST(SocketWrapperTest, SentBytesAreTakenOffTheFrontOfTheSlices) {
  const char text[] = "abcdefgh";
  platform::SendSlice slices[] = {{text, 0}, {text, 3}, {text + 3, 0}, {text + 3, 5}};
  size_t next = 0;
  platform::ConsumeSlices(slices, 4, &next, 0);
  EXPECT_EQ(1u, next);
  platform::ConsumeSlices(slices, 4, &next, 4);
  EXPECT_EQ(3u, next);
  EXPECT_EQ(4u, slices[3].size);
  EXPECT_EQ('e', *static_cast<const char*>(slices[3].data));
  platform::ConsumeSlices(slices, 4, &next, 4);
  EXPECT_EQ(4u, next);
}

}  // namespace
}  // namespace corvane
