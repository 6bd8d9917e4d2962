#!/usr/bin/env bash
# The server's rooms depend only downward: core <- net <- cluster, http <- main.
#   layers.sh SERVER_DIR
# Fails naming every include that reaches up or sideways, every hiredis include outside the
# Redis link, and every socket, thread or /proc in the pure core.
set -uo pipefail
cd "$1" || exit 2
bad=0
allowed() {  # ROOM: the rooms its files may include
  case "$1" in
    core) echo "core" ;;
    net) echo "core net" ;;
    cluster) echo "core net cluster" ;;
    http) echo "core net http" ;;
  esac
}
for room in core net cluster http; do
  for f in "$room"/*.h "$room"/*.cpp; do
    while IFS= read -r inc; do
      target=${inc%%/*}
      [ "$inc" = "md5.h" ] && [ "$room" = core ] && continue
      if [ "$target" = "$inc" ] || ! [[ " $(allowed "$room") " == *" $target "* ]]; then
        echo "$f includes \"$inc\": $room may include only $(allowed "$room")"
        bad=1
      fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f")
  done
done
for f in $(grep -lE '#include <hiredis|redis(Async)?(Reply|Context)' core/* net/* cluster/* http/* main.cpp options.* 2>/dev/null); do
  [ "$f" = cluster/redis_link.cpp ] || { echo "$f mentions hiredis: its types stay in the Redis link"; bad=1; }
done
for f in $(grep -lE '#include <(asio|sys/socket|thread|dirent)|/proc/' core/* 2>/dev/null); do
  echo "$f: the core owns no socket, thread or /proc"
  bad=1
done
[ "$bad" = 0 ] && echo "server layers hold"
exit "$bad"
