// Reports of the protocol layer reach only the session that owns the port,
// with the kinds, percents and texts of the routing table.
#include <gtest/gtest.h>

#include <memory>

#include "boundary/session.h"
#include "engine/engine.h"
#include "link/report.h"
#include "tests/support/recording_host.h"

namespace vantrel::testing {
namespace {

using testing::HostReport;
using testing::RecordingHost;

struct Session {
  explicit Session(int32_t index) : s(new CBizDownload(index)) { s->SetHostCallback(&host); }
  ~Session() {
    if (s) s->DeletingDestructor(1);
  }
  RecordingHost host;
  CBizDownload* s;
};

// Registers the session's engine the way Connect does, without a port.
void Register(Session& x) {
  x.s->engine().set_owner(x.s);
  RegisterEngine(x.s->com_port(), &x.s->engine());
}

TEST(Routing, ReportsReachOnlyTheirOwnSession) {
  Session a(0), b(1);
  Register(a);
  Register(b);
  ProgressCallback(40, kReportStep, 10, "Get DA Version");
  ProgressCallback(41, kReportTransfer, 57, "dropped text");
  ProgressCallback(41, kReportError, 33, "dropped too");
  ProgressCallback(40, kReportComplete, 5, "ignored");
  ProgressCallback(40, kReportStage, 100, "DA connect complete");
  EXPECT_EQ(a.host.reports(), (std::vector<HostReport>{{2, 10, "Get DA Version"},
                                                       {2, 100, "Download Complete"},
                                                       {2, 100, "DA connect complete"}}));
  EXPECT_EQ(b.host.reports(), (std::vector<HostReport>{{1, 57, ""}, {3, 0, "Error"}}));
}

TEST(Routing, UnknownTypesAndPortsReachNobody) {
  Session a(0);
  Register(a);
  ProgressCallback(40, 2, 50, "type 2");
  ProgressCallback(40, 9, 50, "type 9");
  ProgressCallback(42, kReportStep, 50, "nobody on 42");
  EXPECT_TRUE(a.host.reports().empty());
  ProgressCallback(40, kReportStep, 20, nullptr);
  EXPECT_EQ(a.host.reports(), (std::vector<HostReport>{{2, 20, ""}})) << "a null text is empty";
}

TEST(Routing, PortNumbersAreLookedUpByTheirLow8Bits) {
  Session a(0);
  Register(a);
  ProgressCallback(296, kReportStep, 30, "via 296");
  EXPECT_EQ(a.host.reports(), (std::vector<HostReport>{{2, 30, "via 296"}}));
}

TEST(Routing, ASessionOnAPortAbove255HearsItsReports) {
  Session a(256);  // COM296
  Register(a);
  ProgressCallback(296, kReportStep, 30, "on 296");
  EXPECT_EQ(a.host.reports(), (std::vector<HostReport>{{2, 30, "on 296"}}));
}

TEST(Routing, ADestroyedEngineLeavesTheMap) {
  auto a = std::make_unique<Session>(0);
  Register(*a);
  a.reset();  // destroys the session and its engine
  // Would touch freed memory if the entry stayed (AddressSanitizer builds catch it).
  ProgressCallback(40, kReportStep, 30, "after destruction");
  Session b(0);
  Register(b);
  ProgressCallback(40, kReportStep, 40, "new owner");
  EXPECT_EQ(b.host.reports(), (std::vector<HostReport>{{2, 40, "new owner"}}));
}

TEST(Routing, ALaterRegistrationReplacesTheEarlierOne) {
  Session a(0), b(0);
  Register(a);
  Register(b);
  ProgressCallback(40, kReportStep, 1, "x");
  EXPECT_TRUE(a.host.reports().empty());
  EXPECT_EQ(b.host.reports().size(), 1u);
}

TEST(Routing, AReportRaisedDuringDeliveryOnTheSameThreadDoesNotBlock) {
  struct ReentrantHost : RecordingHost {
    int32_t VANTREL_SLOT OnProgress(int32_t kind, int32_t percent, const char* text) override {
      int32_t r = RecordingHost::OnProgress(kind, percent, text);
      if (percent == 1) ProgressCallback(40, kReportStep, 2, "nested");
      return r;
    }
  } host;
  CBizDownload* s = new CBizDownload(0);
  s->SetHostCallback(&host);
  s->engine().set_owner(s);
  RegisterEngine(40, &s->engine());
  ProgressCallback(40, kReportStep, 1, "outer");
  EXPECT_EQ(host.reports().size(), 2u);
  s->DeletingDestructor(1);
}

}  // namespace
}  // namespace vantrel::testing
