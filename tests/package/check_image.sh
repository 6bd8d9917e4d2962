#!/usr/bin/env bash
# Checks the container image's files without building the image (no image registry or container
# engine is needed): check_image.sh BUILD_DIR
#   - the compose file passes yamllint and docker-compose's own schema check;
#   - the build context holds nothing but the sources (.dockerignore): no secret left beside them
#     reaches a build layer; the compose file mounts its secrets at run time, from outside it;
#   - the Containerfile's last stage: Debian 12, a user that is not root, its ENTRYPOINT and CMD,
#     and no exposed admin port: its controls listen on loopback;
#   - that command, with exactly the image's environment, user and working folder, starts the
#     server built in BUILD_DIR in a root holding nothing but it and the C library (chroot), in a
#     network namespace of its own: it serves pilots, the feeds and the admin controls, keeps its
#     ban list in its volume across a restart, and stops cleanly;
#   - the two nodes of the compose file start with their commands and find each other through
#     a Redis on a socket, each in a network namespace of its own, as in their containers.
# Runs as root (chroot, unshare).
set -euo pipefail
ROOT_DIR=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "$1" && pwd)
SERVER=$BUILD/server/skytether-server
FILE=$ROOT_DIR/packaging/Containerfile
COMPOSE=$ROOT_DIR/packaging/compose.yaml
work=$(mktemp -d /tmp/skytether-image.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "image check FAILED: $*" >&2; exit 1; }

yamllint -d '{extends: default, rules: {line-length: {max: 120}, document-start: disable}}' "$COMPOSE" ||
  fail "yamllint $COMPOSE"
(cd "$ROOT_DIR/packaging" && docker-compose -f compose.yaml config -q) ||
  fail "docker-compose config $COMPOSE"

# The last stage as the image runs it: its command, environment, user and working folder, one
# line each (a NUL-separated argv in a file).
python3 - "$FILE" "$COMPOSE" "$work" "$ROOT_DIR" <<'PY' || fail "Containerfile"
import fnmatch, json, os, shlex, sys, yaml
path, compose, work, repo = sys.argv[1:]
lines, joined = [], ""
for raw in open(path):
    if raw.lstrip().startswith("#"):
        continue
    joined += raw.rstrip("\n")
    if joined.endswith("\\"):
        joined = joined[:-1]
        continue
    if joined.strip():
        lines.append(joined.strip())
    joined = ""
known = {"FROM", "RUN", "COPY", "WORKDIR", "ENV", "USER", "VOLUME", "EXPOSE", "ENTRYPOINT", "CMD", "ARG", "LABEL"}
stages, stage = [], None
for line in lines:
    word, _, rest = line.partition(" ")
    if word not in known:
        sys.exit("unknown instruction: " + line)
    if word == "FROM":
        image = rest.split()[0]
        if image not in ("debian:12", "debian:12-slim"):
            sys.exit("not built on Debian 12: " + line)
        stage = {"name": rest.split()[-1], "env": {}, "user": "root", "workdir": "/", "cmd": [], "entrypoint": [],
                 "expose": [], "copied": []}
        stages.append(stage)
    elif word == "COPY" and not rest.startswith("--from"):
        stage["copied"] += shlex.split(rest)[:-1]
    elif word == "EXPOSE":
        stage["expose"] += rest.split()
    elif word in ("ENTRYPOINT", "CMD", "VOLUME"):
        value = json.loads(rest)  # the exec form only: no shell in between
        if word != "VOLUME":
            stage[word.lower()] = value
    elif word == "ENV":
        for pair in shlex.split(rest):
            k, _, v = pair.partition("=")
            stage["env"][k] = v
    elif word == "USER":
        stage["user"] = rest
    elif word == "WORKDIR":
        stage["workdir"] = rest
last = stages[-1]
if last["user"].split(":")[0] in ("root", "0"):
    sys.exit("the image runs as root")
argv = last["entrypoint"] + last["cmd"]
if "--admin-http" in argv or any(p.split("/")[0] in ("9090", "49557") for p in last["expose"]):
    sys.exit("the image opens or exposes its admin controls beyond its loopback")

