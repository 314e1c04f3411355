#pragma once
// The COM ports that win/run.sh prepares in the Wine prefix for these tests:
//   VANTREL_NULL_MODEM=A,B   two ports joined like a null-modem cable
//                            (win/pty_bridge.c): what A sends, B receives
//   VANTREL_NOT_A_PORT=N     a port whose device is not a serial line
// Tests that need them are skipped when the variables are not set.
#include <cstdlib>
#include <cstdio>

namespace vantrel::testing {

struct WinePorts {
  unsigned a = 0, b = 0, not_a_port = 0;
  bool has_pair() const { return a && b; }
};

inline WinePorts GetWinePorts() {
  WinePorts p;
  if (const char* s = std::getenv("VANTREL_NULL_MODEM")) std::sscanf(s, "%u,%u", &p.a, &p.b);
  if (const char* s = std::getenv("VANTREL_NOT_A_PORT")) std::sscanf(s, "%u", &p.not_a_port);
  return p;
}

// A port number nothing is linked to.
inline constexpr unsigned kMissingPort = 43;

}  // namespace vantrel::testing
