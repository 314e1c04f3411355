#!/usr/bin/env bash
# The shipping form, built and proven on Linux:
#   1. installs mingw-w64 (i686), 32-bit Wine and clang-cl/lld when missing;
#   2. cross-builds Vantrel.dll, the C host stand-in and the Windows tests
#      (preset win32, build-win/); 2b. builds the C++ host stand-in with
#      clang-cl and checks that it imports the interface class by name;
#   3. checks the DLL: PE32 for i386, exports exactly the six functions and
#      the interface class's members, imports system DLLs only;
#   4. runs the Windows tests under Wine, with a null-modem pair of COM ports;
#   5. runs the C host stand-in under Wine (the bad-input checks), then the
#      C++ host stand-in, built by clang-cl in the host compiler's ABI
#      (win/msvc/): a whole download to the simulated phone on COM40; the
#      flash the phone saved is then checked against the package
#      (win/native/check_flash.cpp).
# Exits non-zero on any failure. Uses the native tools of build/ (or
# $VANTREL_NATIVE_BUILD) for step 5; ./setup.sh test builds them first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build-win
NATIVE=${VANTREL_NATIVE_BUILD:-$ROOT/build}
WORK=$BUILD/run
mkdir -p "$WORK"

say() { printf '== win: %s\n' "$*"; }
fail() {
  printf '== win: FAILED: %s\n' "$*" >&2
  exit 1
}
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# ---- 1. tools -----------------------------------------------------------------
install_tools() {
  local missing=()
  command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686)
  for p in wine wine32:i386 googletest cmake clang-tools lld llvm; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  say "installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    "${missing[@]}" >/dev/null
}
install_tools

# ---- 2. build -------------------------------------------------------------------
say "building Vantrel.dll, the host stand-in and the Windows tests"
cmake --preset win32 >"$WORK/configure.log" || { cat "$WORK/configure.log"; fail "configure"; }
cmake --build --preset win32 >"$WORK/build.log" 2>&1 ||
  { tail -40 "$WORK/build.log"; fail "build"; }
DLL=$BUILD/Vantrel.dll

# ---- 2b. the C++ host stand-in, in the host compiler's ABI ----------------------
# clang-cl builds it for i686-pc-windows-msvc without that compiler's SDK: no C
# runtime, its own entry point, import libraries made by llvm-dlltool from
# Vantrel.def (the DLL's own export table) and win/msvc/kernel32.def. Debian
# names the tools with or without their version.
first_tool() { # names...: prints the first one on PATH
  local n
  for n in "$@"; do command -v "$n" >/dev/null && { echo "$n"; return 0; }; done
  return 1
}
versioned() { local v; for v in 19 18 17 16 15 14 13; do echo "$1-$v"; done; }
CLANG_CL=$(first_tool clang-cl $(versioned clang-cl)) || fail "no clang-cl (Debian package clang-tools)"
LLD_LINK=$(first_tool lld-link $(versioned lld-link)) || fail "no lld-link (Debian package lld)"
DLLTOOL=$(first_tool llvm-dlltool $(versioned llvm-dlltool)) || fail "no llvm-dlltool (Debian package llvm)"
say "building the C++ host stand-in ($CLANG_CL, $LLD_LINK, $DLLTOOL)"
MSVC_HOST=$BUILD/host_standin_msvc.exe
mkdir -p "$BUILD/msvc"
# Relative paths: both tools read an argument that starts with /w as an option.
(
  cd "$BUILD/msvc"
  for f in host_standin runtime; do
    "$CLANG_CL" --target=i686-pc-windows-msvc /nologo /c /O1 /W4 /WX /std:c++20 \
      /GS- /GR- /EHs-c- /Zl "/Fo$f.obj" -- "../../win/msvc/$f.cpp"
  done
  "$DLLTOOL" -m i386 -d ../../win/Vantrel.def -l Vantrel.lib
  "$DLLTOOL" -m i386 -k -d ../../win/msvc/kernel32.def -l kernel32.lib
  "$LLD_LINK" /nologo /subsystem:console /entry:HostEntry /nodefaultlib \
    /out:../host_standin_msvc.exe host_standin.obj runtime.obj Vantrel.lib kernel32.lib
) >"$WORK/msvc-build.log" 2>&1 || { cat "$WORK/msvc-build.log"; fail "building the C++ host stand-in"; }
# The proof sits in its import table: the class's members, by decorated name.
i686-w64-mingw32-objdump -p "$MSVC_HOST" |
  awk '/DLL Name:/ { dll = $3 } dll == "Vantrel.dll" && $3 ~ /^\?/ { print $3 }' |
  sort >"$WORK/msvc-imports.txt"