# The build context as .dockerignore leaves it (later patterns win; a pattern also takes what is
# under a folder it matches; "**/" matches at any depth).
rules = [l.strip() for l in open(os.path.join(repo, ".dockerignore")) if l.strip() and not l.startswith("#")]
def sent(rel):
    parts, keep = rel.split("/"), True
    for rule in rules:
        neg, pat = rule.startswith("!"), rule.lstrip("!")
        if pat.startswith("**/"):
            hit = any(fnmatch.fnmatchcase(p, pat[3:]) for p in parts)
        else:
            hit = any(fnmatch.fnmatchcase("/".join(parts[:j]), pat) for j in range(1, len(parts) + 1))
        if hit:
            keep = neg
    return keep
for stage in stages:
    for src in stage["copied"]:
        if src in (".", "./") or not sent(src.rstrip("/")):
            sys.exit("COPY %s: not a source the build context holds" % src)
for folder in ("", "packaging/", "server/", "src/"):
    for secret in ("accounts", "admin-tokens", "redis-password", "tls.key"):
        if sent(folder + secret):
            sys.exit("a file %s%s would reach the build context" % (folder, secret))
context = set()
for top, dirs, files in os.walk(repo):
    dirs[:] = [d for d in dirs if d != ".git" and not d.startswith("build")]
    context.update(os.path.relpath(os.path.join(top, f), repo) for f in files if sent(os.path.relpath(os.path.join(top, f), repo)))
if not context or any(c.split("/")[0] not in ("CMakeLists.txt", "CMakePresets.json", "sdk", "src", "host", "server")
                      for c in context):
    sys.exit("the build context holds more than the sources: " + ", ".join(sorted(context))[:300])

doc = yaml.safe_load(open(compose))
nodes = doc["services"]
# Secrets are files outside the repository, mounted when the containers run.
for name, secret in doc.get("secrets", {}).items():
    where = os.path.expandvars(secret["file"].replace("${SKYTETHER_SECRETS:-/srv/skytether}", "/srv/skytether"))
    if os.path.realpath(os.path.join(os.path.dirname(compose), where)).startswith(os.path.realpath(repo) + "/"):
        sys.exit("secret %s is kept in the repository, the image's build context" % name)
for name, service in nodes.items():
    for volume in service.get("volumes", []):
        if volume.split(":")[0].startswith((".", "/")):
            sys.exit("%s mounts %s from the host: secrets are compose secrets" % (name, volume))
def write(name, argv):
    with open("%s/%s.argv" % (work, name), "w") as f:
        f.write("\0".join(argv))
write("image", last["entrypoint"] + last["cmd"])
for name in ("node-a", "node-b"):
    if nodes[name]["build"].get("target") != last["name"]:
        sys.exit(name + " does not run the server stage")
    write(name, last["entrypoint"] + nodes[name]["command"])
redis = [s for s in stages if s["name"] == nodes["redis"]["build"]["target"]][0]
write("redis", redis["entrypoint"] + nodes["redis"]["command"])
with open(work + "/image.env", "w") as f:
    f.write("\0".join("%s=%s" % kv for kv in last["env"].items()))
print(last["user"], last["workdir"], file=open(work + "/image.user", "w"))
PY
read -r USER_SPEC WORKDIR <"$work/image.user"
mapfile -d '' ARGV <"$work/image.argv"
mapfile -d '' ENVS <"$work/image.env"
echo "image command: ${ARGV[*]} (as $USER_SPEC in $WORKDIR; env ${ENVS[*]})"

