// The scripted link itself: a fake that let a wrong byte through would make
// every protocol test that uses it worthless.
#include "tests/support/fake_link.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "link/link.h"
#include "link/wait.h"

namespace vantrel::testing {
namespace {

TEST(FakeLinkTest, WritesMayCrossStepBoundaries) {
  FakeLink link;
  link.ExpectWrite({0x01, 0x02}).ExpectWrite({0x03, 0x04}).ExpectWrite({0x05, 0x06, 0x07});
  EXPECT_EQ(LinkWrite32(&link, 0x01020304u), kLinkOk);  // one write, two steps
  EXPECT_EQ(LinkWrite8(&link, 0x05), kLinkOk);          // two writes, one step
  EXPECT_EQ(LinkWrite16(&link, 0x0607), kLinkOk);
  EXPECT_TRUE(link.VerifyConsumed());
  EXPECT_EQ(link.write_sizes(), (std::vector<uint32_t>{4, 1, 2}));
}

TEST(FakeLinkTest, ScriptedConversation) {
  FakeLink link;
  link.ExpectWrite({0x01, 0x02}).ExpectWrite({0x03}).AddRead({0x10, 0x20, 0x30}).AddRead({0x40});
  const uint8_t out[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(LinkWrite(&link, out, 3), kLinkOk);
  uint8_t b = 0;
  EXPECT_EQ(LinkRead8(&link, &b), kLinkOk);
  EXPECT_EQ(b, 0x10);
  uint32_t v = 0;
  EXPECT_EQ(LinkRead32(&link, &v), kLinkError);  // only three bytes left: short read
  EXPECT_TRUE(link.ScriptDone());
  EXPECT_EQ(LinkRead8(&link, &b), kLinkNoData);
  EXPECT_EQ(link.unscripted_reads(), 1u);
  EXPECT_EQ(link.write_sizes(), std::vector<uint32_t>{3});
}

TEST(FakeLinkTest, MismatchAndUnexpectedWriteFailTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        FakeLink link;
        link.ExpectWrite({0xAA, 0xBB});
        LinkWrite16(&link, 0xAABC);
      },
      "differ from the script at byte 1");
  EXPECT_NONFATAL_FAILURE(
      {
        FakeLink link;
        link.AddRead({0x5A});
        LinkWrite8(&link, 0x01);
      },
      "unexpected write");
  EXPECT_NONFATAL_FAILURE(
      {
        FakeLink link;
        link.ExpectWrite({0x01}).AddRead({0x02});
        link.VerifyConsumed();
      },
      "not consumed");
}

TEST(FakeLinkTest, TimeoutFailureAndGone) {
  FakeLink link;
  link.AddRead({0x01}).AddReadTimeout().FailNextWrite().AddReadFailure();
  uint16_t v = 0;
  EXPECT_EQ(LinkRead16(&link, &v), kLinkError);  // one byte, then the time-out
  EXPECT_EQ(v, 0);
  EXPECT_EQ(LinkWrite8(&link, 0x33), kLinkError);
  EXPECT_TRUE(link.written().empty());
  EXPECT_FALSE(LinkGone(&link));
  uint8_t b;
  EXPECT_EQ(LinkRead8(&link, &b), kLinkError);
  EXPECT_TRUE(LinkGone(&link));
  EXPECT_EQ(LinkWrite8(&link, 0x33), kLinkError);
  EXPECT_EQ(LinkWaitByte(&link, &b, 1000000), kLinkError);
  EXPECT_EQ(link.reads(), 3u);  // the wait gave up after one read on the dead port
  EXPECT_TRUE(link.ScriptDone());
}

TEST(FakeLinkTest, ResponderPlaysThePeer) {
  FakeLink link;
  link.ExpectWrite({0x01});
  int seen = 0;
  link.SetResponder([&](FakeLink& l, uint8_t byte) {
    ++seen;
    l.AddRead8(uint8_t(~byte));
  });
  EXPECT_EQ(LinkWrite16(&link, 0x0102), kLinkOk);  // 0x01 by script, 0x02 by the responder
  uint8_t b = 0;
  EXPECT_EQ(LinkRead8(&link, &b), kLinkOk);
  EXPECT_EQ(b, 0xFD);
  EXPECT_EQ(seen, 1);
}

}  // namespace
}  // namespace vantrel::testing