sort >"$WORK/msvc-imports.want" <<'EOF'
??0CInterfaceTemplate@@QAE@XZ
??0CInterfaceTemplate@@QAE@ABV0@@Z
??1CInterfaceTemplate@@UAE@XZ
??4CInterfaceTemplate@@QAEAAV0@ABV0@@Z
??_7CInterfaceTemplate@@6B@
EOF
diff -u "$WORK/msvc-imports.want" "$WORK/msvc-imports.txt" ||
  fail "the C++ host stand-in does not import the class's members by name (- wanted, + found)"

# ---- 3. the DLL's binary interface ------------------------------------------------
say "checking the export and import tables"
OBJDUMP=i686-w64-mingw32-objdump
"$OBJDUMP" -f "$DLL" | grep -q 'file format pei-i386' || fail "Vantrel.dll is not a PE32 i386 image"
"$OBJDUMP" -p "$DLL" >"$WORK/pe.txt"
sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$WORK/pe.txt" | sed -n 's/^\s*\[ *[0-9]*\] //p' |
  sort >"$WORK/exports.txt"
sort >"$WORK/exports.want" <<'EOF'
NewDll
DeleteDll
GetDefinedData
GetParameter
SetParameter
PreviousLoad
??0CInterfaceTemplate@@QAE@XZ
??0CInterfaceTemplate@@QAE@ABV0@@Z
??1CInterfaceTemplate@@UAE@XZ
??4CInterfaceTemplate@@QAEAAV0@ABV0@@Z
??_7CInterfaceTemplate@@6B@
EOF
diff -u "$WORK/exports.want" "$WORK/exports.txt" || fail "the export table differs (- wanted, + found)"
bad_imports=$(sed -n 's/^\s*DLL Name: //p' "$WORK/pe.txt" |
  grep -viE '^(kernel32|user32|advapi32|setupapi|msvcrt|ntdll|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$' || true)
[ -z "$bad_imports" ] || fail "imports beyond the system DLLs: $bad_imports"

# ---- Wine ----------------------------------------------------------------------------
# Wine's 32-bit side is an i386 Linux program: a kernel without IA-32
# emulation (or with it switched off) refuses to start it ("Exec format
# error"). Such a machine cannot run steps 4 and 5 at all; say so and end
# after the checks above, unless VANTREL_REQUIRE_WINE=1 asks for a failure.
if ! /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
  why="this machine's kernel does not run 32-bit i386 programs (IA-32 emulation off), so 32-bit Wine cannot start"
  [ "${VANTREL_REQUIRE_WINE:-0}" = 1 ] && fail "$why"
  say "SKIPPED the Windows tests and the host stand-ins under Wine: $why"
  say "passed (the DLL, the C++ host stand-in and the binary interface; nothing run under Wine)"
  exit 0
fi
export WINEPREFIX=$BUILD/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the Wine prefix"
  wineboot -i >"$WORK/wineboot.log" 2>&1 || { cat "$WORK/wineboot.log"; fail "wineboot"; }
fi
DOS=$WINEPREFIX/dosdevices

PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -f "$DOS"/com4[0-9]
}
trap cleanup EXIT

# Starts a native helper whose standard input is a pipe this script holds:
# if the script dies, the helper sees end of file and ends too.
start_helper() { # name command...
  local name=$1
  shift
  rm -f "$WORK/$name.in"
  mkfifo "$WORK/$name.in"
  "$@" <"$WORK/$name.in" >"$WORK/$name.log" 2>&1 &
  PIDS+=($!)
  exec {fd}>"$WORK/$name.in"
}

# ---- 4. the Windows tests -----------------------------------------------------------
say "running the Windows tests under Wine"
cc -O2 -Wall -o "$WORK/pty_bridge" win/pty_bridge.c
rm -f "$DOS"/com4[0-9]
start_helper bridge "$WORK/pty_bridge" "$DOS/com41" "$DOS/com42"
for _ in $(seq 50); do grep -q ready "$WORK/bridge.log" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$WORK/bridge.log" || { cat "$WORK/bridge.log"; fail "null-modem bridge"; }
ln -sfn /dev/null "$DOS/com47"  # opens, but is no serial line
(cd "$BUILD" && VANTREL_NULL_MODEM=41,42 VANTREL_NOT_A_PORT=47 \
  ctest --output-on-failure -j2 -R '^test_win_') || fail "Windows tests under Wine"

