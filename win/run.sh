#!/usr/bin/env bash
# The shipping form, built and proven on Linux:
#   1. installs mingw-w64 (i686), Wine (32-bit Wine and the 64-bit loader with
#      the i386 Windows DLLs its WoW64 mode needs) and clang-cl/lld when missing;
#   2. cross-builds Vantrel.dll, the C host stand-in and the Windows tests
#      (preset win32, build-win/); 2b. builds the C++ host stand-in with
#      clang-cl and checks that it imports the interface class by name;
#   3. checks the DLL: PE32 for i386, exports exactly the six functions and
#      the interface class's members, imports system DLLs only;
#   then runs the same 32-bit programs under Wine, as 32-bit Wine where this
#   machine runs i386 programs and in the 64-bit loader's WoW64 mode where it
#   does not (VANTREL_WINE_MODE=i386|wow64 forces either), saying which and why:
#   4. the Windows tests, with a null-modem pair of COM ports;
#   5. the C host stand-in (the bad-input checks), then the C++ host stand-in,
#      built by clang-cl in the host compiler's ABI (win/msvc/): a whole
#      download to the simulated phone on COM40; the flash the phone saved is
#      then checked against the package (win/native/check_flash.cpp).
# Each program under Wine is judged by its own summary lines, not by its exit
# status alone. Exits non-zero on any failure; if Wine cannot start 32-bit
# programs in either way it says why and skips steps 4 and 5, unless
# VANTREL_REQUIRE_WINE=1. Uses the native tools of build/ (or
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
  # Both ways of running Wine: wine32:i386 is the 32-bit Wine and brings
  # libwine:i386, whose i386 Windows DLLs the 64-bit loader of wine64 uses in
  # its WoW64 mode. Windows files, they install on any kernel.
  for p in wine wine64 wine32:i386 googletest cmake clang-tools lld llvm; do
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

# ---- Wine: which way -------------------------------------------------------------------
# Every program below is a 32-bit Windows program. Wine runs them in one of two ways:
#   i386   32-bit Wine (wine32:i386). Its loader is an i386 Linux program, which
#          a kernel without IA-32 emulation (or with it switched off) refuses to
#          start ("Exec format error").
#   wow64  the 64-bit loader of wine64 in its WoW64 mode: the 32-bit programs
#          run inside a 64-bit Linux process, on the i386 Windows DLLs that
#          libwine:i386 installs (WINEDLLPATH), in a prefix made with
#          WINEARCH=win64 (it gets syswow64). No i386 Linux program starts.
# Without VANTREL_WINE_MODE=i386|wow64 the script takes i386 where 32-bit Wine
# starts and wow64 elsewhere. The 64-bit loader hands a 32-bit program to the
# 32-bit loader whenever that one can start, so wow64 forced on a machine that
# runs i386 programs hides that loader in a private mount namespace.
WINE_START=$SECONDS
WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64
if i386_says=$("$WINE32" --version 2>&1); then i386_runs=1; else i386_runs=0; fi
i386_says=$(printf '%s\n' "$i386_says" | head -n1)
i386_says=${i386_says##*"$WINE32: "}  # the shell's "...: line N: PATH: " prefix
MODE=${VANTREL_WINE_MODE:-}
case "$MODE" in
  "")
    if [ "$i386_runs" = 1 ]; then
      MODE=i386 why="this machine runs i386 programs ($WINE32 --version: $i386_says)"
    else
      MODE=wow64 why="this machine cannot run i386 programs ($WINE32: $i386_says)"
    fi
    ;;
  i386)
    [ "$i386_runs" = 1 ] || fail "VANTREL_WINE_MODE=i386, but 32-bit Wine cannot start here ($WINE32: $i386_says)"
    why="forced by VANTREL_WINE_MODE=i386"
    ;;
  wow64)
    why="forced by VANTREL_WINE_MODE=wow64"
    [ "$i386_runs" = 1 ] &&
      why="$why; this machine also runs i386 programs, so 32-bit Wine's loader is hidden from Wine"
    ;;
  *) fail "VANTREL_WINE_MODE is i386 or wow64, not '$MODE'" ;;
esac

# Wine's message "starting ... in experimental wow64 mode" (channel environ,
# class err) names each program the 64-bit loader runs that way; run.sh reads
# it to check that every program ran the way taken.
export WINEDEBUG=-all,err+environ WINEDLLOVERRIDES="mscoree,mshtml="
WOW64_MARK='in experimental wow64 mode'
if [ "$MODE" = i386 ]; then
  say "Wine: 32-bit Wine (i386), because $why"
  export WINEPREFIX=$BUILD/wineprefix-i386 WINEARCH=win32
  unset WINEDLLPATH
  WINE=("$WINE32")
