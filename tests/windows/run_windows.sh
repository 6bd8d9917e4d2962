#!/usr/bin/env bash
# The Windows build's tests, under wine, in one wine session kept up for the whole run (a wine
# process costs about 1.8 s of CPU when it starts its session, 0.1 s when one is up):
#   1. the unit, platform, host and plugin tests of build-windows (ctest, each program under wine);
#   2. a Windows pilot and a Linux pilot through the real Linux server (the Linux build's
#      end-to-end test, with this Windows build named to it).
#   tests/windows/run_windows.sh ROOT [ctest arguments...]
set -euo pipefail
ROOT=$(cd "${1:?usage: run_windows.sh ROOT [ctest arguments]}" && pwd)
shift
WIN=$ROOT/build-windows

# wine's own folder for the run's programs, kept between runs (made once, about 15 s); letters
# outside ASCII in file names pass through as UTF-8.
export WINEPREFIX=$WIN/wine WINEARCH=win64 WINEDEBUG=-all LC_ALL=C.UTF-8
# No .NET or browser engine to install; the plugin's GL calls go to the simulated host's
# opengl32.dll beside the programs, not wine's own.
export WINEDLLOVERRIDES="mscoree,mshtml=;opengl32=n,b"
# The server wants its folder before wineboot makes the rest (a clean clone has none).
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
# The session's own processes start now, their output nowhere: they outlive every test program
# and would hold its output open.
wineboot -i </dev/null >/dev/null 2>&1

echo "== Windows build: unit, platform, host and plugin tests under wine"
ctest --test-dir "$WIN" --output-on-failure -j2 "$@"

echo "== A Windows pilot and a Linux pilot through the Linux server"
SKYTETHER_WINDOWS_BUILD=$WIN "$ROOT/build/tests/e2e/e2e_tests" --gtest_filter='Session.AWindowsPilotAndALinuxPilotFlyTogether' 2>&1 | tee "$WIN/e2e.log"
grep -q '^\[  PASSED  \] 1 test' "$WIN/e2e.log"
