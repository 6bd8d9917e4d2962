#!/usr/bin/env python3
"""How truly and smoothly another pilot's aircraft is shown: one pilot (the sender) flies a scripted
path in a simulated host, through the real server, and eight other hosts watch it, each tracing every
frame it draws: at 30, 60, 90 and 120 fps, each with smoothing on and off. The sender's own trace is
the truth; every frame of every watcher is compared with where the sender really was at that moment.

Cases (each 15 s measured after 6 s of warm-up; events 5 s into the measured part):
  paths, on a clean link:   turn, bank45, climb, taxi, cruise250, touchgo
  link and sender cases (the turn at 70 m/s unless named): loss5, jitter, dup, outage, outage250,
                            sender20, sender144, stall, stop, teleport

    bench/smooth.py BUILD OUTDIR [--plugin FILE] [--label NAME] [--before FILE] [--cases a,b,...]
                    [--fps 30,60,90,120] [--seconds S] [--warmup S] [--relay-rates RULE] [--keep]

Needs 127.0.0.1:49556 and 49557: run it in a network namespace of its own (unshare -n, or the
sandbox's `isolated`), as bench/run_all.sh does. Writes OUTDIR/smooth_LABEL_CASE.json per case.
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

from simhosts import (DatagramProxy, Metres, percentile, read_trace, relay_rule, start_host, start_server, stop,
                      wrap)

PORT = 49556        # the server
PROXY_PORT = 49557  # the sender's way to the server: its datagrams meet the case's link there
G = 9.80665


def coordinated(speed, turn_dps):
    return math.degrees(math.atan(speed * math.radians(turn_dps) / G))


class Case:
    """A sender's path: script lines (seconds after the warm-up, fly/stall verbs), where it starts,
    its frame rate, and what its datagrams meet on the way to the server."""

    def __init__(self, name, what, speed, start, lines, fps=60, link="clean", events=()):
        self.name, self.what, self.speed, self.start = name, what, speed, start
        self.lines, self.fps, self.link, self.events = lines, fps, link, list(events)


HOME = (47.4647, 8.5492)
EAST = (35.5, 139.8)  # a float's step in longitude is 1.38 m here
TURN = ["-6 fly steer 70 3 0 heading 0"]


def turn_case(name, what, fps=60, link="clean", extra=(), events=(), speed=70, lines=None):
    return Case(name, what, speed, (HOME[0], HOME[1], 700), (lines or TURN) + list(extra), fps, link, events)


CASES = [
    turn_case("turn", "steady turn, 70 m/s at 3°/s (bank 20.5°)"),
    Case("bank45", "70 m/s: level, a sudden roll to 45° turning 8°/s, then to 23° turning 3.4°/s", 70,
         (HOME[0], HOME[1], 700),
         ["-6 fly steer 70 0 0 heading 0 bank 0", "2 fly steer 70 8.03 0 bank 45",
          "9 fly steer 70 3.41 0 bank 23"], events=[2, 9]),
    Case("climb", "70 m/s: level, climbing 10 m/s in a 2°/s turn, level again", 70, (HOME[0], HOME[1], 700),
         ["-6 fly steer 70 0 0 heading 0", "3 fly steer 70 2 10", "10 fly steer 70 0 0"], events=[3, 10]),
    Case("taxi", "taxi at 8 m/s at 35.5 N 139.8 E: straight, 90° turns at 15°/s", 8, (EAST[0], EAST[1], 10),
         ["-6 fly steer 8 0 0 heading 90 bank 0", "0 fly steer 8 15 0 bank 0", "6 fly steer 8 0 0 bank 0",
          "8 fly steer 8 -15 0 bank 0", "14 fly steer 8 0 0 bank 0"], events=[0, 6, 8, 14]),
    Case("cruise250", "cruise at 250 m/s, 10 km up, a 1°/s turn", 250, (HOME[0], HOME[1], 10000),
         ["-6 fly steer 250 0 0 heading 90", "4 fly steer 250 1 0", "11 fly steer 250 0 0"], events=[4, 11]),
    Case("touchgo", "touch-and-go: 70 m/s down 3.5 m/s, 3 s on the runway at 65 m/s, climb-out 5 m/s", 70,
         (HOME[0], HOME[1], 400 + 3.5 * 11),
         ["-6 fly steer 70 0 -3.5 heading 140 bank 0", "5 fly steer 65 0 0 bank 0", "8 fly steer 70 0 5 bank 0"],
         events=[5, 8]),
    turn_case("loss5", "the turn, 5 % of the sender's datagrams lost", link="loss5"),
    turn_case("jitter", "the turn, each datagram held 10 to 90 ms (50 ± 40), so they overtake each other",
              link="jitter"),
    turn_case("dup", "the turn, each datagram sent twice, the copy 0 to 20 ms later", link="dup"),
    turn_case("outage", "the turn, no datagram of the sender's for 1 s", link="outage", events=[5, 6]),
    Case("outage250", "cruise at 250 m/s, no datagram of the sender's for 1 s", 250, (HOME[0], HOME[1], 10000),
         ["-6 fly steer 250 0 0 heading 90", "4 fly steer 250 1 0"], link="outage", events=[5, 6]),
    turn_case("sender20", "the turn, the sender's host at 20 fps", fps=20),
    turn_case("sender144", "the turn, the sender's host at 144 fps", fps=144),
    turn_case("stall", "the turn, the sender's host hangs 2 s (no frame; it goes on from where it was)",
              extra=["5 stall 2"], events=[5, 7]),
    turn_case("stop", "the turn, the sender stops dead for 2 s (its reports go on), then goes on",
              extra=["5 fly steer 0 0 0 bank 20.5", "7 fly steer 70 3 0"], events=[5, 7]),
    turn_case("teleport", "the turn, the sender put 20 km east at once", extra=["5 fly jump 20000 0"],
              events=[5]),
]
CASE_BY_NAME = {c.name: c for c in CASES}


class SenderLink(DatagramProxy):
    """Between the sender's plugin and the server: the stream passed on as it comes, each of the
    sender's datagrams dropped, held or doubled as the case's link says; the server's datagrams
    to the sender pass at once."""

    def __init__(self, listen_port, server_port, link, t0):
        self.link, self.t0 = link, t0
        self.rng = random.Random(33)
        self.seen, self.passed, self.arrivals = 0, 0, []
        super().__init__(listen_port, server_port)

    def holds(self):
        """Seconds each copy of a datagram waits; none: it is lost."""
        t = time.time() - self.t0
        if self.link == "loss5":
            return [] if self.rng.random() < 0.05 else [0.0]
        if self.link == "jitter":
            return [self.rng.uniform(0.010, 0.090)]
        if self.link == "dup":
            return [0.0, self.rng.uniform(0.0, 0.020)]
        if self.link == "outage" and 5.0 <= t < 6.0:
            return []
        return [0.0]

    def up(self, sock, data):
        self.seen += 1
        holds = self.holds()
        if holds:
            self.passed += 1
            self.arrivals.append(time.time() - self.t0 + min(holds))
        for hold in holds:
            self.later(sock, data, self.server, hold)


class Truth:
    """The sender's own trace, between its frames."""

    def __init__(self, frames, metres):
        self.t = [f[0] for f in frames]
        self.p = [metres(*f[1][0][:3]) for f in frames]
        self.att = [f[1][0][3:6] for f in frames]

    def at(self, t):
        i = bisect.bisect_right(self.t, t)
        if i <= 0 or i >= len(self.t):
            return None
        t0, t1 = self.t[i - 1], self.t[i]
        s = (t - t0) / (t1 - t0) if t1 > t0 else 0.0
        p = tuple(self.p[i - 1][k] + s * (self.p[i][k] - self.p[i - 1][k]) for k in range(3))
        v = tuple((self.p[i][k] - self.p[i - 1][k]) / (t1 - t0) if t1 > t0 else 0.0 for k in range(3))
        a0, a1 = self.att[i - 1], self.att[i]
        att = tuple(a0[k] + s * wrap(a1[k] - a0[k]) for k in range(3))
        return p, v, att

    def phi_range(self, t0, t1):
        i, j = bisect.bisect_left(self.t, t0), bisect.bisect_right(self.t, t1)
        values = [a[2] for a in self.att[max(0, i - 1):j + 1]]
        return (min(values), max(values)) if values else None


