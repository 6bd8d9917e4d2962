#!/usr/bin/env python3
"""What a pilot sees of others in the simulated host, against the real server, figure by figure.
The host is this build's (flight loops before and after its flight model, as the host simulator
runs them); the plugin and the server may be others (--plugin, --server: before and after).

    bench/host_figures.py BUILD [--plugin FILE] [--server FILE] [--relay-rates RULE] [FIGURE...]

Figures:
  shift      Alpha circles at 60 m/s; Bravo's host moves its origin about 8 s in (--trials runs):
             frames in which Alpha stood still within 5 frames of the shift, and the largest
             distance from where Alpha was, there and over the 2 s around it (smoothing on and off)
  shiftfar   the same with Alpha's circle 30 km north of Bravo
  lag        Alpha circles at 80 m/s at 60 fps; a listener logged in beside it reads every report
             the server relays: how far each report's position lies from where Alpha was in the
             frame that stamped it (both as the 32-bit floats the line carries)
  reconnect  19 pilots beside a host that loads one model in 50 ms, all in one model, then each in
             its own; the host disconnects and connects again: models loaded after the reconnect
  hostile    a pilot beside the host whose elevations flip between +-3.4e38, 30 a second for 10 s,
             each report timed: writes of an infinity or a NaN the host counted
  untimed    a pilot whose reports all carry the time 0|0, its heading one degree more in each of
             85 reports, 20 a second: reports whose heading the host showed (smoothing on and off)
Runs on 127.0.0.1 with ports the kernel picks; the runners run in real time.
"""
import argparse
import bisect
import json
import math
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "load"))
sys.path.insert(0, HERE)
from hostile import Pilot, Server, paced, readable  # noqa: E402
from display import read_trace, to_metres, truth_at  # noqa: E402

HOME = (47.4647, 8.5492)


def f32(v):
    return struct.unpack("f", struct.pack("f", v))[0]


class Host:
    """One runner with the plugin, logged in to the server, in real time."""

    def __init__(self, args, work, name, seconds, smooth=True, script=(), start=(47.4647, 8.5492, 800),
                 origin=None, extra=()):
        self.root = os.path.join(work, name)
        self.trace, self.dump = os.path.join(work, name + ".trace"), os.path.join(work, name + ".json")
        write(os.path.join(self.root, "Resources/plugins/stprefs.txt"),
              "callsign=%s;userID=%s;password=;flightMode=0;cockpitPosition=0;crewID=;connectAtStartup=1;"
              "server=127.0.0.1:%d;smoothTraffic=%d;" % (name, name.lower(), args.port, smooth))
        write(os.path.join(self.root, "script.txt"), "\n".join(script) + "\n")
        argv = [os.path.join(args.build, "host", "skytether-host"), "--plugin", args.plugin, "--root", self.root,
                "--seconds", "%.3f" % seconds, "--realtime", "--start", "%.6f,%.6f,%d" % start,
                "--script", os.path.join(self.root, "script.txt"), "--trace", self.trace, "--dump", self.dump]
        if origin:
            argv += ["--origin", "%.6f,%.6f" % origin]
        self.log = open(os.path.join(work, name + ".log"), "w")
        self.proc = subprocess.Popen(argv + list(extra), stdout=self.log, stderr=subprocess.STDOUT)
        self.seconds = seconds

    def finish(self):
        if self.proc.wait(timeout=self.seconds + 60) != 0:
            raise SystemExit("%s: the host ended with %d" % (self.root, self.proc.returncode))
        return read_trace(self.trace), json.load(open(self.dump))


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def report(uid, lat, lon, el="800", psi="90", seconds=None, micros=None):
    """A position line as a plugin sends it, stamped now unless told otherwise."""
    now = time.time()
    values = ["0", "0", "0", repr(lat), repr(lon), el, "0", "0", psi] + ["0"] * 8 + ["1"] * 10
    values += ["1", "0", "1", "1", "0"] + ["0.5"] * 8
    values += [str(int(now) if seconds is None else seconds), str(int(now % 1 * 1e6) if micros is None else micros)]
    return ("%d|LOC|" % uid + "|".join(values)).encode()


