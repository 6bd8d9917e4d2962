#!/usr/bin/env python3
"""How smoothly a remote aircraft moves under each relay rule of the server (bench/smooth.py
measures the smoothing itself, case by case): two pilots fly a 1 km circle (Alpha at 60 m/s, Charlie at
120 m/s, their hosts at 60 fps) and a third host, Bravo, watches them through the real server,
its every frame traced. For each watched pilot and each of Bravo's frame rates, on a clean link
and with 20 +- 10 ms of jitter on every datagram leg (through a small datagram proxy), it gives:
the share of frames in which the aircraft did not move, the share whose step is within 25 % of
the steady step (speed / fps), the median and 95th-percentile distance from where the pilot
really was at that moment, and the moves backwards along the track.

    bench/display.py BUILD OUTDIR [--plugin FILE] [--label NAME] [--smooth 0|1]
                    [--fps 30,60,120] [--links clean,jitter] [--seconds S] [--warmup S]
                    [--relay-rates RULE] [--taxi]

Needs 127.0.0.1:49556 (and 49557 for the jittered runs): run it in a network namespace of its own
(unshare -n), as bench/run_all.sh does. Writes OUTDIR/smooth_NAME_FPS_LINK.json per run.
"""
import argparse
import heapq
import json
import math
import os
import random
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

PORT = 49556
SERVER_PORT_BEHIND_PROXY = 49557
CENTRE = (47.4647, 8.5492)
RADIUS = 1000.0
# name, speed (m/s), phase (deg), altitude (m), radius (m)
FLYERS = [("Alpha", 60.0, 0, 700, RADIUS), ("Charlie", 120.0, 180, 900, RADIUS)]
# With --taxi: an aircraft taxiing round a tight circle on the ground, turning 8 degrees a second.
TAXI = ("Delta", 8.0, 90, 420, 60.0)
WATCHER = "Bravo"
FLYER_FPS = 60
JITTER = (0.010, 0.030)  # seconds each datagram waits on each leg, uniform


class DatagramProxy:
    """Between the plugins and the server: the stream passed on as it comes, every datagram held a
    random time on its way up and again on its way down (so datagrams overtake each other)."""

    def __init__(self, listen_port, server_port, hold):
        self.server = ("127.0.0.1", server_port)
        self.hold = hold
        self.stop = False
        self.sel = selectors.DefaultSelector()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", listen_port))
        self.udp.setblocking(False)
        self.sel.register(self.udp, selectors.EVENT_READ, ("down-in", None))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("127.0.0.1", listen_port))
        self.tcp.listen(16)
        self.tcp.setblocking(False)
        self.sel.register(self.tcp, selectors.EVENT_READ, ("accept", None))
        self.upstream = {}  # plugin address -> socket towards the server
        self.due = []  # (time, seq, socket, bytes, address)
        self.seq = 0
        self.rng = random.Random(22)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def later(self, sock, data, addr):
        self.seq += 1
        heapq.heappush(self.due, (time.monotonic() + self.rng.uniform(*self.hold), self.seq, sock, data, addr))

    def run(self):
        while not self.stop:
            timeout = 0.05
            if self.due:
                timeout = max(0.0, min(timeout, self.due[0][0] - time.monotonic()))
            for key, _ in self.sel.select(timeout):
                kind, other = key.data
                try:
                    if kind == "accept":
                        conn, _ = self.tcp.accept()
                        up = socket.create_connection(self.server)
                        for a, b in ((conn, up), (up, conn)):
                            a.setblocking(False)
                            self.sel.register(a, selectors.EVENT_READ, ("stream", b))
                    elif kind == "stream":
                        data = key.fileobj.recv(65536)
                        if not data:
                            self.sel.unregister(key.fileobj)
                            key.fileobj.close()
                            continue
                        other.setblocking(True)
                        other.sendall(data)
                        other.setblocking(False)
                    elif kind == "down-in":  # from a plugin, for the server
                        while True:
                            data, addr = self.udp.recvfrom(2048)
                            up = self.upstream.get(addr)
                            if up is None:
                                up = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                                up.bind(("127.0.0.1", 0))
                                up.setblocking(False)
                                self.upstream[addr] = up
                                self.sel.register(up, selectors.EVENT_READ, ("up-in", addr))
                            self.later(up, data, self.server)
                    elif kind == "up-in":  # from the server, for the plugin at `other`
                        while True:
                            data = key.fileobj.recv(2048)
                            self.later(self.udp, data, other)
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    pass
            now = time.monotonic()
            while self.due and self.due[0][0] <= now:
                _, _, sock, data, addr = heapq.heappop(self.due)
                try:
                    sock.sendto(data, addr)
                except OSError:
                    pass

    def close(self):
        self.stop = True
        self.thread.join(timeout=2)
        for key in list(self.sel.get_map().values()):
            key.fileobj.close()


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def start_pilot(build, plugin, work, name, fps, seconds, smooth, script, start):
    root = os.path.join(work, name)
    write(os.path.join(root, "Resources/plugins/stprefs.txt"),
          "callsign=%s;userID=%s;password=;flightMode=0;cockpitPosition=0;crewID=;connectAtStartup=1;"
          "smoothTraffic=%d;" % (name, name.lower(), smooth))
    write(os.path.join(root, "Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf"), "model")
    write(os.path.join(root, "script.txt"), "\n".join(script) + "\n")
    log = open(os.path.join(work, name + ".log"), "w")
    return subprocess.Popen(
        [os.path.join(build, "host", "skytether-host"), "--plugin", plugin, "--root", root,
         "--seconds", "%.3f" % seconds, "--fps", str(fps), "--realtime", "--load-ms", "0", "--start", "%.6f,%.6f,%d" % start,
         "--script", os.path.join(root, "script.txt"), "--trace", os.path.join(work, name + ".trace"),
         "--dump", os.path.join(work, name + ".json")],
        stdout=log, stderr=subprocess.STDOUT)