# ---- 5. the host stand-ins --------------------------------------------------------------
# The C stand-in runs the bad-input checks; the C++ one, in the host's own ABI,
# the whole download.
sim_ready() {
  [ -x "$NATIVE/vantrel" ] && "$NATIVE/vantrel" sim --help >/dev/null 2>&1 &&
    ! "$NATIVE/vantrel" sim --help 2>&1 | grep -q 'not yet available'
}
export VANTREL_TIME_SCALE=100  # the host process's clock: the reset countdown runs fast
if ! sim_ready; then
  say "SKIPPED the whole download: $NATIVE/vantrel sim is missing (build the native tools first)"
  say "running the host stand-ins without a phone"
  (cd "$BUILD" && wine host_standin.exe 'C:\missing\Package.BIN' --no-phone) || fail "host stand-in"
  (cd "$BUILD" && wine host_standin_msvc.exe 'C:\missing\Package.BIN' --no-phone) || fail "C++ host stand-in"
  say "passed (without the whole download)"
  exit 0
fi
say "building a sample package"
PKG=$WORK/sample.pkg
"$NATIVE/vantrel" pkg sample -o "$PKG" >"$WORK/pkg.log" 2>&1 || { cat "$WORK/pkg.log"; fail "vantrel pkg sample"; }

WINPKG="Z:${PKG//\//\\}"
say "running the C host stand-in under Wine: the bad-input checks"
(cd "$BUILD" && exec timeout 120 wine host_standin.exe "$WINPKG" --no-phone) >"$WORK/host-c.log" 2>&1 ||
  { cat "$WORK/host-c.log"; fail "C host stand-in (log in $WORK/host-c.log)"; }
tail -n1 "$WORK/host-c.log"

say "starting the simulated phone on COM40"
STATE=$WORK/flash.state
rm -f "$STATE"
start_helper sim "$NATIVE/vantrel" sim --state "$STATE" --summary
SIM_PID=${PIDS[-1]}
slave=
for _ in $(seq 100); do
  slave=$(head -n1 "$WORK/sim.log" 2>/dev/null || true)
  [ -n "$slave" ] && break
  sleep 0.1
done
[ -e "$slave" ] || { cat "$WORK/sim.log"; fail "the simulated phone did not start"; }

say "running the C++ host stand-in under Wine: a whole download on COM40"
# A port already present when Connect starts is taken only after it went
# away; so the phone is plugged in (COM40 linked) once the host waits for it.
(cd "$BUILD" && exec timeout 300 wine host_standin_msvc.exe "$WINPKG") >"$WORK/host.log" 2>&1 &
HOST_PID=$!
PIDS+=("$HOST_PID")
for _ in $(seq 600); do
  grep -q 'waiting for the phone' "$WORK/host.log" && break
  kill -0 "$HOST_PID" 2>/dev/null || break
  sleep 0.1
done
sleep 1
ln -sfn "$slave" "$DOS/com40"
host_rc=0
wait "$HOST_PID" || host_rc=$?
grep -E '^host' "$WORK/host.log" | grep -vE 'report kind=1 ' || true

# The phone ends by itself after the host's last command; then it saves its
# flash and reports what it received.
for _ in $(seq 300); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
sed -n '2,$p' "$WORK/sim.log"
[ "$host_rc" -eq 0 ] || fail "C++ host stand-in (exit $host_rc; log in $WORK/host.log)"
grep -q '^problem:' "$WORK/sim.log" && fail "the simulated phone saw protocol problems"
[ -s "$STATE" ] || fail "the simulated phone saved no flash state"

say "checking the flash against the package"
CHECK=$NATIVE/vantrel_wine_check
[ -x "$CHECK" ] || cmake --build "$NATIVE" --target vantrel_wine_check -j2 >"$WORK/check-build.log" 2>&1 ||
  { tail -20 "$WORK/check-build.log"; fail "building the flash check"; }
"$CHECK" "$PKG" "$STATE" || fail "the flash check"
say "passed"
