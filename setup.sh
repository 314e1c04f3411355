#!/usr/bin/env bash
# Vantrel set-up and entry points.
#   ./setup.sh test   install what the build needs, build, run the whole test suite
#   ./setup.sh demo   install, build, and flash the simulated phone end to end
#   ./setup.sh fuzz   build the fuzzers and run each for a short, fixed time
#   ./setup.sh bench  build and run the benchmarks: one table of ratios against limits
#                     (--quick: small sizes, seconds; part of test)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev
          libboost-dev libcli11-dev nlohmann-json3-dev libbenchmark-dev
          clang libclang-rt-14-dev clang-tools lld llvm libudev-dev strace)

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

case "${1:-}" in
  test)
    build
    ctest --preset default -j2
    bench --quick
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
    fuzz/run.sh
    ;;
  bench)
    shift
    bench "$@"
    ;;
  *)
    echo "usage: $0 test|demo|fuzz|bench" >&2
    exit 2
    ;;
esac