def read_trace(path):
    frames = []
    with open(path) as f:
        for line in f:
            v = line.split()
            if len(v) < 8:
                continue
            # The user's own pitch and roll (v[6], v[7]) are not used here.
            planes = {}
            for k in range(8, len(v) - 6, 7):
                planes[int(v[k])] = tuple(float(x) for x in v[k + 1:k + 7])
            frames.append((int(v[0]) * 1e-6, float(v[2]), float(v[3]), float(v[4]), float(v[5]), planes))
    return frames


def to_metres(lat, lon, el):
    """East, north, up in metres from the circle's centre (flat over a few kilometres)."""
    a, f = 6378137.0, 1 / 298.257223563
    e2 = f * (2 - f)
    p = math.radians(CENTRE[0])
    w = 1 - e2 * math.sin(p) ** 2
    m, n = a * (1 - e2) / w ** 1.5, a / math.sqrt(w)
    return (math.radians(lon - CENTRE[1]) * n * math.cos(p), math.radians(lat - CENTRE[0]) * m, el)


def truth_at(trace, times, t):
    """The pilot's own position (metres) and velocity at wall time t, between its frames."""
    import bisect
    i = bisect.bisect_right(times, t)
    if i <= 0 or i >= len(trace):
        return None
    (t0, la0, lo0, e0, _, _), (t1, la1, lo1, e1, _, _) = trace[i - 1], trace[i]
    if t1 <= t0:
        return None
    s = (t - t0) / (t1 - t0)
    p0, p1 = to_metres(la0, lo0, e0), to_metres(la1, lo1, e1)
    pos = tuple(p0[k] + s * (p1[k] - p0[k]) for k in range(3))
    vel = tuple((p1[k] - p0[k]) / (t1 - t0) for k in range(3))
    return pos, vel


def percentile(values, q):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(round(q * (len(v) - 1))))]


