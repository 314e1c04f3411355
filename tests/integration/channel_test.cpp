// Each session's trace and failure detail travel through its own channel:
// two phones flashed at once keep apart, and a session left with the
// default sinks prints exactly what a routed one would have captured.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "tests/integration/rig.h"
#include "tools/pkg/sample.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

struct Captured {
  std::mutex m;
  std::string trace;
};

TEST(SessionChannels, TwoSessionsAtOnceEachHearOnlyTheirOwnTraceAndFailure) {
  pkg::SampleOptions o;
  o.fsImages = 1;
  o.dataBlocks = 3;
  Rig a(2048);
  a.UsePackage(pkg::BuildSamplePackage(o));
  auto flash_b = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::PhoneConfig bad;
  bad.daVersion = {0x03, 0x01};  // phone B's agent is of the wrong version
  sim::Phone phone_b(bad, flash_b);
  std::string err;
  ASSERT_TRUE(phone_b.Open(&err) && phone_b.LinkPort(a.ports().path(), 41, 100, &err)) << err;
  a.StartPhone();
  phone_b.Start();

  Captured ca, cb;
  auto route = [](Captured& c) {
    return [&c](CBizDownload& s) {
      s.engine().channel().SetLogSink([&c](const char* text) {
        std::lock_guard<std::mutex> g(c.m);
        c.trace += text;
      });
    };
  };
  RecordingHost host_a, host_b;
  int ra = -1, rb = -1;
  ::testing::internal::CaptureStdout();
  std::thread ta([&] { ra = a.RunSession(host_a, 0, route(ca)); });
  std::thread tb([&] { rb = a.RunSession(host_b, 1, route(cb)); });
  ta.join();
  tb.join();
  const std::string stdout_text = ::testing::internal::GetCapturedStdout();
  phone_b.Stop();

  EXPECT_EQ(ra, 1);
  EXPECT_EQ(rb, 0);
  EXPECT_EQ(stdout_text, "") << "routed sessions print nothing";
  EXPECT_NE(ca.trace.find("Enable Watch Dog...\n"), std::string::npos);
  EXPECT_EQ(ca.trace.find("failed"), std::string::npos) << ca.trace;
  EXPECT_NE(cb.trace.find("Download failed: 4003 (AgentBadVersion)\n"), std::string::npos) << cb.trace;
  EXPECT_NE(cb.trace.find("Failure detail: agent connect, step \"Get DA Version\": the agent is version 3.1, not 3.2\n"),
            std::string::npos)
      << cb.trace;
  EXPECT_EQ(cb.trace.find("Write Boot loader"), std::string::npos);
  EXPECT_TRUE(a.Check().ok);

  // The same download with the default sinks: standard output carries
  // exactly the trace the routed session captured.
  Rig c(2048);
  c.UsePackage(pkg::BuildSamplePackage(o));
  c.StartPhone();
  RecordingHost host_c;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(c.RunSession(host_c), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), ca.trace);
}

}  // namespace
}  // namespace vantrel::testing