else
  dlls=
  for d in /usr/lib/i386-linux-gnu/wine /usr/lib32/wine /usr/lib/wine; do
    [ -f "$d/i386-windows/ntdll.dll" ] && { dlls=$d; break; }
  done
  [ -n "$dlls" ] || fail "no i386 Windows DLLs of Wine (i386-windows/ntdll.dll; Debian package libwine:i386)"
  [ -x "$WINE64" ] || fail "no 64-bit Wine loader $WINE64 (Debian package wine64)"
  say "Wine: WoW64 mode of the 64-bit loader, because $why"
  export WINEPREFIX=$BUILD/wineprefix-wow64 WINEARCH=win64 WINEDLLPATH=$dlls
  WINE=("$WINE64")
  if [ "$i386_runs" = 1 ]; then
    # A private mount namespace in which the 32-bit loader is an empty,
    # non-executable file: Wine's attempt to start it fails as on a kernel
    # without IA-32 emulation, and the 64-bit loader runs the program itself.
    NOT_A_PROGRAM=$WORK/not-a-program
    : >"$NOT_A_PROGRAM"
    chmod 644 "$NOT_A_PROGRAM"
    ns=(unshare --mount)
    [ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --mount)
    WINE=("${ns[@]}" sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' hide-wine32
      "$NOT_A_PROGRAM" "$WINE32" "$WINE64")
    "${WINE[@]:0:${#WINE[@]}-1}" sh -c '! "$0" --version' "$WINE32" >"$WORK/hide.log" 2>&1 ||
      { cat "$WORK/hide.log"; fail "cannot hide 32-bit Wine's loader here (${ns[*]}), so WoW64 mode cannot be forced"; }
  fi
fi

# WoW64 mode that cannot start at all is the one case that ends with a skip
# (the checks above still stand), unless VANTREL_REQUIRE_WINE=1 asks for a failure.
wine_cannot_start() { # log what
  local why="Wine in WoW64 mode cannot start 32-bit programs on this machine ($2; it printed: $(tail -n5 "$1" | tr -d '\r' | tr '\n' '|'))"
  [ "$MODE" = wow64 ] && [ -z "${VANTREL_WINE_MODE:-}" ] && [ "${VANTREL_REQUIRE_WINE:-0}" != 1 ] ||
    { cat "$1"; fail "$why"; }
  say "SKIPPED the Windows tests and the host stand-ins under Wine: $why"
  say "passed (the DLL, the C++ host stand-in and the binary interface; nothing run under Wine)"
  exit 0
}

