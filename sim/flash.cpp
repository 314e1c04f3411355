// Sparse NAND model and its state file.
#include "sim/flash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vantrel::sim {

namespace {

constexpr char kMagic[8] = {'V', 'T', 'S', 'I', 'M', 'N', 'F', '1'};
constexpr uint32_t kMaxBlocks = 1u << 22;  // far more than any flash modelled

void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutLe64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Bounds-checked reader over the state file's bytes.
class Reader {
 public:
  explicit Reader(const Bytes& b) : b_(b) {}
  bool Le32(uint32_t* v) {
    if (b_.size() - pos_ < 4) return false;
    *v = 0;
    for (int i = 0; i < 4; ++i) *v |= uint32_t{b_[pos_ + i]} << (8 * i);
    pos_ += 4;
    return true;
  }
  bool Le64(uint64_t* v) {
    if (b_.size() - pos_ < 8) return false;
    *v = 0;
    for (int i = 0; i < 8; ++i) *v |= uint64_t{b_[pos_ + i]} << (8 * i);
    pos_ += 8;
    return true;
  }
  bool Take(size_t n, const uint8_t** p) {
    if (b_.size() - pos_ < n) return false;
    *p = b_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool AtEnd() const { return pos_ == b_.size(); }

 private:
  const Bytes& b_;
  size_t pos_ = 0;
};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool Geometry::Valid() const {
  bool pair = (pageSize == 512 && spareSize == 16) || (pageSize == 2048 && spareSize == 64);
  return pair && pagesPerBlock > 0 && pagesPerBlock <= 1024 && blockCount > 0 &&
         blockCount <= kMaxBlocks;
}

Geometry Geometry::SmallPage(uint64_t mainBytes) {
  Geometry g{512, 16, 32, 0};
  g.blockCount = static_cast<uint32_t>(mainBytes / g.blockMainBytes());
  return g;
}

Geometry Geometry::LargePage(uint64_t mainBytes) {
  Geometry g{2048, 64, 64, 0};
  g.blockCount = static_cast<uint32_t>(mainBytes / g.blockMainBytes());
  return g;
}

Flash::Flash(Geometry g) : geo_(g) {
  if (!geo_.Valid()) geo_ = Geometry::LargePage();
}

Bytes& Flash::BlockLocked(uint32_t block) {
  auto it = blocks_.find(block);
  if (it == blocks_.end()) it = blocks_.emplace(block, Bytes(geo_.blockRawBytes(), 0xFF)).first;
  return it->second;
}

void Flash::WriteBadMarksLocked(uint32_t block) {
  Bytes& b = BlockLocked(block);
  for (uint32_t page = 0; page < 2 && page < geo_.pagesPerBlock; ++page) {
    size_t spare = size_t{page} * geo_.pageRawBytes() + geo_.pageSize;
    if (geo_.pageSize == 512) {
      b[spare + 5] = 0x00;
    } else {
      b[spare + 0] = 0x00;
      b[spare + 1] = 0x00;
    }
  }
}

bool Flash::EraseBlock(uint32_t block) {
  std::lock_guard<std::mutex> lock(mu_);
  if (block >= geo_.blockCount) return false;
  ++ops_;
  if (factoryBad_.count(block)) return false;
  blocks_.erase(block);
  return true;
}

bool Flash::ProgramPage(uint32_t block, uint32_t page, const uint8_t* raw, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  if (block >= geo_.blockCount || page >= geo_.pagesPerBlock || factoryBad_.count(block)) {
    return false;
  }
  ++ops_;
  n = std::min<size_t>(n, geo_.pageRawBytes());
  bool allErased = std::all_of(raw, raw + n, [](uint8_t v) { return v == 0xFF; });
  if (allErased) return true;  // programming 0xFF changes nothing
  Bytes& b = BlockLocked(block);
  uint8_t* dst = b.data() + size_t{page} * geo_.pageRawBytes();
  for (size_t i = 0; i < n; ++i) dst[i] &= raw[i];
  return true;
}

Bytes Flash::ReadPage(uint32_t block, uint32_t page) const {
  std::lock_guard<std::mutex> lock(mu_);
  Bytes out(geo_.pageRawBytes(), 0xFF);
  auto it = blocks_.find(block);
  if (it != blocks_.end() && page < geo_.pagesPerBlock) {
    auto src = it->second.begin() + size_t{page} * geo_.pageRawBytes();
    std::copy(src, src + geo_.pageRawBytes(), out.begin());
  }
  return out;
}

Bytes Flash::ReadBlock(uint32_t block) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return Bytes(geo_.blockRawBytes(), 0xFF);
  return it->second;
}

Bytes Flash::ReadMain(uint64_t address, uint64_t len) const {
  std::lock_guard<std::mutex> lock(mu_);
  Bytes out(len, 0xFF);
  uint64_t done = 0;
  while (done < len) {
    uint64_t a = address + done;
    uint64_t block = a / geo_.blockMainBytes();
    uint32_t inBlock = static_cast<uint32_t>(a % geo_.blockMainBytes());
    uint32_t page = inBlock / geo_.pageSize;
    uint32_t inPage = inBlock % geo_.pageSize;
    uint64_t n = std::min<uint64_t>(geo_.pageSize - inPage, len - done);
    auto it = block < geo_.blockCount ? blocks_.find(static_cast<uint32_t>(block)) : blocks_.end();
    if (it != blocks_.end()) {
      const uint8_t* src = it->second.data() + size_t{page} * geo_.pageRawBytes() + inPage;
      std::memcpy(out.data() + done, src, n);
    }
    done += n;
  }
  return out;
}

bool Flash::IsErased(uint32_t block) const {
  std::lock_guard<std::mutex> lock(mu_);
  return blocks_.find(block) == blocks_.end();
}

std::vector<uint32_t> Flash::UsedBlocks() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint32_t> out;
  for (const auto& [n, bytes] : blocks_) out.push_back(n);
  return out;
}