def pilots_beside(server, uids, models=None):
    """Logged-in fake pilots (with a model each when given), and a thread that keeps them near HOME
    until the returned stop() is called."""
    ps = []
    for k, uid in enumerate(uids):
        p = Pilot(server.port, uid)
        p.login("p%d" % uid)
        if models:
            p.send("%d|PLANE|%s\n" % (uid, models[k]))
        ps.append(p)
    done = threading.Event()

    def fly():
        while not done.wait(0.1):
            for k, p in enumerate(ps):
                p.udp.sendto(report(p.uid, HOME[0] + 0.002 * (k + 1), HOME[1]), ("127.0.0.1", server.port))
                p.lines(0)

    t = threading.Thread(target=fly, daemon=True)
    t.start()

    def stop():
        done.set()
        t.join()
        for p in ps:
            p.close()
    return ps, stop


def shift(args, work, north_km=0.0):
    out = {}
    centre = (HOME[0] + north_km / 111.2, HOME[1])
    for smooth in (1, 0):
        # The receive cycle runs every other frame or so: whether it runs first in the frame after
        # the shift is chance, so each setting flies several shifts.
        still, still_around, near, around, shifts = 0, 0, 0.0, 0.0, 0
        for trial in range(args.trials):
            d = os.path.join(work, "shift%d_%d" % (smooth, trial))
            alpha = Host(args, d, "Alpha", 18, smooth, ["0 fly circle %.4f %.4f 700 1000 60 0" % centre],
                         start=(centre[0] + 0.009, centre[1], 700))
            # Bravo flies west at 100 m/s from 19.2 km east of its host's origin: 20 km away about 8 s in.
            bravo = Host(args, d, "Bravo", 14, smooth, ["0 fly circle 46.56538 8.5492 700 100000 100 0"],
                         origin=(47.4647, 8.80455))
            seen, dump = bravo.finish()
            flown, _ = alpha.finish()
            times = [f[0] for f in flown]
            if dump["origin"]["moves"] != 1:
                continue
            shifts += 1
            # The origin moved to where Bravo was in the frame of the shift.
            origin = (dump["origin"]["latitude"], dump["origin"]["longitude"])
            at = min(range(len(seen)), key=lambda i: math.hypot(seen[i][1] - origin[0], seen[i][2] - origin[1]))
            for i in range(at - 60, min(at + 60, len(seen))):
                if len(seen[i][5]) != 1 or len(seen[i - 1][5]) != 1:
                    continue
                now, before = list(seen[i][5].values())[0], list(seen[i - 1][5].values())[0]
                truth = truth_at(flown, times, seen[i][0])
                error = math.dist(to_metres(*now[:3]), truth[0]) if truth else 0
                around = max(around, error)
                still_around += now[:3] == before[:3]
                if abs(i - at) <= 5:
                    still += now[:3] == before[:3]
                    near = max(near, error)
        out["smooth %d" % smooth] = ("%d shifts: still frames within 5 of a shift %d (2 s around them %d), largest "
                                     "error there %.2f m (2 s around them %.2f m)" % (
                                         shifts, still, still_around, near, around))
    return out


