#!/usr/bin/env bash
# Vantrel set-up and entry points.
#   ./setup.sh test   install what the build needs, build, run the whole test suite
#   ./setup.sh demo   install, build, and flash the simulated phone end to end
#   ./setup.sh fuzz [SECONDS]  build the fuzzers and run each for SECONDS (default 30)
#   ./setup.sh bench  build and run the benchmarks: one table of ratios against limits
#                     (--quick: small sizes, seconds; part of test)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev
          libboost-dev libcli11-dev nlohmann-json3-dev libssl-dev libbenchmark-dev
          clang libclang-rt-14-dev clang-tools clang-tidy lld llvm libudev-dev strace)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

build() {
  install_packages "${PACKAGES[@]}"
  cmake --preset default
  cmake --build --preset default
}

bench() {
  install_packages "${PACKAGES[@]}"
  cmake --preset default -DVANTREL_BENCH=ON
  cmake --build --preset default --target vantrel_bench
  build/bench/vantrel_bench "$@"
}

# The suite again under AddressSanitizer and UBSan (a lean build: the test
# programs and what they load), then the eight-phone test under
# ThreadSanitizer. TSan's shadow memory needs a fixed layout that a kernel
# with many bits of mmap randomisation breaks ("unexpected memory mapping"):
# the TSan run goes without address randomisation (setarch -R).
sanitizer_runs() {
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan -j2
  cmake --preset tsan
  cmake --build --preset tsan
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch "$(uname -m)" -R ctest --preset tsan
  else
    ctest --preset tsan
  fi
}

case "${1:-}" in
  test)
    build
    ctest --preset default -j2
    tools/check/function_size.sh build
    bench --quick
    sanitizer_runs
    if [ -x fuzz/run.sh ]; then
      FUZZ_SECONDS="${FUZZ_SECONDS:-20}" fuzz/run.sh
    fi
    if [ -x win/run.sh ]; then
      win/run.sh
    fi
    ;;
  demo)
    build
    ./build/vantrel flash --simulate
    ;;
  fuzz)
    install_packages "${PACKAGES[@]}"
    fuzz/run.sh "${2:-${FUZZ_SECONDS:-30}}"
    ;;
  bench)
    shift
    bench "$@"
    ;;
  *)
    echo "usage: $0 test|demo|fuzz [SECONDS]|bench" >&2
    exit 2
    ;;
esac
