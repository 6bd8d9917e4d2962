#!/usr/bin/env bash
# Builds the plugin against an SDK folder laid out as the published one (CHeaders/XPLM and
# CHeaders/Widgets), as a build for the real host does with SKYTETHER_SDK_DIR: the plugin's sources
# must compile unchanged there, with the system's OpenGL header and library, for the SDK versions
# XPLM200 to XPLM400 and without XPLM_DEPRECATED.
#   check_sdk_build.sh SOURCE_DIR [WORK_DIR]
# WORK_DIR (emptied first; a fresh temporary folder when left out) holds the SDK folder and the
# build: one inside the source tree keeps the same paths from run to run, so ccache finds them.
set -euo pipefail
SRC=$(cd "$1" && pwd)
if [ -n "${2:-}" ]; then
  rm -rf "$2" && mkdir -p "$2"
  work=$(cd "$2" && pwd)
else
  work=$(mktemp -d /tmp/skytether-sdk.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/SDK/CHeaders/XPLM" "$work/SDK/CHeaders/Widgets"
cp "$SRC"/sdk/include/XPLM*.h "$work/SDK/CHeaders/XPLM/"
cp "$SRC"/sdk/include/XP[A-Z]*.h "$work/SDK/CHeaders/Widgets/"
rm -f "$work"/SDK/CHeaders/Widgets/XPLM*.h
cmake -S "$SRC" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DSKYTETHER_WERROR=ON \
  -DSKYTETHER_SDK_DIR="$work/SDK" >/dev/null
cmake --build "$work/build" --target Skytether -j "$(nproc)" >/dev/null
xpl=$work/build/Skytether/lin_x64/Skytether.xpl
readelf -dW "$xpl" | grep NEEDED | grep -q 'libGL[.]so[.]1' || { echo "SDK build does not link libGL.so.1" >&2; exit 1; }
echo "SDK-folder build passed: $(readelf -dW "$xpl" | grep NEEDED | sed 's/.*\[\(.*\)\]/\1/' | tr '\n' ' ')"