def analyse(case, watcher, fps, truth, metres, window, sender_gaps, t0):
    frames = [f for f in watcher if window[0] <= f[0] <= window[1]]
    # The sender's slot: the one nearest the truth in the first frames.
    votes = {}
    for f in frames[:30]:
        tr = truth.at(f[0])
        if not tr:
            continue
        best = min(((n, p) for n, p in f[1].items() if n != 0), key=lambda kv: math.dist(metres(*kv[1][:3]), tr[0]),
                   default=None)
        if best:
            votes[best[0]] = votes.get(best[0], 0) + 1
    if not votes:
        return {"error": "the sender was not shown"}
    slot = max(votes, key=votes.get)
    steady = case.speed / fps
    # A host that falls behind the wall clock runs the frames it missed back to back: a watcher's
    # frame more than half a frame early or late, or one within 0.6 s after the sender's host fell
    # behind (but not its scripted stall), is disturbed by the machine, not by the plugin.
    # A jump of the sender's own (a teleport) is one jump on any screen: the 0.5 s after it are left
    # out of the largest step and error (the time over 2 m still counts them).
    jumps = [truth.t[i] for i in range(1, len(truth.t)) if math.dist(truth.p[i], truth.p[i - 1]) > 100]
    records, prev, missing, last_dir = [], None, 0, None
    for f in frames:
        tr = truth.at(f[0])
        if slot not in f[1] or not tr:
            missing += 1
            prev = None
            continue
        lat, lon, el, psi, theta, phi = f[1][slot]
        pos = metres(lat, lon, el)
        speed = math.sqrt(sum(x * x for x in tr[1]))
        if speed > 0.5:
            last_dir = tuple(x / speed for x in tr[1])
        rec = {"t": f[0] - t0, "error": math.dist(pos, tr[0]), "phi_error": abs(wrap(phi - tr[2][2])),
               "theta_error": abs(wrap(theta - tr[2][1])), "step": None,
               "jump": any(0 <= f[0] - j <= 0.5 for j in jumps)}
        if last_dir:
            rec["lead"] = sum((pos[k] - tr[0][k]) * last_dir[k] for k in range(3))
        rng = truth.phi_range(f[0] - 1.0, f[0])
        if rng:
            rec["phi_beyond"] = max(0.0, phi - rng[1], rng[0] - phi)
        if prev is not None:
            rec["step"] = math.dist(pos, prev["pos"])
            rec["true_step"] = math.dist(tr[0], prev["truth"])
            rec["disturbed"] = abs(f[0] - prev["wall"] - 1.0 / fps) > 0.5 / fps or any(
                a < f[0] and b > f[0] - 0.6 for a, b in sender_gaps)
            rec["along"] = sum((pos[k] - prev["pos"][k]) * last_dir[k] for k in range(3)) if last_dir else 0.0
        records.append(rec)
        prev = {"wall": f[0], "pos": pos, "truth": tr[0]}

    def summary(rs):
        steps = [r for r in rs if r["step"] is not None and not r["jump"]]
        moving = [r for r in steps if r["true_step"] >= 1e-3]
        errors = [r["error"] for r in rs if not r["jump"]]
        spell, longest, start = 0.0, 0.0, None
        for r in rs:
            if r["error"] > 2.0:
                start = r["t"] if start is None else start
                longest = max(longest, r["t"] - start + 1.0 / fps)
            else:
                start = None
        return {
            "frames": len(steps),
            "still_share": sum(1 for r in moving if r["step"] < 1e-3) / len(moving) if moving else None,
            "within_25_share": sum(1 for r in moving if abs(r["step"] - r["true_step"]) <= 0.25 * r["true_step"])
            / len(moving) if moving else None,
            "median_error_m": percentile(errors, 0.5), "p95_error_m": percentile(errors, 0.95),
            "max_error_m": max(errors) if errors else None,
            "backward_frames": sum(1 for r in steps if r["along"] < -1e-3),
            "backward_m": -sum(r["along"] for r in steps if r["along"] < -1e-3),
            "largest_step_ratio": max((r["step"] for r in steps), default=0) / steady if steady > 0 else None,
            "over_2m_s": longest,
            "lead_max_m": max((r.get("lead", 0.0) for r in rs), default=0.0),
            "phi_error_p95": percentile([r["phi_error"] for r in rs], 0.95),
            "phi_error_max": max((r["phi_error"] for r in rs), default=None),
            "phi_beyond_max": max((r.get("phi_beyond", 0.0) for r in rs), default=0.0),
            "theta_error_max": max((r["theta_error"] for r in rs), default=None),
        }

    out = summary([r for r in records if not r.get("disturbed")])
    out.update({"slot": slot, "frames_missing": missing, "steady_step_m": steady, "sender_jumps": len(jumps),
                "disturbed_frames": sum(1 for r in records if r.get("disturbed")),
                "all_frames": summary(records)})
    # The steady bank: frames at least 1.5 s after the sender's own roll last changed (its script's
    # times are its own clock's, which a busy machine puts later on the wall clock).
    if case.name == "bank45":
        # (from the frame before the change: the truth goes from one frame's roll to the next's)
        rolls = [truth.t[i - 1] - t0 for i in range(1, len(truth.t))
                 if abs(wrap(truth.att[i][2] - truth.att[i - 1][2])) > 0.01]
        steady_phi = [r["phi_error"] for r in records if all(not (0 <= r["t"] - e < 1.5) for e in rolls)]
        out["steady_phi_error_max"] = max(steady_phi) if steady_phi else None
    if fps == 60:
        out["series"] = [(round(r["t"], 4), round(r["step"], 4), round(r["true_step"], 4), round(r["error"], 3))
                         for r in records if r["step"] is not None]
    return out


