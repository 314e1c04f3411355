#include "tools/pkg/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vantrel::pkg {
namespace {

struct Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
  bool Begin() { return ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1; }
  bool Add(const void* p, size_t n) { return EVP_DigestUpdate(ctx, p, n) == 1; }
  std::string End() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < len; ++i) {
      hex += kHex[md[i] >> 4];
      hex += kHex[md[i] & 15];
    }
    return hex;
  }
};

}  // namespace

std::string Sha256(const uint8_t* data, size_t size) {
  Context c;
  return c.Begin() && c.Add(data, size) ? c.End() : std::string();
}

bool FileSha256(const std::string& path, std::string* hex, std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return false;
  }
  Context c;
  if (!c.Begin()) {
    *error = "no SHA-256 in this system's crypto library";
    return false;
  }
  std::vector<unsigned char> buf(1 << 16);
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0;) c.Add(buf.data(), n);
  if (std::ferror(f.get())) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return false;
  }
  *hex = c.End();
  return !hex->empty();
}

}  // namespace vantrel::pkg
