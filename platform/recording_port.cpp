#include "platform/recording_port.h"

#include <algorithm>

namespace vantrel::platform {

RecordingPort::RecordingPort(std::unique_ptr<SerialPort> inner, std::FILE* out)
    : inner_(std::move(inner)), out_(out) {}

RecordingPort::~RecordingPort() {
  if (out_) std::fclose(out_);
}

void RecordingPort::Line(char direction, const uint8_t* p, uint32_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(3 + 2 * size_t(n));
  constexpr uint32_t kMinRun = 32;
  line += direction;
  if (n) line += ' ';
  for (uint32_t i = 0; i < n;) {
    uint32_t run = 1;
    while (i + run < n && p[i + run] == p[i]) ++run;
    if (run >= kMinRun) {
      if (line.back() != ' ') line += ' ';
      line += kHex[p[i] >> 4];
      line += kHex[p[i] & 15];
      line += '*';
      line += std::to_string(run);
      if (i + run < n) line += ' ';
      i += run;
      continue;
    }
    line += kHex[p[i] >> 4];
    line += kHex[p[i] & 15];
    ++i;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out_);
}

bool RecordingPort::Read(uint8_t* buf, uint32_t n, uint32_t* got) {
  uint32_t g = 0;
  const bool ok = inner_->Read(buf, n, &g);
  if (got) *got = g;
  if (g) Line('<', buf, g);
  if (!ok) Line('!', nullptr, 0);
  else if (g < n) Line('~', nullptr, 0);
  return ok;
}

bool RecordingPort::Write(const uint8_t* buf, uint32_t n, uint32_t* put) {
  uint32_t p = 0;
  const bool ok = inner_->Write(buf, n, &p);
  if (put) *put = p;
  if (p) Line('>', buf, p);
  if (!ok) Line('!', nullptr, 0);
  std::fflush(out_);  // a transcript of a session that crashes stays readable
  return ok;
}

std::unique_ptr<SerialPort> MaybeRecord(std::unique_ptr<SerialPort> port, const std::string& path,
                                        unsigned com_port) {
  if (!port || path.empty()) return port;
  std::string name = path;
  if (size_t at = name.find("%u"); at != std::string::npos)
    name.replace(at, 2, std::to_string(com_port));
  std::FILE* f = std::fopen(name.c_str(), "a");
  if (!f) return port;
  return std::make_unique<RecordingPort>(std::move(port), f);
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool ParseTranscript(const std::string& text, std::vector<TranscriptChunk>* out, std::string* error) {
  out->clear();
  size_t pos = 0;
  unsigned line_no = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line.empty() || line[0] == '#') continue;
    const char k = line[0];
    if (k != '>' && k != '<' && k != '~' && k != '!') {
      if (error) *error = "line " + std::to_string(line_no) + ": unknown chunk kind";
      return false;
    }
    TranscriptChunk c{static_cast<TranscriptChunk::Kind>(k), {}};
    auto fail = [&](const char* why) {
      if (error) *error = "line " + std::to_string(line_no) + ": " + why;
      return false;
    };
    // A run's count is bounded so that a damaged line cannot ask for gigabytes.
    constexpr unsigned long kMaxRun = 1ul << 24;
    std::string_view body = line.substr(1);
    while (!body.empty()) {
      if (body.front() == ' ') {
        body.remove_prefix(1);
        continue;
      }
      const size_t end = std::min(body.find(' '), body.size());
      const std::string_view tok = body.substr(0, end);
      body.remove_prefix(end);
      const size_t star = tok.find('*');
      const std::string_view hex = tok.substr(0, star);
      if (hex.size() % 2) return fail("odd number of hex digits");
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return fail("bad hex digit");
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
      }
      if (star == std::string_view::npos) {
        c.bytes.insert(c.bytes.end(), bytes.begin(), bytes.end());
        continue;
      }
      const std::string_view count = tok.substr(star + 1);
      unsigned long n = 0;
      if (bytes.size() != 1 || count.empty() || count.size() > 8) return fail("bad run");
      for (char d : count) {
        if (d < '0' || d > '9') return fail("bad run count");
        n = n * 10 + unsigned(d - '0');
      }
      if (n == 0 || n > kMaxRun) return fail("bad run count");
      c.bytes.insert(c.bytes.end(), n, bytes[0]);
    }
    if ((k == '>' || k == '<') == c.bytes.empty()) {
      if (error) *error = "line " + std::to_string(line_no) + ": chunk without its bytes";
      return false;
    }
    out->push_back(std::move(c));
  }
  return true;
}

}  // namespace vantrel::platform