# A program's log shows the way it ran: the WoW64 message, or none.
check_way() { # log name
  if [ "$MODE" = wow64 ]; then
    grep -q "$WOW64_MARK" "$1" || fail "$2 did not run in WoW64 mode (log in $1)"
  else
    ! grep -q "$WOW64_MARK" "$1" || fail "$2 ran in WoW64 mode, not under 32-bit Wine (log in $1)"
  fi
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the Wine prefix $WINEPREFIX"
  "${WINE[@]}" wineboot -i >"$WORK/wineboot.log" 2>&1 || wine_cannot_start "$WORK/wineboot.log" "wineboot -i failed"
fi
if [ "$MODE" = wow64 ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  wine_cannot_start "$WORK/wineboot.log" "the prefix has no syswow64 folder"
fi
# The C stand-in without arguments prints its usage: the cheapest proof that a
# 32-bit program starts.
(cd "$BUILD" && "${WINE[@]}" host_standin.exe) >"$WORK/wine-start.log" 2>&1 || true
grep -q 'usage: host_standin' "$WORK/wine-start.log" || wine_cannot_start "$WORK/wine-start.log" "a 32-bit program did not start"
check_way "$WORK/wine-start.log" host_standin.exe
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

# Under Wine a program that crashed can exit with status 0, so each one is
# judged by what it printed (win/judge.sh).
source win/judge.sh

# ---- 4. the Windows tests -----------------------------------------------------------
say "running the Windows tests under Wine"
cc -O2 -Wall -o "$WORK/pty_bridge" win/pty_bridge.c
rm -f "$DOS"/com4[0-9]
start_helper bridge "$WORK/pty_bridge" "$DOS/com41" "$DOS/com42"
for _ in $(seq 50); do grep -q ready "$WORK/bridge.log" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$WORK/bridge.log" || { cat "$WORK/bridge.log"; fail "null-modem bridge"; }
ln -sfn /dev/null "$DOS/com47"  # opens, but is no serial line
# The test programs are the ones the cross build registers with ctest; ctest
# itself is not used here, since it trusts the exit status.
mapfile -t TESTS < <(cd "$BUILD" && ctest -N -R '^test_win_' | sed -n 's/^ *Test *#[0-9]*: //p')
[ ${#TESTS[@]} -gt 0 ] || fail "the cross build registers no Windows tests"
total=0
for name in "${TESTS[@]}"; do
  exe=$(find "$BUILD" -name "$name.exe" -print -quit)
  [ -n "$exe" ] || fail "no $name.exe in $BUILD"
  rc=0
  (
    cd "$(dirname "$exe")"
    timeout 60 "${WINE[@]}" "$name.exe" --gtest_list_tests >"$WORK/$name.list" 2>/dev/null || true
    VANTREL_NULL_MODEM=41,42 VANTREL_NOT_A_PORT=47 exec timeout 300 "${WINE[@]}" "$name.exe"
  ) >"$WORK/$name.log" 2>&1 || rc=$?
  check_way "$WORK/$name.log" "$name"
  n=$(judge_tests "$name" "$WORK/$name.log" "$WORK/$name.list")
  [ "$rc" -eq 0 ] || fail "$name exited with status $rc (log in $WORK/$name.log)"
  say "  $name: all $n tests passed"
  total=$((total + n))
done
say "Windows tests under Wine ($MODE): $total tests in ${#TESTS[@]} programs, all passed"

# ---- 5. the host stand-ins --------------------------------------------------------------
# The C stand-in runs the bad-input checks; the C++ one, in the host's own ABI,
# the whole download.
sim_ready() {
  [ -x "$NATIVE/vantrel" ] && "$NATIVE/vantrel" sim --help >/dev/null 2>&1 &&
    ! "$NATIVE/vantrel" sim --help 2>&1 | grep -q 'not yet available'
}
run_standin() { # label log exe args...: runs a host stand-in, judges it by its own summary
  local label=$1 log=$2 rc=0
  shift 2
  (cd "$BUILD" && exec timeout 120 "${WINE[@]}" "$@") >"$log" 2>&1 || rc=$?
  check_way "$log" "$1"
  judge_checks "$label" "$log"
  [ "$rc" -eq 0 ] || fail "$1 exited with status $rc (log in $log)"
}
export VANTREL_TIME_SCALE=100  # the host process's clock: the reset countdown runs fast
if ! sim_ready; then
  say "SKIPPED the whole download: $NATIVE/vantrel sim is missing (build the native tools first)"
  say "running the host stand-ins without a phone"
  run_standin "host stand-in" "$WORK/host-c.log" host_standin.exe 'C:\missing\Package.BIN' --no-phone
  run_standin "host stand-in (C++)" "$WORK/host.log" host_standin_msvc.exe 'C:\missing\Package.BIN' --no-phone
  say "passed under Wine ($MODE), without the whole download ($((SECONDS - WINE_START)) s under Wine, $SECONDS s in all)"
  exit 0
fi
say "building a sample package"
PKG=$WORK/sample.pkg
"$NATIVE/vantrel" pkg sample -o "$PKG" >"$WORK/pkg.log" 2>&1 || { cat "$WORK/pkg.log"; fail "vantrel pkg sample"; }

WINPKG="Z:${PKG//\//\\}"
say "running the C host stand-in under Wine: the bad-input checks"
run_standin "host stand-in" "$WORK/host-c.log" host_standin.exe "$WINPKG" --no-phone

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
(cd "$BUILD" && exec timeout 300 "${WINE[@]}" host_standin_msvc.exe "$WINPKG") >"$WORK/host.log" 2>&1 &
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
tr -d '\r' <"$WORK/host.log" | grep -E '^host' | grep -vE 'report kind=1 |checks passed' || true

# The phone ends by itself after the host's last command; then it saves its
# flash and reports what it received.
for _ in $(seq 300); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
sed -n '2,$p' "$WORK/sim.log"
check_way "$WORK/host.log" host_standin_msvc.exe
judge_checks "host stand-in (C++)" "$WORK/host.log"
[ "$host_rc" -eq 0 ] || fail "C++ host stand-in (exit $host_rc; log in $WORK/host.log)"
grep -q '^problem:' "$WORK/sim.log" && fail "the simulated phone saw protocol problems"
[ -s "$STATE" ] || fail "the simulated phone saved no flash state"

say "checking the flash against the package"
CHECK=$NATIVE/vantrel_wine_check
[ -x "$CHECK" ] || cmake --build "$NATIVE" --target vantrel_wine_check -j2 >"$WORK/check-build.log" 2>&1 ||
  { tail -20 "$WORK/check-build.log"; fail "building the flash check"; }
"$CHECK" "$PKG" "$STATE" || fail "the flash check"
say "passed under Wine ($MODE): the Windows tests, both host stand-ins and the whole download ($((SECONDS - WINE_START)) s under Wine, $SECONDS s in all)"
