#pragma once
// A host callback that records every report, for tests.
#include <mutex>
#include <string>
#include <vector>

#include "vantrel/interface.h"

namespace vantrel::testing {

struct HostReport {
  int32_t kind;
  int32_t percent;
  std::string text;
  bool operator==(const HostReport&) const = default;
};

class RecordingHost : public HostCallback {
 public:
  void VANTREL_SLOT Slot0(unsigned) override { slot0_called = true; }
  int32_t VANTREL_SLOT OnProgress(int32_t kind, int32_t percent, const char* text) override {
    std::lock_guard<std::mutex> g(m_);
    reports_.push_back({kind, percent, text ? text : ""});
    if (throw_on_progress) throw std::runtime_error("host failure");
    return 7;
  }
  int32_t VANTREL_SLOT OnMessage(int32_t kind, int32_t value, const char* text) override {
    std::lock_guard<std::mutex> g(m_);
    messages_.push_back({kind, value, text ? text : ""});
    return 9;
  }
  std::vector<HostReport> reports() const {
    std::lock_guard<std::mutex> g(m_);
    return reports_;
  }
  std::vector<HostReport> messages() const {
    std::lock_guard<std::mutex> g(m_);
    return messages_;
  }
  bool throw_on_progress = false;
  bool slot0_called = false;

 private:
  mutable std::mutex m_;
  std::vector<HostReport> reports_;
  std::vector<HostReport> messages_;
};

}  // namespace vantrel::testing
