#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "QosWrapper.h"
#include "SocketLayer.h"
#include "TransportTestSupport.h"

namespace corvane {
namespace {

int Tos(int socket) {
  int tos = -1;
  EXPECT_EQ(0, platform::GetTypeOfService(socket, &tos));
  return tos;
}

TEST(QosWrapper, MarksARealSocketAndRestoresIt) {
  const int socket = platform::CreateTcpSocket();
  ASSERT_GE(socket, 0);
  QosFlow flow;
  ASSERT_EQ(Result_Ok, QOSWrapper::SetDSCP(socket, flow, 46));
  EXPECT_EQ(0xB8, Tos(socket));
  EXPECT_NE(0u, flow.flowId);
  const uint32_t firstId = flow.flowId;
  // A second marking replaces the first and still restores the original.
  ASSERT_EQ(Result_Ok, QOSWrapper::SetDSCP(socket, flow, 10));
  EXPECT_EQ(0x28, Tos(socket));
  EXPECT_NE(firstId, flow.flowId);
  EXPECT_EQ(Result_Ok, QOSWrapper::CleanupQos(flow));
  EXPECT_EQ(0, Tos(socket));
  EXPECT_FALSE(flow.handle);
  EXPECT_EQ(0u, flow.flowId);
  EXPECT_EQ(Result_Ok, QOSWrapper::CleanupQos(flow));

  // Values that do not fit six bits keep their class marking.
  ASSERT_EQ(Result_Ok, QOSWrapper::SetDSCP(socket, flow, 100));
  EXPECT_EQ(40 << 2, Tos(socket));
  ASSERT_EQ(Result_Ok, QOSWrapper::SetDSCP(socket, flow, static_cast<uint32_t>(-1)));
  EXPECT_EQ(56 << 2, Tos(socket));
  EXPECT_EQ(Result_Ok, QOSWrapper::CleanupQos(flow));
  EXPECT_EQ(0, Tos(socket));
  platform::CloseSocket(socket);

  QosFlow closed;
  EXPECT_EQ(Result_ConnectionLost, QOSWrapper::SetDSCP(socket, closed, 46));
  EXPECT_FALSE(closed.handle);
  EXPECT_EQ(0u, closed.flowId);
}

// Records every value set and refuses exact values when told to.
class FakeBackend final : public IQosBackend {
 public:
  int GetTypeOfService(int, int* tos) override {
    *tos = 0x10;
    return 0;
  }
  int SetTypeOfService(int, int tos) override {
    set.push_back(tos);
    return refuseExact && set.size() % 2 == 0 && tos != 0x10 ? EPERM : 0;
  }
  std::vector<int> set;
  bool refuseExact = false;
};

TEST(QosWrapper, ClassMarkingsAndRefusedExactValues) {
  FakeBackend fake;
  QOSWrapper::SetBackend(&fake);
  const std::vector<std::pair<uint32_t, int>> classes = {{0, 0},   {7, 0},   {8, 8},   {10, 8},  {15, 8},
                                                         {16, 40}, {46, 40}, {47, 40}, {48, 56}, {56, 56},
                                                         {63, 56}};
  for (const auto& [dscp, marking] : classes) {
    fake.set.clear();
    QosFlow flow;
    ASSERT_EQ(Result_Ok, QOSWrapper::SetDSCP(3, flow, dscp));
    ASSERT_EQ(2u, fake.set.size()) << dscp;
    EXPECT_EQ(marking << 2, fake.set[0]) << dscp;
    EXPECT_EQ(static_cast<int>(dscp << 2), fake.set[1]);
    EXPECT_EQ(Result_Ok, QOSWrapper::CleanupQos(flow));
    EXPECT_EQ(0x10, fake.set.back());
  }

  test::ScopedCapture capture;
  fake.refuseExact = true;
  fake.set.clear();
  QosFlow flow;
  EXPECT_EQ(Result_Ok, QOSWrapper::SetDSCP(3, flow, 46));
  EXPECT_EQ(1u,
            test::Matching(capture, "Could not set precise QoS DSCP Value.  DSCP Prefix value of 5 set instead.").size());
  EXPECT_EQ(Result_Ok, QOSWrapper::CleanupQos(flow));
  QOSWrapper::SetBackend(nullptr);
}

}  // namespace
}  // namespace corvane