void Flash::MarkFactoryBad(uint32_t block) {
  std::lock_guard<std::mutex> lock(mu_);
  if (block >= geo_.blockCount) return;
  factoryBad_.insert(block);
  WriteBadMarksLocked(block);
}

bool Flash::IsFactoryBad(uint32_t block) const {
  std::lock_guard<std::mutex> lock(mu_);
  return factoryBad_.count(block) != 0;
}

std::set<uint32_t> Flash::FactoryBadBlocks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return factoryBad_;
}

void Flash::SetFailing(uint32_t block, bool failing) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failing && block < geo_.blockCount) {
    failing_.insert(block);
  } else {
    failing_.erase(block);
  }
}

bool Flash::IsFailing(uint32_t block) const {
  std::lock_guard<std::mutex> lock(mu_);
  return failing_.count(block) != 0;
}

std::set<uint32_t> Flash::FailingBlocks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failing_;
}

uint64_t Flash::OpCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ops_;
}

void Flash::SetPlacement(const Placement& p) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& q : placements_) {
    if (q.name == p.name) {
      q = p;
      return;
    }
  }
  placements_.push_back(p);
}

std::vector<Placement> Flash::Placements() const {
  std::lock_guard<std::mutex> lock(mu_);
  return placements_;
}

bool Flash::FindPlacement(const std::string& name, Placement* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& p : placements_) {
    if (p.name == name) {
      if (out) *out = p;
      return true;
    }
  }
  return false;
}

