#pragma once
// Shared pieces of the agent tests: a report recorder, a fixture on the test
// clock, and script fragments for the commands that the agent stage strings together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/report.h"
#include "platform/clock.h"
#include "tests/support/fake_link.h"

namespace vantrel::testing {

struct ReportRec {
  uint32_t port;
  uint32_t type;
  uint32_t percent;
  std::string text;
  bool operator==(const ReportRec&) const = default;
};

inline void PrintTo(const ReportRec& r, std::ostream* os) {
  *os << "{" << r.port << ", " << r.type << ", " << r.percent << ", \"" << r.text << "\"}";
}

// Installs a report function that records every call; one at a time.
class ReportRecorder {
 public:
  ReportRecorder() {
    Log().clear();
    SetReportFunction([](uint32_t port, uint32_t type, uint32_t percent, const char* text) {
      Log().push_back({port, type, percent, text});
    });
  }
  ~ReportRecorder() { SetReportFunction(nullptr); }
  static std::vector<ReportRec>& Log() {
    static std::vector<ReportRec> log;
    return log;
  }
  // The percentages of the reports of one type, in order.
  static std::vector<uint32_t> Percents(uint32_t type) {
    std::vector<uint32_t> out;
    for (const auto& r : Log())
      if (r.type == type) out.push_back(r.percent);
    return out;
  }
  static std::vector<std::string> Texts(uint32_t type) {
    std::vector<std::string> out;
    for (const auto& r : Log())
      if (r.type == type) out.push_back(r.text);
    return out;
  }
};

class AgentTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kPort = 41;

  AgentTest() {
    // The time-outs the boot ROM stage leaves on the port.
    link_.SetTimeouts({0, 1, 500, 1, 5000});
  }

  platform::ManualClock clock_;
  platform::ScopedClock scoped_clock_{&clock_};
  ScopedLimits limits_;
  ReportRecorder reports_;
  FakeLink link_;
};

inline Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

inline uint16_t ByteSum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return uint16_t(s);
}

// The agent's side of a connect with a small table A whose records are all
// taken, no table B, and the chip type given.
inline void ScriptConnect(FakeLink& l, const Bytes& table_a, uint8_t chip = 0x20) {
  l.AddRead({0xC0, 0x03, 0x02, chip});
  l.ExpectWrite({0xFF, 0xFE, 0x00, 0x08, 0x00});
  l.ExpectWrite32(chip == 0x15 ? 0x20022113 : 0x7007FFFF);
  l.ExpectWrite8(0x02).ExpectWrite32(0);
  l.ExpectWrite32(uint32_t(table_a.size() / 36)).AddRead8(0x5A);
  for (size_t at = 0; at + 36 <= table_a.size(); at += 36) {
    l.ExpectWrite(Bytes(table_a.begin() + at, table_a.begin() + at + 36)).AddRead8(0x00);
  }
  l.AddRead8(0x00);          // no table B
  l.AddRead(Bytes(81, 0));   // the target report
  l.AddRead8(0x5A);          // flash scanned
  l.AddRead(Bytes(9, 0));
}

inline void ScriptSharedData(FakeLink& l, uint32_t type, const Bytes& payload) {
  l.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A);
  l.ExpectWrite32(type).AddRead8(0x5A).AddRead32(uint32_t(payload.size())).AddRead(payload);
}

}  // namespace vantrel::testing