# A root with the server at the image's path, what it loads (the C library) and env to start it.
root=$work/root
install -D -m 755 "$SERVER" "$root${ARGV[0]}"
install -D -m 755 /usr/bin/env "$root/usr/bin/env"
for f in $({ ldd "$SERVER"; ldd /usr/bin/env; } | grep -o "/[^ ]*" | sort -u); do install -D "$f" "$root$f"; done
uid=${USER_SPEC%%:*}
gid=${USER_SPEC##*:}
install -d -o "$uid" -g "$gid" -m 750 "$root$WORKDIR"
install -d "$root/run/secrets"  # as compose mounts its secrets
printf 'alice change-me\n' >"$root/run/secrets/accounts"
printf 'ops image-check-0123456789\n' >"$root/run/secrets/admin-tokens"
chown "$uid:$gid" "$root/run/secrets/accounts" "$root/run/secrets/admin-tokens"
chmod 600 "$root/run/secrets/accounts" "$root/run/secrets/admin-tokens"

wait_log() {  # LOG TEXT
  for _ in $(seq 100); do grep -q "$2" "$1" && return 0; sleep 0.1; done
  fail "no \"$2\" in $1: $(cat "$1")"
}

export root USER_SPEC WORKDIR
unshare -n bash -s "$work" "${ARGV[@]}" <<'INNER' || fail "the image's command"
set -euo pipefail
ip link set lo up
work=$1
shift
mapfile -d '' ENVS <"$work/image.env"
for round in 1 2; do
  chroot --userspec="$USER_SPEC" "$root" /usr/bin/env -i -C "$WORKDIR" "${ENVS[@]}" "$@" >"$work/image.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do grep -q "admin controls on" "$work/image.log" && break; sleep 0.1; done
  grep -q "listening on 0.0.0.0:49556" "$work/image.log" || { cat "$work/image.log"; exit 1; }
  grep -q "admin controls on http://127.0.0.1:49557/" "$work/image.log" || { cat "$work/image.log"; exit 1; }
  [ "$(awk '/^Uid:/ {print $2}' /proc/$pid/status)" = "${USER_SPEC%%:*}" ] || { echo "not running as the image's user"; exit 1; }
  python3 - "$round" <<'PY'
import hashlib, json, socket, sys, urllib.request
def ask(path, token=None, form=None):
    req = urllib.request.Request("http://127.0.0.1:%s" % path, data=form and form.encode(),
                                 headers={"Authorization": "Bearer " + token} if token else {})
    try:
        with urllib.request.urlopen(req, timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
token = "image-check-0123456789"
assert ask("8080/v1/status.json")[0] == 200
assert "!GENERAL:" in ask("8080/v1/whazzup.txt")[1]
assert ask("49557/v1/admin/bans")[0] == 401
s = socket.create_connection(("127.0.0.1", 49556), timeout=5)
s.sendall(("4242|Opening Connection|alice|%s|\n4242|MESSAGE|hello\n"
           % hashlib.md5(b"4242alicechange-me").hexdigest()).encode())
got = s.recv(4096)
if sys.argv[1] == "1":
    assert got.startswith(b"0|m|alice: hello"), got
    code, body = ask("49557/v1/admin/ban", token, "user=alice&reason=image+check")
    assert code == 200 and "4242 (alice)" in body, body
else:  # the ban came back with the restart, from the volume
    assert b"banned" in got, got
    bans = json.loads(ask("49557/v1/admin/bans", token)[1])["bans"]
    assert [b["user"] for b in bans] == ["alice"], bans
print("image command, start %s: pilots, the feeds and the admin controls (on its loopback) answer%s"
      % (sys.argv[1], "; the ban came back from the volume" if sys.argv[1] == "2" else ""))
PY
  kill -TERM "$pid"
  wait "$pid" || { echo "exit status $? after SIGTERM"; cat "$work/image.log"; exit 1; }
done
[ "$(stat -c %u "$root$WORKDIR/bans")" = "${USER_SPEC%%:*}" ] || { echo "ban file not the user's"; exit 1; }
INNER

# The compose file's nodes, each in a network namespace of its own, on one Redis socket.
mapfile -d '' REDIS <"$work/redis.argv"
install -d -o "$uid" -g "$gid" "$root/run/redis"
redis_args=("${REDIS[@]:1}")
for i in "${!redis_args[@]}"; do redis_args[$i]=${redis_args[$i]/\/run\/redis/$root/run/redis}; done
unshare -n redis-server "${redis_args[@]}" --dir "$work" >"$work/redis.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$root/run/redis/redis.sock" ] && break; sleep 0.1; done
[ -S "$root/run/redis/redis.sock" ] || fail "redis did not start: $(cat "$work/redis.log")"
for node in node-a node-b; do
  mapfile -d '' NODE <"$work/$node.argv"
  unshare -n bash -c 'ip link set lo up; exec chroot --userspec="$0" "$1" /usr/bin/env -i -C "$2" "${@:3}"' \
    "$USER_SPEC" "$root" "$WORKDIR" "${ENVS[@]}" "${NODE[@]}" >"$work/$node.log" 2>&1 &
  pids+=($!)
done
wait_log "$work/node-a.log" "node node-b (.*) joined"
wait_log "$work/node-b.log" "node node-a (.*) joined"
echo "image check passed: the image's command serves as $USER_SPEC with only the C library; two compose nodes joined"
