// Loading, checking and starting the agent through the boot ROM, and the
// order of the whole stage.
#include <gtest/gtest.h>

#include <numeric>

#include "brom/brom.h"
#include "images/carried_images.h"
#include "platform/clock.h"
#include "tests/brom/boot_peer.h"
#include "tests/support/fake_link.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

class BootLoadTest : public ::testing::Test {
 protected:
  platform::ManualClock clock_;
  platform::ScopedClock scoped_{&clock_};
};

TEST_F(BootLoadTest, DataGoesOutPairSwappedWithAnXorChecksum) {
  const uint8_t data[] = {0x11, 0x22, 0x33, 0x44};
  ImageDesc img{data, 4, 0x50044000};
  FakeLink link;
  link.ExpectEcho({0xAD}).ExpectEcho(Be32(0x50044000)).ExpectEcho(Be32(2));
  link.ExpectWrite({0x22, 0x11, 0x44, 0x33});
  link.ExpectEcho({0xA4}).ExpectEcho(Be32(0x50044000)).ExpectEcho(Be32(2));
  link.AddRead16(0x6622);
  EXPECT_EQ(BootSendDa(&link, &img), 0);
  EXPECT_TRUE(link.VerifyConsumed());
  EXPECT_EQ(clock_.slept(), 200u);  // the pause before the checksum, on the test clock
}

TEST_F(BootLoadTest, ChecksumMismatchOrSilenceFailsTheLoad) {
  const uint8_t data[] = {0x11, 0x22, 0x33, 0x44};
  ImageDesc img{data, 4, 0x50044000};
  for (bool silent : {false, true}) {
    FakeLink link;
    link.ExpectEcho({0xAD}).ExpectEcho(Be32(0x50044000)).ExpectEcho(Be32(2));
    link.ExpectWrite({0x22, 0x11, 0x44, 0x33});
    link.ExpectEcho({0xA4}).ExpectEcho(Be32(0x50044000)).ExpectEcho(Be32(2));
    if (silent) link.AddReadTimeout(); else link.AddRead16(0x6623);
    EXPECT_EQ(BootSendDa(&link, &img), kBootSendDaFailed) << "silent=" << silent;
    EXPECT_TRUE(link.VerifyConsumed());
  }
}

TEST_F(BootLoadTest, OddLengthGetsAZeroHighByteAndNoReadPastTheEnd) {
  const std::vector<uint8_t> data = {0x01, 0x02, 0x03};  // exactly three bytes
  ImageDesc img{data.data(), 3, 0x1000};
  FakeLink link;
  link.ExpectEcho({0xAD}).ExpectEcho(Be32(0x1000)).ExpectEcho(Be32(2));
  link.ExpectWrite({0x02, 0x01, 0x00, 0x03});
  link.ExpectEcho({0xA4}).ExpectEcho(Be32(0x1000)).ExpectEcho(Be32(2));
  link.AddRead16(0x0201 ^ 0x0003);
  EXPECT_EQ(BootSendDa(&link, &img), 0);
  EXPECT_TRUE(link.VerifyConsumed());
}

TEST_F(BootLoadTest, MissingDescriptorSendsNothing) {
  FakeLink link;
  ImageDesc no_data{nullptr, 10, 0};
  EXPECT_EQ(BootSendDa(&link, nullptr), kNoDescriptor);
  EXPECT_EQ(BootSendDa(&link, &no_data), kNoDescriptor);
  EXPECT_TRUE(link.written().empty());
}

