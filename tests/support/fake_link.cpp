#include "tests/support/fake_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace vantrel::testing {

Bytes Be16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string HexString(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

namespace {
// A window of at most 16 bytes either side of `at`, with the offset it starts at.
std::string Window(const uint8_t* p, size_t n, size_t at) {
  size_t from = at > 16 ? at - 16 : 0;
  size_t to = std::min(n, at + 16);
  return "@" + std::to_string(from) + ": " + HexString(p + from, to - from);
}
constexpr uint32_t kMaxReportedMismatches = 3;  // later ones would only repeat the first
}  // namespace

FakeLink::FakeLink() : Link(this) {
  // What the port has right after it is opened: 20 ms read, 5000 ms write.
  timeouts_.readMultiplier = 1;
  timeouts_.readConstant = 20;
  timeouts_.writeMultiplier = 1;
  timeouts_.writeConstant = 5000;
}

FakeLink::~FakeLink() = default;

FakeLink& FakeLink::ExpectWrite(const Bytes& bytes) {
  if (!bytes.empty()) steps_.push_back({Kind::kWrite, bytes});
  return *this;
}

FakeLink& FakeLink::ExpectWrite(const Bytes& bytes, std::string label) {
  if (!bytes.empty()) steps_.push_back({Kind::kWrite, bytes, 0, std::move(label)});
  return *this;
}

FakeLink& FakeLink::AddRead(const Bytes& bytes) {
  if (!bytes.empty()) steps_.push_back({Kind::kRead, bytes});
  return *this;
}

FakeLink& FakeLink::AddReadTimeout() {
  steps_.push_back({Kind::kTimeout, {}});
  return *this;
}

FakeLink& FakeLink::AddReadFailure() {
  steps_.push_back({Kind::kGoneHere, {}});
  return *this;
}

FakeLink& FakeLink::FailNextWrite() {
  steps_.push_back({Kind::kFailWrite, {}});
  return *this;
}

std::string FakeLink::DescribeRemaining() const {
  std::string s;
  for (const Step& st : steps_) {
    switch (st.kind) {
      case Kind::kWrite:
        s += "  ExpectWrite " + std::to_string(st.bytes.size() - st.pos) + " bytes, next: " +
             HexString(st.bytes.data() + st.pos, std::min<size_t>(16, st.bytes.size() - st.pos)) + "\n";
        break;
      case Kind::kRead:
        s += "  AddRead " + std::to_string(st.bytes.size() - st.pos) + " unread bytes: " +
             HexString(st.bytes.data() + st.pos, std::min<size_t>(16, st.bytes.size() - st.pos)) + "\n";
        break;
      case Kind::kTimeout: s += "  AddReadTimeout\n"; break;
      case Kind::kGoneHere: s += "  AddReadFailure\n"; break;
      case Kind::kFailWrite: s += "  FailNextWrite\n"; break;
    }
  }
  return s;
}

bool FakeLink::VerifyConsumed() const {
  if (steps_.empty()) return true;
  ADD_FAILURE() << "fake link: " << steps_.size() << " script step(s) not consumed:\n"
                << DescribeRemaining() << "bytes written so far: " << written_.size();
  return false;
}

void FakeLink::MatchWrite(const uint8_t* buf, uint32_t n) {
  uint32_t done = 0;
  while (done < n && !steps_.empty() && steps_.front().kind == Kind::kWrite) {
    Step& st = steps_.front();
    size_t take = std::min<size_t>(st.bytes.size() - st.pos, n - done);
    const uint8_t* want = st.bytes.data() + st.pos;
    const uint8_t* got = buf + done;
    auto diff = std::mismatch(want, want + take, got);
    if (diff.first != want + take && ++mismatches_ <= kMaxReportedMismatches) {
      size_t at = size_t(diff.first - want);
      ADD_FAILURE() << "fake link: written bytes differ from the script at byte " << (st.pos + at)
                    << " of an expected write of " << st.bytes.size() << " bytes (overall written offset "
                    << (written_.size() - n + done + at) << ")\n"
                    << "  expected " << Window(st.bytes.data(), st.bytes.size(), st.pos + at) << "\n"
                    << "  actual   " << Window(buf, n, done + at)
                    << " (this write: " << n << " bytes from its offset 0)"
                    << (st.label.empty() ? "" : "\n  script step: " + st.label)
                    << (where_ ? "\n  in progress: " + where_() : "");
    }
    st.pos += take;
    done += uint32_t(take);
    if (st.pos == st.bytes.size()) steps_.pop_front();
  }
  if (done == n) return;
  if (steps_.empty() && responder_) {
    for (uint32_t i = done; i < n; ++i) responder_(*this, buf[i]);
    return;
  }
  if (steps_.empty() && allow_unscripted_writes_) return;
  if (++mismatches_ <= kMaxReportedMismatches) {
    std::string next = steps_.empty() ? "the end of the script" : "a read step:\n" + DescribeRemaining();
    ADD_FAILURE() << "fake link: unexpected write of " << (n - done) << " byte(s) "
                  << Window(buf + done, n - done, 0) << " (overall offset " << (written_.size() - n + done)
                  << ") where the script has " << next
                  << (where_ ? "\n  in progress: " + where_() : "");
  }
}

bool FakeLink::Write(const uint8_t* buf, uint32_t n, uint32_t* put) {
  *put = 0;
  if (gone_) return false;
  if (!steps_.empty()) {
    Kind k = steps_.front().kind;
    if (k == Kind::kFailWrite) {
      steps_.pop_front();
      return false;
    }
    if (k == Kind::kGoneHere) {
      steps_.pop_front();
      gone_ = true;
      return false;
    }
  }
  written_.insert(written_.end(), buf, buf + n);
  write_sizes_.push_back(n);
  *put = n;
  MatchWrite(buf, n);
  return true;
}

bool FakeLink::Read(uint8_t* buf, uint32_t n, uint32_t* got) {
  ++reads_;
  *got = 0;
  if (gone_) return false;
  if (!steps_.empty() && steps_.front().kind == Kind::kGoneHere) {
    steps_.pop_front();
    gone_ = true;
    return false;
  }
  uint32_t have = 0;
  while (have < n && !steps_.empty() && steps_.front().kind == Kind::kRead) {
    Step& st = steps_.front();
    size_t take = std::min<size_t>(st.bytes.size() - st.pos, n - have);
    std::copy_n(st.bytes.data() + st.pos, take, buf + have);
    st.pos += take;
    have += uint32_t(take);
    if (st.pos == st.bytes.size()) steps_.pop_front();
  }
  *got = have;
  if (have < n) {
    // Short of what was asked: the read ran into its time-out.
    if (!steps_.empty() && steps_.front().kind == Kind::kTimeout) {
      steps_.pop_front();
    } else if (have == 0 && steps_.empty()) {
      ++unscripted_reads_;
    }
  }
  return true;
}

bool FakeLink::SetTimeouts(const platform::Timeouts& t) {
  if (gone_ || fail_set_timeouts_) return false;
  timeouts_ = t;
  return true;
}

uint32_t FakeLink::InputQueued() const {
  uint32_t n = 0;
  for (const Step& st : steps_) {
    if (st.kind != Kind::kRead) break;
    n += uint32_t(st.bytes.size() - st.pos);
  }
  return n;
}

}  // namespace vantrel::testing