def analyse(watcher, flyer, speed, fps, window, radius=RADIUS):
    times = [f[0] for f in flyer]
    frames = [f for f in watcher if window[0] <= f[0] <= window[1]]
    # The slot that shows the pilot: the one nearest its truth in the first frames.
    votes = {}
    for f in frames[:30]:
        tr = truth_at(flyer, times, f[0])
        if not tr:
            continue
        best = min(f[5].items(), key=lambda kv: math.dist(to_metres(*kv[1][:3]), tr[0]), default=None)
        if best:
            votes[best[0]] = votes.get(best[0], 0) + 1
    if not votes:
        return {"error": "the pilot was not shown"}
    slot = max(votes, key=votes.get)
    step = speed / fps
    turn_step = math.degrees(speed / radius) / fps
    # When a simulated host falls behind the wall clock it runs the frames it missed back to back,
    # so its pilot stands still and then jumps (in the host itself, not on the way): a frame of
    # Bravo's is disturbed when Bravo's own frame came more than half a frame early or late, or
    # the watched pilot's host fell behind in the 0.6 s before it.
    stalls = [(flyer[i - 1][0], flyer[i][0]) for i in range(1, len(flyer))
              if flyer[i][0] - flyer[i - 1][0] > 1.5 / FLYER_FPS]
    records, prev, missing = [], None, 0
    for f in frames:
        if slot not in f[5]:
            missing += 1
            prev = None
            continue
        lat, lon, el, psi = f[5][slot][:4]
        pos = to_metres(lat, lon, el)
        tr = truth_at(flyer, times, f[0])
        rec = {"error": math.dist(pos, tr[0]) if tr else None, "step": None}
        if prev is not None:
            rec["step"] = math.dist(pos, prev[1])
            interval = f[0] - prev[0]
            rec["disturbed"] = abs(interval - 1.0 / fps) > 0.5 / fps or any(
                a < f[0] and b > f[0] - 0.6 for a, b in stalls)
            rec["along"] = None
            if tr:
                vn = math.sqrt(sum(x * x for x in tr[1])) or 1.0
                rec["along"] = sum((pos[k] - prev[1][k]) * tr[1][k] for k in range(3)) / vn
            rec["heading"] = abs((psi - prev[2] + 180) % 360 - 180) / turn_step
            rec["t"] = round(f[0] - frames[0][0], 5)
        records.append(rec)
        prev = (f[0], pos, psi)

    def summary(rs):
        steps = [r for r in rs if r["step"] is not None]
        n = len(steps)
        errors = [r["error"] for r in rs if r["error"] is not None]
        return {
            "frames": n,
            "still_share": sum(1 for r in steps if r["step"] < 1e-3) / n if n else None,
            "within_25_share": sum(1 for r in steps if abs(r["step"] - step) <= 0.25 * step) / n if n else None,
            "median_error_m": percentile(errors, 0.5), "p95_error_m": percentile(errors, 0.95),
            "backward_moves": sum(1 for r in steps if r["along"] is not None and r["along"] < -1e-3),
            "heading_step_p95_ratio": percentile([r["heading"] for r in steps], 0.95),
            "step_p05_m": percentile([r["step"] for r in steps], 0.05),
            "step_p95_m": percentile([r["step"] for r in steps], 0.95),
        }

    kept = summary([r for r in records if not r.get("disturbed")])
    out = dict(kept)
    out.update({"slot": slot, "frames_missing": missing, "steady_step_m": step,
                "disturbed_frames": sum(1 for r in records if r.get("disturbed")),
                "all_frames": summary(records),
                "series": [(r["t"], round(r["step"], 4)) for r in records if r["step"] is not None][: int(2 * fps)]})
    return out


def flyers(args):
    return FLYERS + ([TAXI] if args.taxi else [])