TEST_F(BootLoadTest, CarriedAgentLoadsWithItsWordCountsAndChunks) {
  FakeLink link;
  BootPeer peer(link);
  peer.OnHandshakeDone();
  ImageDesc da1 = Da1Image(), da2 = Da2Image();
  ASSERT_EQ(BootSendDa(&link, &da1), 0);
  // 82808 bytes: 80 writes of 1024 and one of 888, after the three echoed items.
  std::vector<uint32_t> data_writes(link.write_sizes().begin() + 3, link.write_sizes().end() - 3);
  ASSERT_EQ(data_writes.size(), 81u);
  EXPECT_EQ(std::count(data_writes.begin(), data_writes.end() - 1, 1024u), 80);
  EXPECT_EQ(data_writes.back(), 888u);

  ASSERT_EQ(BootSendDa(&link, &da2), 0);
  ASSERT_EQ(peer.loads.size(), 2u);
  EXPECT_EQ(peer.loads[0].words, 41404u);
  EXPECT_EQ(peer.loads[1].address, 0x50044000u);
  EXPECT_EQ(peer.loads[1].words, 3746u);
  EXPECT_EQ(peer.checksum_requests, (std::vector<uint32_t>{41404, 3746}));
  // What arrived is the image with each pair swapped back.
  std::vector<uint8_t> unswapped(peer.loads[1].wire.size());
  for (size_t i = 0; i < unswapped.size(); i += 2) {
    unswapped[i] = peer.loads[1].wire[i + 1];
    unswapped[i + 1] = peer.loads[1].wire[i];
  }
  EXPECT_TRUE(std::equal(unswapped.begin(), unswapped.end(), da2.data));
}

class BootConnectTest : public BootLoadTest {
 protected:
  ImageDesc da1_ = Da1Image(), da2_ = Da2Image();
};

TEST_F(BootConnectTest, WholeStageInOrder) {
  FakeLink link;
  BootPeer peer(link);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(BootConnect(&link, &da1_, &da2_), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Connecting to BootROM...\nDisabling watchdog..\nLatching powerkey...\n"
            "Sending DA1...\nSending DA2...\nTransferring control to DA...\n");
  EXPECT_TRUE(peer.jumped);
  EXPECT_EQ(peer.jumped_to, 0x40001400u);
  ASSERT_FALSE(peer.writes.empty());
  EXPECT_EQ(peer.writes.front(), std::make_pair(0x801E0000u, uint16_t(0x2200)));
  EXPECT_EQ(peer.loads.size(), 2u);
  platform::Timeouts t = link.GetTimeouts();
  EXPECT_EQ(t.readConstant, 500u);
  EXPECT_EQ(t.writeConstant, 5000u);
  EXPECT_EQ(t.readMultiplier, 1u);
}

TEST_F(BootConnectTest, FailedWatchdogWriteIsForgivenWhenFourBytesFollow) {
  for (bool bytes_follow : {true, false}) {
    FakeLink link;
    BootPeer peer(link);
    peer.spoil_watchdog_echo = true;
    // After the spoiled echo the phone sends a word of its own (or nothing).
    BootPeer* p = &peer;
    link.SetResponder([p, bytes_follow, n = 0](FakeLink& l, uint8_t b) mutable {
      p->Feed(l, b);
      // The watchdog command is bytes 5 to 15 after the four handshake bytes.
      if (++n == 4 + 11 && bytes_follow) l.AddRead32(0);
    });
    ::testing::internal::CaptureStdout();
    int rc = BootConnect(&link, &da1_, &da2_);
    std::string out = ::testing::internal::GetCapturedStdout();
    if (bytes_follow) {
      EXPECT_EQ(rc, 0);
      EXPECT_NE(out.find("Latching powerkey...\n"), std::string::npos);
    } else {
      EXPECT_EQ(rc, kBootWrite16Failed);
      EXPECT_EQ(out.find("Latching powerkey"), std::string::npos);
    }
  }
}

TEST_F(BootConnectTest, TimeoutRefusalAndHangUpStopTheStage) {
  {
    FakeLink link;
    BootPeer peer(link);
    link.FailSetTimeouts();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(BootConnect(&link, &da1_, &da2_), kSetTimeoutsFailed);
    ::testing::internal::GetCapturedStdout();
  }
  {
    FakeLink link;
    BootPeer peer(link);
    peer.checksum_error = 1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(BootConnect(&link, &da1_, &da2_), kBootSendDaFailed);
    EXPECT_EQ(::testing::internal::GetCapturedStdout().find("Sending DA2"), std::string::npos);
  }
  {
    // The phone hangs up in the middle of the power-key sequence.
    FakeLink link;
    BootPeer owned(link);
    BootPeer* peer = &owned;
    link.SetResponder([peer, n = 0](FakeLink& l, uint8_t b) mutable {
      if (++n == 60) {
        l.MarkGone();
        return;
      }
      peer->Feed(l, b);
    });
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(BootConnect(&link, &da1_, &da2_), kBootPowerKeyFailed);
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(peer->jumped);
  }
}

}  // namespace
}  // namespace vantrel::testing
