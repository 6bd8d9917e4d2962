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
import bisect
import json
import math
import os
import random
import shutil
import sys
import tempfile
import time

import simhosts
from simhosts import DatagramProxy, percentile, start_host, start_server, stop

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


class JitterProxy(DatagramProxy):
    """Every datagram held a random time on its way up and again on its way down (so datagrams
    overtake each other)."""

    def __init__(self, listen_port, server_port, hold):
        self.hold = hold
        self.rng = random.Random(22)
        super().__init__(listen_port, server_port)

    def up(self, sock, data):
        self.later(sock, data, self.server, self.rng.uniform(*self.hold))

    def down(self, data, addr):
        self.later(self.udp, data, addr, self.rng.uniform(*self.hold))


def read_trace(path):
    """Per frame: (wall time, own latitude, longitude, elevation, heading, {slot: (lat, lon, el,
    psi, theta, phi)} of the others)."""
    return [(t, *planes[0][:4], {k: v for k, v in planes.items() if k}) for t, planes in simhosts.read_trace(path)]


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
        procs.append(start_server(args.server, work, server_port, args.relay_rates))
        if link == "jitter":
            proxy = JitterProxy(PORT, server_port, JITTER)
        total = args.warmup + args.seconds
        for name, speed, phase, alt, radius in flyers(args):
            script = ["0 fly circle %.6f %.6f %d %d %d %d" % (CENTRE[0], CENTRE[1], alt, radius, speed, phase)]
            # Each host's origin where its pilot starts: north of the centre for phase 0, south for 180.
            start = (CENTRE[0] + math.cos(math.radians(phase)) * radius / 111200.0, CENTRE[1], alt)
            procs.append(start_host(args.build, args.plugin, work, name, FLYER_FPS, total + 3, args.smooth, start,
                                    script, dump=True))
        started = time.time()
        procs.append(start_host(args.build, args.plugin, work, WATCHER, fps, total, args.smooth,
                                (CENTRE[0], CENTRE[1], 800), [], dump=True))
        failed = ["%s: %d" % (os.path.basename(p.args[4]), p.returncode) for p in procs[1:]
                  if p.wait(timeout=total + 60) != 0]
        watcher = read_trace(os.path.join(work, WATCHER + ".trace"))
        window = (started + args.warmup, started + total)
        out = {"label": args.label, "plugin": args.plugin, "smooth": args.smooth, "fps": fps, "link": link,
               "relay_rates": simhosts.relay_rule(work) or args.relay_rates or "default", "server": args.server,
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
        stop(procs)
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
    ap.add_argument("--server", help="another server program (default: the build's)")
    ap.add_argument("--taxi", action="store_true", help="a fourth host taxiing round a 60 m circle")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.plugin = os.path.abspath(args.plugin or os.path.join(args.build, "Skytether", "lin_x64", "Skytether.xpl"))
    args.server = os.path.abspath(args.server or os.path.join(args.build, "server", "skytether-server"))
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