def run_one(args, fps, link):
    work = tempfile.mkdtemp(prefix="skytether-smooth-")
    procs, proxy = [], None
    try:
        server_port = PORT if link == "clean" else SERVER_PORT_BEHIND_PROXY
        log = open(os.path.join(work, "server.log"), "w")
        server = subprocess.Popen([os.path.join(args.build, "server", "skytether-server"), "--listen", "127.0.0.1",
                                   "--port", str(server_port)] +
                                  (["--relay-rates", args.relay_rates] if args.relay_rates else []),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        procs.append(server)
        # Its output goes to server.log as it comes; the pilots start once it listens.
        listening = threading.Event()

        def copy():
            for line in server.stdout:
                log.write(line.decode(errors="replace"))
                log.flush()
                if b"listening on" in line:
                    listening.set()

        threading.Thread(target=copy, daemon=True).start()
        listening.wait(5)
        if link == "jitter":
            proxy = DatagramProxy(PORT, server_port, JITTER)
        total = args.warmup + args.seconds
        for name, speed, phase, alt, radius in flyers(args):
            script = ["0 fly circle %.6f %.6f %d %d %d %d" % (CENTRE[0], CENTRE[1], alt, radius, speed, phase)]
            # Each host's origin where its pilot starts: north of the centre for phase 0, south for 180.
            start = (CENTRE[0] + math.cos(math.radians(phase)) * radius / 111200.0, CENTRE[1], alt)
            procs.append(start_pilot(args.build, args.plugin, work, name, FLYER_FPS, total + 3, args.smooth, script,
                                     start))
        started = time.time()
        procs.append(start_pilot(args.build, args.plugin, work, WATCHER, fps, total, args.smooth, [],
                                 (CENTRE[0], CENTRE[1], 800)))
        failed = ["%s: %d" % (os.path.basename(p.args[4]), p.returncode) for p in procs[1:]
                  if p.wait(timeout=total + 60) != 0]
        watcher = read_trace(os.path.join(work, WATCHER + ".trace"))
        window = (started + args.warmup, started + total)
        out = {"label": args.label, "plugin": args.plugin, "smooth": args.smooth, "fps": fps, "link": link,
               "relay_rates": args.relay_rates or "default",
               "flyer_fps": FLYER_FPS, "seconds": args.seconds, "jitter_ms": [1000 * x for x in JITTER],
               "load": os.getloadavg(), "failed": failed, "pilots": {}}
        for name, speed, _, _, radius in flyers(args):
            fig = analyse(watcher, read_trace(os.path.join(work, name + ".trace")), speed, fps, window, radius)
            fig["speed"] = speed
            out["pilots"][name] = fig
        return out
    finally:
        if proxy:
            proxy.close()
        for p in procs:
            if p.poll() is None:
                p.terminate()
        for p in procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        if args.keep:
            print("   kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("outdir")
    ap.add_argument("--plugin")
    ap.add_argument("--label", default="after")
    ap.add_argument("--smooth", type=int, default=1)
    ap.add_argument("--fps", default="30,60,120")
    ap.add_argument("--links", default="clean,jitter")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--warmup", type=float, default=6)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--relay-rates", help="the server's --relay-rates (default: its own default)")
    ap.add_argument("--taxi", action="store_true", help="a fourth host taxiing round a 60 m circle")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.plugin = os.path.abspath(args.plugin or os.path.join(args.build, "Skytether", "lin_x64", "Skytether.xpl"))
    os.makedirs(args.outdir, exist_ok=True)
    for link in args.links.split(","):
        for fps in [int(x) for x in args.fps.split(",")]:
            r = run_one(args, fps, link)
            with open(os.path.join(args.outdir, "smooth_%s_%d_%s.json" % (args.label, fps, link)), "w") as f:
                json.dump(r, f)
            for name, fig in r["pilots"].items():
                if "error" in fig:
                    print("%-8s %3d fps %-6s %-7s %s" % (args.label, fps, link, name, fig["error"]), flush=True)
                    continue
                print("%-8s %3d fps %-6s %-7s still %5.1f %%  within 25 %% %5.1f %%  error median %5.2f m "
                      "p95 %5.2f m  backward %3d  heading p95 %4.1fx  disturbed %d/%d%s" % (
                          args.label, fps, link, name, 100 * fig["still_share"], 100 * fig["within_25_share"],
                          fig["median_error_m"], fig["p95_error_m"], fig["backward_moves"],
                          fig["heading_step_p95_ratio"], fig["disturbed_frames"], fig["frames"] + fig["disturbed_frames"],
                          "  FAILED: %s" % r["failed"] if r["failed"] else ""), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