def lag(args, work):
    alpha = Host(args, work, "Alpha", 12, True, ["0 fly circle %.4f %.4f 700 1000 80 0" % HOME],
                 start=(47.4737, 8.5492, 700))
    listener, stop = pilots_beside(args.srv, [99])
    got = []
    end = time.time() + 12
    listener[0].udp.setblocking(False)
    while time.time() < end:
        readable(listener[0].udp, end - time.time())
        while True:
            try:
                got.append((time.time(), listener[0].udp.recv(2048).decode()))
            except BlockingIOError:
                break
    stop()
    flown, _ = alpha.finish()
    times = [f[0] for f in flown]
    lags = []
    for arrival, line in got:
        v = line.split("|")
        if len(v) < 40:
            continue
        # The line's seconds are a float (whole minutes at today's dates); its microseconds and the
        # arrival, a few milliseconds later, give the moment.
        stamp = arrival - (arrival - int(v[-1]) * 1e-6) % 1.0
        k = bisect.bisect_right(times, stamp) - 1
        if k < 0 or k >= len(flown) or stamp < times[0] + 3:
            continue
        lat, lon = float(v[5]), float(v[6])
        lags.append(math.dist(to_metres(lat, lon, 0), to_metres(f32(flown[k][1]), f32(flown[k][2]), 0)))
    if not lags:
        return {"80 m/s": "no reports"}
    lags.sort()
    return {"80 m/s": "%d reports: median %.2f m, largest %.2f m, %d in their own frame" % (
        len(lags), lags[len(lags) // 2], lags[-1], sum(1 for x in lags if x < 0.05))}


def reconnect(args, work):
    out = {}
    # The server may give the pilots other slots in the new session: with one model for all, no
    # slot needs another; with a model each, most do.
    for label, models in (("one model", ["Aircraft/Fleet/P/P.acf"] * 19),
                          ("19 models", ["Aircraft/Fleet/P%d/P%d.acf" % (n, n) for n in range(1, 20)])):
        d = os.path.join(work, label.split()[0])
        host = Host(args, d, "Host", 24, True, ["12 dump %s" % os.path.join(d, "before.json"),
                                                "12.5 command skytether/disconnect", "14 command skytether/connect"],
                    extra=["--load-ms", "50"])
        for m in models:
            write(os.path.join(host.root, m), "model")
        _, stop = pilots_beside(args.srv, range(101, 120), models)
        _, dump = host.finish()
        stop()
        before = len(json.load(open(os.path.join(d, "before.json")))["planes"]["modelLog"])
        out[label] = "loads before the disconnect %d, after the reconnect %d" % (
            before, len(dump["planes"]["modelLog"]) - before)
    return out


def hostile(args, work):
    host = Host(args, work, "Host", 14)
    p, stop = pilots_beside(args.srv, [])
    h = Pilot(args.srv.port, 77)
    h.login("h")
    sent = 12 * 30
    for k in paced(sent, 1 / 30):
        el = "3.4e38" if k % 2 == 0 else "-3.4e38"
        h.udp.sendto(report(77, HOME[0] + 0.003, HOME[1], el=el), ("127.0.0.1", args.srv.port))
        h.lines(0)
    h.close()
    stop()
    _, dump = host.finish()
    return {"+-3.4e38": "%d reports sent: %d non-finite writes" % (sent, dump.get("nonFiniteWrites", -1))}


def untimed(args, work):
    out = {}
    for smooth in (1, 0):
        mark = args.srv.mark()
        host = Host(args, os.path.join(work, "u%d" % smooth), "Host", 12, smooth)
        h = Pilot(args.srv.port, 78 + smooth)
        h.login("u")
        # The reports start once the server has the host's first position.
        if not args.srv.wait_for(("in view ", " (host"), 30, mark):
            print("(the server never logged the host's position: the reports start 30 s in)")
        for k in paced(85, 0.05):
            h.udp.sendto(report(h.uid, HOME[0] + 0.003, HOME[1], psi=str(10 + k), seconds=0, micros=0),
                         ("127.0.0.1", args.srv.port))
            h.lines(0)
        h.close()
        trace, _ = host.finish()
        headings = {round(p[3], 3) for f in trace for p in f[5].values()}
        out["smooth %d" % smooth] = "%d of 85 reports shown" % sum(1 for k in range(85) if 10 + k in headings)
    return out


FIGURES = {"shift": shift, "shiftfar": lambda args, work: shift(args, work, 30.0), "lag": lag, "reconnect": reconnect, "hostile": hostile, "untimed": untimed}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--plugin")
    ap.add_argument("--server")
    ap.add_argument("--relay-rates", help="the server's --relay-rates (default: its own default)")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--trials", type=int, default=4, help="shifts flown with smoothing on, and off")
    ap.add_argument("figures", nargs="*")
    args = ap.parse_intermixed_args()
    args.build = os.path.abspath(args.build)
    args.plugin = os.path.abspath(args.plugin or os.path.join(args.build, "Skytether", "lin_x64", "Skytether.xpl"))
    server_build = os.path.dirname(os.path.dirname(os.path.abspath(args.server))) if args.server else args.build
    print("plugin %s, server %s (relay rates %s), load %.2f" % (args.plugin, os.path.join(server_build, "server"),
                                                              args.relay_rates or "default", os.getloadavg()[0]))
    for name in args.figures or list(FIGURES):
        work = tempfile.mkdtemp(prefix="skytether-figures-")
        args.srv = Server(server_build, ["--relay-rates", args.relay_rates] if args.relay_rates else [])
        args.port = args.srv.port
        try:
            for what, figure in FIGURES[name](args, work).items():
                print("%-9s %-9s %s" % (name, what, figure), flush=True)
        finally:
            args.srv.stop()
            if args.keep:
                print("   kept %s" % work)
            else:
                shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