def run_case(args, case):
    work = tempfile.mkdtemp(prefix="skytether-smooth-")
    procs, link = [], None
    fps_list = [int(x) for x in args.fps.split(",")]
    try:
        procs.append(start_server(os.path.join(args.build, "server", "skytether-server"), work, PORT,
                                  args.relay_rates))
        total = args.warmup + args.seconds
        t0 = time.time()
        link = SenderLink(PROXY_PORT, PORT, case.link, t0 + args.warmup)
        script = []
        for line in case.lines:
            at, rest = line.split(" ", 1)
            script.append("%.3f %s" % (max(0.0, float(at) + args.warmup), rest))
        sender = start_host(args.build, args.plugin, work, "Sender", case.fps, total + 3, args.smooth_sender,
                            case.start, script, port=PROXY_PORT)
        procs.append(sender)
        # The watchers stand 5 km south-west of where the sender starts, off its path.
        home = (case.start[0] - 0.032, case.start[1] - 0.05, case.start[2] - 50 if case.start[2] > 100 else 0)
        watchers = []
        for fps in fps_list:
            for smooth in (1, 0):
                name = "W%d%s" % (fps, "on" if smooth else "off")
                watchers.append((name, fps, smooth))
                procs.append(start_host(args.build, args.plugin, work, name, fps, total, smooth, home, [], port=PORT))
        failed = ["%s: %d" % (os.path.basename(p.args[4]), p.returncode) for p in procs[1:]
                  if p.wait(timeout=total + 60) != 0]
        sender_frames = read_trace(os.path.join(work, "Sender.trace"))
        metres = Metres(case.start[0], case.start[1])
        truth = Truth(sender_frames, metres)
        # Where the sender's host fell behind the wall clock (its scripted stall aside).
        gaps = [(sender_frames[i - 1][0], sender_frames[i][0]) for i in range(1, len(sender_frames))
                if 1.5 / case.fps < sender_frames[i][0] - sender_frames[i - 1][0] < 1.0]
        window = (t0 + args.warmup, t0 + total)
        arrivals = [a for a in link.arrivals if 0 <= a <= args.seconds]
        report_gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        out = {"label": args.label, "plugin": args.plugin, "case": case.name, "what": case.what,
               "speed": case.speed, "sender_fps": case.fps, "link": case.link, "seconds": args.seconds,
               "relay_rates": relay_rule(work) or args.relay_rates or "default",
               "load": os.getloadavg(), "failed": failed, "events": case.events,
               "sender_behind": len(gaps), "sender_longest_behind_s": max((b - a for a, b in gaps), default=0),
               "report_gap_max_s": max(report_gaps, default=None),
               "report_gap_p99_s": percentile(report_gaps, 0.99),
               "datagrams": [link.seen, link.passed], "watchers": {}}
        for name, fps, smooth in watchers:
            fig = analyse(case, read_trace(os.path.join(work, name + ".trace")), fps, truth, metres, window, gaps,
                          t0 + args.warmup)
            fig.update({"fps": fps, "smooth": smooth})
            out["watchers"][name] = fig
        return out
    finally:
        if link:
            link.close()
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
    ap.add_argument("--before", help="another plugin file: each case runs with it, labelled before, then with this one")
    ap.add_argument("--cases", default=",".join(c.name for c in CASES))
    ap.add_argument("--fps", default="30,60,90,120")
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--warmup", type=float, default=6)
    ap.add_argument("--smooth-sender", type=int, default=1)
    ap.add_argument("--relay-rates", help="the server's --relay-rates (default: its own default)")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.plugin = os.path.abspath(args.plugin or os.path.join(args.build, "Skytether", "lin_x64", "Skytether.xpl"))
    args.before = os.path.abspath(args.before) if args.before else None
    os.makedirs(args.outdir, exist_ok=True)
    # With a plugin to compare against, each case runs with it ("before") and then with this one,
    # one right after the other, so that both meet the same load.
    runs = [(name, label, plugin) for name in args.cases.split(",")
            for label, plugin in ([("before", args.before)] if args.before else []) + [(args.label, args.plugin)]]
    for name, label, plugin in runs:
        case = CASE_BY_NAME[name]
        args.label, args.plugin = label, plugin
        r = run_case(args, case)
        with open(os.path.join(args.outdir, "smooth_%s_%s.json" % (label, name)), "w") as f:
            json.dump(r, f)
        print("%-7s %-10s load %.1f%s  longest report gap %s s" % (
            args.label, name, r["load"][0], "  FAILED: %s" % r["failed"] if r["failed"] else "",
            "%.3f" % r["report_gap_max_s"] if r["report_gap_max_s"] is not None else "-"), flush=True)
        for wname, fig in r["watchers"].items():
            if "error" in fig:
                print("   %-7s %s" % (wname, fig["error"]), flush=True)
                continue
            pct = lambda v: "%5.1f %%" % (100 * v) if v is not None else "    - "
            print("   %-7s still %s  within 25 %% %s  error median %6.2f p95 %6.2f max %7.2f m  backward %3d "
                  "(%.2f m)  step max %5.1fx  over 2 m %4.2f s  lead %6.2f m  bank p95 %4.1f° beyond %4.1f°  "
                  "disturbed %d/%d" % (
                      wname, pct(fig["still_share"]), pct(fig["within_25_share"]), fig["median_error_m"],
                      fig["p95_error_m"], fig["max_error_m"], fig["backward_frames"], fig["backward_m"],
                      fig["largest_step_ratio"], fig["over_2m_s"], fig["lead_max_m"], fig["phi_error_p95"],
                      fig["phi_beyond_max"], fig["disturbed_frames"], fig["frames"] + fig["disturbed_frames"]),
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
