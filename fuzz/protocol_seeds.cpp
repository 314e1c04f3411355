// Turns hex transcripts of whole downloads into fuzz_protocol inputs: the
// phone's bytes before the agent starts become a boot ROM stage input, the
// rest an agent stage input.
//
// A transcript line is a direction and hex bytes, one chunk per line:
// "P> 5f f5 af" or "H> a0" (the simulator's), or with the direction written
// as "<" / ">", "rx" / "tx", "in" / "out", "phone" / "host" (optionally with a
// trailing colon). Lines starting with '#' and words that are not hex bytes
// are skipped. The agent starts after the boot ROM's echo of the jump
// address: the phone's four bytes after the host's last 0xA8 command.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum class Dir { kNone, kHost, kPhone };

Dir DirOf(std::string t) {
  if (!t.empty() && t.back() == ':') t.pop_back();
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "p>" || t == "<" || t == "<-" || t == "rx" || t == "in" || t == "phone") return Dir::kPhone;
  if (t == "h>" || t == ">" || t == "->" || t == "tx" || t == "out" || t == "host") return Dir::kHost;
  return Dir::kNone;
}

bool HexBytes(const std::string& t, std::vector<uint8_t>* out) {
  // A run "ff*4096": one byte repeated (the recording port writes erased
  // flash that way).
  if (const size_t star = t.find('*'); star == 2 && t.size() > 3 && t.size() <= 11) {
    std::vector<uint8_t> one;
    if (!HexBytes(t.substr(0, 2), &one)) return false;
    for (size_t i = 3; i < t.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
    out->insert(out->end(), std::stoul(t.substr(3)), one[0]);
    return true;
  }
  if (t.empty() || t.size() % 2) return false;
  for (char c : t)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  for (size_t i = 0; i < t.size(); i += 2) out->push_back(static_cast<uint8_t>(std::stoul(t.substr(i, 2), nullptr, 16)));
  return true;
}

void WriteSeed(const fs::path& path, uint8_t stage, const std::vector<uint8_t>& phone, size_t from, size_t to) {
  std::vector<uint8_t> s{stage};
  for (size_t i = from; i < to; ++i) {
    s.push_back(phone[i]);
    if (phone[i] == 0xEE) s.push_back(0xEE);  // the escape byte itself
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(s.data()), std::streamsize(s.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fuzz_protocol_seeds OUTDIR TRANSCRIPT...\n");
    return 2;
  }
  fs::create_directories(argv[1]);
  int written = 0;
  for (int a = 2; a < argc; ++a) {
    std::ifstream in(argv[a]);
    if (!in) {
      std::fprintf(stderr, "fuzz_protocol_seeds: cannot read %s\n", argv[a]);
      return 1;
    }
    std::vector<uint8_t> phone;
    size_t split = 0;
    bool afterJump = false;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream words(line);
      std::string w;
      if (!(words >> w)) continue;
      Dir d = DirOf(w);
      if (d == Dir::kNone) continue;
      std::vector<uint8_t> bytes;
      while (words >> w)
        if (!HexBytes(w, &bytes)) break;  // "... 4096 bytes in all" and the like
      if (d == Dir::kPhone) {
        phone.insert(phone.end(), bytes.begin(), bytes.end());
      } else if (bytes.size() == 1 && bytes[0] == 0xA8) {
        afterJump = true;
      } else if (afterJump && bytes.size() == 4) {
        split = phone.size() + 4;  // the address echo follows
        afterJump = false;
      } else {
        afterJump = false;
      }
    }
    if (split > phone.size()) split = phone.size();
    const std::string stem = fs::path(argv[a]).stem().string();
    WriteSeed(fs::path(argv[1]) / ("boot-" + stem), 0, phone, 0, split ? split : phone.size());
    ++written;
    if (split && split < phone.size()) {
      // The same agent bytes for the download, identify and both reads:
      // the connect they share replays, the rest is the fuzzer's to change.
      for (uint8_t plan = 0; plan < 4; ++plan) {
        WriteSeed(fs::path(argv[1]) / ("agent" + std::to_string(plan) + "-" + stem), uint8_t(1 | plan << 1), phone,
                  split, phone.size());
        ++written;
      }
    }
  }
  std::printf("fuzz_protocol_seeds: %d seeds\n", written);
  return 0;
}