bool Flash::Save(const std::string& path, std::string* error) const {
  Bytes out(kMagic, kMagic + sizeof kMagic);
  {
    std::lock_guard<std::mutex> lock(mu_);
    PutLe32(out, geo_.pageSize);
    PutLe32(out, geo_.spareSize);
    PutLe32(out, geo_.pagesPerBlock);
    PutLe32(out, geo_.blockCount);
    PutLe64(out, ops_);
    PutLe32(out, static_cast<uint32_t>(factoryBad_.size()));
    for (uint32_t b : factoryBad_) PutLe32(out, b);
    PutLe32(out, static_cast<uint32_t>(failing_.size()));
    for (uint32_t b : failing_) PutLe32(out, b);
    PutLe32(out, static_cast<uint32_t>(placements_.size()));
    for (const auto& p : placements_) {
      PutLe32(out, static_cast<uint32_t>(p.name.size()));
      out.insert(out.end(), p.name.begin(), p.name.end());
      PutLe64(out, p.address);
      PutLe64(out, p.length);
    }
    PutLe32(out, static_cast<uint32_t>(blocks_.size()));
    for (const auto& [n, bytes] : blocks_) {
      PutLe32(out, n);
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
  }
  // Write beside the target and rename, so a crash never leaves half a file.
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return Fail(error, "cannot create " + tmp);
    f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!f.flush()) return Fail(error, "cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return Fail(error, "cannot rename to " + path);
  return true;
}

bool Flash::Load(const std::string& path, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return Fail(error, "cannot open " + path);
  Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  Reader r(in);
  const uint8_t* magic = nullptr;
  if (!r.Take(sizeof kMagic, &magic) || std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
    return Fail(error, path + ": not a flash state file");
  }
  Geometry g;
  uint64_t ops = 0;
  if (!r.Le32(&g.pageSize) || !r.Le32(&g.spareSize) || !r.Le32(&g.pagesPerBlock) ||
      !r.Le32(&g.blockCount) || !r.Le64(&ops) || !g.Valid()) {
    return Fail(error, path + ": bad geometry");
  }
  auto readSet = [&](std::set<uint32_t>* s) {
    uint32_t n = 0;
    if (!r.Le32(&n) || n > g.blockCount) return false;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t b = 0;
      if (!r.Le32(&b) || b >= g.blockCount) return false;
      s->insert(b);
    }
    return true;
  };
  std::set<uint32_t> bad, failing;
  if (!readSet(&bad) || !readSet(&failing)) return Fail(error, path + ": bad block lists");
  std::vector<Placement> placements;
  uint32_t np = 0;
  if (!r.Le32(&np) || np > 64) return Fail(error, path + ": bad placement list");
  for (uint32_t i = 0; i < np; ++i) {
    uint32_t len = 0;
    const uint8_t* name = nullptr;
    Placement p;
    if (!r.Le32(&len) || len > 256 || !r.Take(len, &name) || !r.Le64(&p.address) ||
        !r.Le64(&p.length)) {
      return Fail(error, path + ": bad placement list");
    }
    p.name.assign(reinterpret_cast<const char*>(name), len);
    placements.push_back(p);
  }
  std::map<uint32_t, Bytes> blocks;
  uint32_t nb = 0;
  if (!r.Le32(&nb) || nb > g.blockCount) return Fail(error, path + ": bad block count");
  for (uint32_t i = 0; i < nb; ++i) {
    uint32_t b = 0;
    const uint8_t* data = nullptr;
    if (!r.Le32(&b) || b >= g.blockCount || !r.Take(g.blockRawBytes(), &data)) {
      return Fail(error, path + ": truncated block data");
    }
    blocks[b] = Bytes(data, data + g.blockRawBytes());
  }
  if (!r.AtEnd()) return Fail(error, path + ": trailing bytes");
  std::lock_guard<std::mutex> lock(mu_);
  geo_ = g;
  ops_ = ops;
  factoryBad_ = std::move(bad);
  failing_ = std::move(failing);
  placements_ = std::move(placements);
  blocks_ = std::move(blocks);
  return true;
}

std::shared_ptr<Flash> Flash::FromFile(const std::string& path, std::string* error) {
  auto flash = std::make_shared<Flash>();
  if (!flash->Load(path, error)) return nullptr;
  return flash;
}

}  // namespace vantrel::sim
