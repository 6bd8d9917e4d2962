#!/usr/bin/env bash
# The demo: the plugin loaded into the simulated host for 15 simulated seconds, and what the host saw.
set -euo pipefail
BUILD=${1:?build folder}
root=$(mktemp -d /tmp/skytether-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/Resources/plugins"
printf 'callsign=Demo;userID=demo;password=;flightMode=0;cockpitPosition=0;crewID=;connectAtStartup=0;' \
  >"$root/Resources/plugins/stprefs.txt"
"$BUILD/host/skytether-host" --plugin "$BUILD/Skytether/lin_x64/Skytether.xpl" --root "$root" --seconds 15
