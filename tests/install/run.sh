#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that everything a
# Linux user expects is there, builds the consumer project against it both
# ways (CMake package, pkg-config) and runs it, then makes the Debian
# package and checks its contents and metadata.
#   run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vantrel lib/libvantrel.so include/vantrel/interface.h include/vantrel/extension.h \
         include/vantrel/codes.h lib/cmake/Vantrel/VantrelConfig.cmake lib/cmake/Vantrel/VantrelConfigVersion.cmake \
         lib/cmake/Vantrel/VantrelTargets.cmake lib/pkgconfig/vantrel.pc lib/udev/rules.d/70-vantrel.rules lib/udev/rules.d/71-vantrel-access.rules \
         share/man/man1/vantrel.1 share/bash-completion/completions/vantrel; do
  [ -e "$prefix/$f" ] || fail "cmake --install did not install $f"
done
rules=$prefix/lib/udev/rules.d/71-vantrel-access.rules
grep -q 'TAG+="uaccess"' "$rules" || fail "the udev rule gives no uaccess"
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rules" || fail "the udev rule does not keep ModemManager away"
grep -q '^#.*SYMLINK+="vantrel/COM40"' "$rules" || fail "the udev rule lacks the commented port-directory example"
bash -n "$prefix/share/bash-completion/completions/vantrel" || fail "the completion script does not parse"
grep -q '^\.SH EXIT STATUS' "$prefix/share/man/man1/vantrel.1" || fail "the manual page has no exit codes"
"$prefix/bin/vantrel" --version | grep -q '^vantrel ' || fail "the installed vantrel does not run"
# Lean: no debug information in what is installed, and a versioned SONAME
# with the usual links.
stripped() { ! readelf -S "$1" | grep -q '\.debug_info' && ! readelf -S "$1" | grep -q '\.symtab'; }
stripped "$prefix/bin/vantrel" || fail "the installed vantrel carries debug information or a symbol table"
stripped "$prefix/lib/libvantrel.so.0.1" || fail "the installed library carries debug information or a symbol table"
readelf -d "$prefix/lib/libvantrel.so.0.1" | grep -q 'Library soname: \[libvantrel.so.0\]' || fail "no SONAME libvantrel.so.0"
[ "$(readlink "$prefix/lib/libvantrel.so.0")" = libvantrel.so.0.1 ] || fail "libvantrel.so.0 does not link to the library"
[ "$(readlink "$prefix/lib/libvantrel.so")" = libvantrel.so.0 ] || fail "libvantrel.so does not link to libvantrel.so.0"
# Hints name installed files, not the source tree's.
ports=$("$prefix/bin/vantrel" ports)
if grep -q '^no phone port' <<<"$ports"; then
  grep -q "$prefix/lib/udev/rules.d/70-vantrel.rules" <<<"$ports" || grep -q ' /usr/lib/udev/rules.d/70-vantrel.rules\| /etc/udev/rules.d/70-vantrel.rules' <<<"$ports" ||
    fail "vantrel ports does not name the installed rule: $ports"
fi
! "$prefix/bin/vantrel" pkg build --help | grep -q 'tools/' || fail "pkg build --help names a source-tree file"
grep -q -- '--transcript' "$prefix/share/bash-completion/completions/vantrel" || fail "the completion lacks --transcript"
# The installed command finds the installed plug-in (no build tree beside it).
"$prefix/bin/vantrel" flash --simulate -q >/dev/null 2>"$work/flash.err" || { cat "$work/flash.err"; fail "installed flash --simulate"; }

# The consumer, through the CMake package ...
cmake -S "$src/tests/install/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" || fail "the consumer built with find_package(Vantrel) failed"
# ... and through pkg-config.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
libdir=$(pkg-config --variable=libdir vantrel)
c++ -std=c++20 "$src/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs vantrel) \
    -Wl,-rpath,"$libdir" -o "$work/pc-consumer"
"$work/pc-consumer" || fail "the consumer built with pkg-config failed"

# The Debian package: contents and metadata (installing it would change this machine).
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/vantrel ./usr/lib/libvantrel.so ./usr/include/vantrel/interface.h ./usr/lib/udev/rules.d/70-vantrel.rules ./usr/lib/udev/rules.d/71-vantrel-access.rules \
         ./usr/share/man/man1/vantrel.1 ./usr/lib/cmake/Vantrel/VantrelConfig.cmake ./usr/lib/pkgconfig/vantrel.pc \
         ./usr/share/bash-completion/completions/vantrel; do
  grep -qE " $f( -> .*)?\$" <<<"$contents" || fail "the Debian package lacks $f"
done
[ "$(dpkg-deb -f "$deb" Package)" = vantrel ] || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "the Debian package declares no library dependencies"
grep -q ' ./usr/lib/libvantrel.so.0 -> libvantrel.so.0.1$' <<<"$contents" || fail "the Debian package lacks the SONAME link"
dpkg-deb -x "$deb" "$work/deb-root"
stripped "$work/deb-root/usr/bin/vantrel" || fail "the Debian package's vantrel is not stripped"
stripped "$work/deb-root/usr/lib/libvantrel.so.0.1" || fail "the Debian package's library is not stripped"
echo "install test passed: $deb"
