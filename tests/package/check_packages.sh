#!/usr/bin/env bash
# Unpacks the release packages and checks what a pilot and an operator would get:
#   check_packages.sh BUILD_DIR VERSION
set -euo pipefail
BUILD=$(cd "$1" && pwd)
VERSION=$2
PKG=$BUILD/packages
work=$(mktemp -d /tmp/skytether-package.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package check FAILED: $*" >&2; exit 1; }
# The newest C library the plugin file may need: 2.35, the C library of Ubuntu 22.04 (Debian 12 has
# 2.36). The C++ runtime linked into the file asks for 2.35 (_dl_find_object in its unwinder).
GLIBC_FLOOR=2.35

zip=$PKG/Skytether-$VERSION.zip
tgz=$PKG/skytether-server-$VERSION-linux.tar.gz
[ -f "$zip" ] || fail "missing $zip"
[ -f "$tgz" ] || fail "missing $tgz"

# ---- the plugin zip: exactly the Skytether/ folder ----
python3 - "$zip" "$work/plugin" <<'PY' || fail "plugin zip contents"
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = sorted(n.rstrip('/') for n in z.namelist())
want = ['Skytether', 'Skytether/README.txt', 'Skytether/lin_x64', 'Skytether/lin_x64/Skytether.xpl',
        'Skytether/win_x64', 'Skytether/win_x64/Skytether.xpl']
if names != want:
    sys.exit('zip holds %s, want %s' % (names, want))
z.extractall(sys.argv[2])
PY
xpl=$work/plugin/Skytether/lin_x64/Skytether.xpl
chmod +x "$xpl"

defined=$(nm -D --defined-only "$xpl" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$defined" = "XPluginDisable XPluginEnable XPluginReceiveMessage XPluginStart XPluginStop " ] ||
  fail "exported symbols: $defined"
# Undefined: the host's SDK (XPLM*, XP*), the GL calls (libGL, or the host that answers them
# first) and the C library. The C++ runtime and libgcc are inside the file.
bad=$(nm -D --undefined-only "$xpl" | awk '{print $2}' |
  grep -v -E '^(XPLM|XP[A-Z]|gl[A-Z])' |
  grep -v -E '@GLIBC_' |
  grep -v -E '^(__gmon_start__|_ITM_deregisterTMCloneTable|_ITM_registerTMCloneTable)$' || true)
[ -z "$bad" ] || fail "unexpected undefined symbols: $bad"
needed=$(readelf -dW "$xpl" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$needed" = "ld-linux-x86-64.so.2 libGL.so.1 libc.so.6 libm.so.6 " ] ||
  fail "needs $needed (want only the C library and libGL.so.1)"
newest=$(readelf -VW "$xpl" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1)
echo "plugin file needs GLIBC_$newest at newest (floor GLIBC_$GLIBC_FLOOR)"
[ "$(printf '%s\n%s\n' "$newest" "$GLIBC_FLOOR" | sort -V | tail -1)" = "$GLIBC_FLOOR" ] ||
  fail "needs GLIBC_$newest, newer than the floor GLIBC_$GLIBC_FLOOR"
[ "$(readelf -sW "$xpl" | grep -c UNIQUE || true)" = 0 ] || fail "unique symbols pin the file in memory"

# It loads in the simulated host from the unpacked folder, and unloads again.
mkdir -p "$work/root"
"$BUILD/host/skytether-host" --plugin "$xpl" --root "$work/root" --seconds 2 >"$work/host.txt" ||
  fail "the simulated host could not run the unpacked plugin: $(tail -5 "$work/host.txt")"
grep -q "A plugin that provides for high-res network play. (Alpha releases)" "$work/host.txt" ||
  fail "plugin did not describe itself"

# ---- the Windows plugin file: a DLL that exports the five entry points and imports only the
# SDK's DLLs, OpenGL and Windows' own (the C++ runtime, libgcc and winpthread are inside) ----
dll=$work/plugin/Skytether/win_x64/Skytether.xpl
x86_64-w64-mingw32-objdump -f "$dll" | grep -q 'file format pei-x86-64' || fail "the Windows file is no 64-bit DLL"
exports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
[ "$exports" = "XPluginDisable XPluginEnable XPluginReceiveMessage XPluginStart XPluginStop " ] ||
  fail "the Windows file exports: $exports"
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
[ "$imports" = "ADVAPI32.DLL BCRYPT.DLL KERNEL32.DLL MSVCRT.DLL OPENGL32.DLL WS2_32.DLL XPLM_64.DLL XPWIDGETS_64.DLL " ] ||
  fail "the Windows file imports $imports"
echo "Windows plugin file imports $imports"
# It loads in the Windows build of the simulated host (under wine) from the unpacked folder.
WIN=$(cd "$BUILD/.." && pwd)/build-windows
if [ -x "$WIN/bin/skytether-host.exe" ]; then
  (
    export WINEPREFIX=$WIN/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;opengl32=n,b"
    wineserver -p
    wineboot -i </dev/null >/dev/null 2>&1
    mkdir -p "$work/winroot"
    status=0
    wine "$WIN/bin/skytether-host.exe" --plugin "Z:$dll" --root "Z:$work/winroot" --seconds 2 \
      >"$work/winhost.txt" 2>&1 || status=$?
    wineserver -k || true
    exit $status
  ) || fail "the Windows host could not run the unpacked Windows plugin: $(tail -5 "$work/winhost.txt")"
  grep -q "A plugin that provides for high-res network play. (Alpha releases)" "$work/winhost.txt" ||
    fail "the Windows plugin did not describe itself"
else
  fail "no Windows build of the simulated host in $WIN"
fi

# ---- the server tarball ----
tar -xzf "$tgz" -C "$work"
top=$work/skytether-server-$VERSION-linux
for f in bin/skytether-server accounts.example skytether-server.service skytether-node@.service README.md; do
  [ -e "$top/$f" ] || fail "server package lacks $f"
done
# It needs nothing but the C library (its libm and loader included), at most the version the
# server's README states: the C++ runtime, libgcc and hiredis are inside; no HTTP or TLS library.
server=$top/bin/skytether-server
needed=$(readelf -dW "$server" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for lib in $needed; do
  case "$lib" in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux-x86-64.so.2) ;;
    *) fail "the server needs $lib (want only the C library's: $needed)" ;;
  esac
done
SERVER_FLOOR=$(sed -n 's/.*C library floor: `GLIBC_\([0-9.]*\)`.*/\1/p' "$(cd "$(dirname "$0")/../.." && pwd)/server/README.md" | head -1)
[ -n "$SERVER_FLOOR" ] || fail "server/README.md states no C library floor"
newest=$(readelf -VW "$server" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1)
echo "server needs $needed; GLIBC_$newest at newest (floor GLIBC_$SERVER_FLOOR)"
[ "$(printf '%s\n%s\n' "$newest" "$SERVER_FLOOR" | sort -V | tail -1)" = "$SERVER_FLOOR" ] ||
  fail "the server needs GLIBC_$newest, newer than the floor GLIBC_$SERVER_FLOOR"
"$server" --version | grep -q "skytether-server $VERSION" || fail "--version"
cp "$top/accounts.example" "$work/accounts" && chmod 600 "$work/accounts"
"$top/bin/skytether-server" --check-accounts "$work/accounts" >/dev/null || fail "example accounts rejected"

# The unpacked server starts and answers a login: the chat line of a logged-in pilot comes back.
"$top/bin/skytether-server" --listen 127.0.0.1 --port 0 --accounts "$work/accounts" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/server.log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server.log" | head -1)
[ -n "$port" ] || fail "server did not start: $(cat "$work/server.log")"
python3 - "$port" <<'PY' || fail "login not answered: $(cat "$work/server.log")"
import hashlib, socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=5)
token = hashlib.md5(b'4242alicechange-me').hexdigest()
s.sendall(('4242|Opening Connection|alice|%s|\n4242|MESSAGE|hello\n' % token).encode())
data = b''
while b'\n' not in data:
    chunk = s.recv(4096)
    if not chunk:
        sys.exit('closed')
    data += chunk
if data.split(b'\n')[0] != b'0|m|alice: hello':
    sys.exit('got %r' % data)
PY
echo "package check passed: $(basename "$zip"), $(basename "$tgz")"
