#include "platform/text.h"

#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace vantrel::platform {

std::string LowerMultibyte(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::mbstate_t in_state{};
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t wc = 0;
    std::size_t n = std::mbrtowc(&wc, text.data() + i, text.size() - i, &in_state);
    if (n == 0) n = 1;  // embedded NUL
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
      // Not a character of this code page: keep the byte.
      out.push_back(text[i]);
      in_state = std::mbstate_t{};
      ++i;
      continue;
    }
    char buf[MB_LEN_MAX];
    std::mbstate_t out_state{};
    std::size_t m = std::wcrtomb(buf, static_cast<wchar_t>(std::towlower(wc)), &out_state);
    if (m == static_cast<std::size_t>(-1))
      out.append(text, i, n);
    else
      out.append(buf, m);
    i += n;
  }
  return out;
}

void UseUserLocale() { std::setlocale(LC_ALL, ""); }

}  // namespace vantrel::platform
