#!/usr/bin/env python3
"""A live Skytether session: the server and three simulated hosts, each running the real plugin.

Three pilots fly circles near one airfield, each host on a local origin of its own; one opens
the chat and says hello. After about twenty
seconds each host dumps what it shows and takes a screenshot (Alpha's host also four of
consecutive frames), with each other pilot's callsign over its aircraft; Charlie's host runs at
150 % interface scale on a screen half as large again each way, so its windows show the same
layout at one and a half times the size. This prints a short report, with how the others moved frame by frame. The
server's status page is on meanwhile: its address is printed, and a headless browser takes a
screenshot of it while the pilots fly.
The pilots find the server by name, as pilots do: "localhost" unless `--server TEXT` names another
way to reach this machine (a name from the hosts file, "[::1]", "127.0.0.1:49556", ...).
Everything started here is stopped on the way out, whatever happens.
"""
import json
import math
import re
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from simhosts import read_trace, stop, write  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
CHOSEN = sys.argv[sys.argv.index("--server") + 1] if "--server" in sys.argv[:-1] else "localhost"
OUT = os.path.join(BUILD, "demo")
PLUGIN = os.path.join(BUILD, "Skytether", "lin_x64", "Skytether.xpl")
RUNNER = os.path.join(BUILD, "host", "skytether-host")
SERVER = os.path.join(BUILD, "server", "skytether-server")
SECONDS = 20
PAGE_SHOT = os.path.join(BUILD, "status-page.png")
PAGE_AT = 13  # seconds into the flight: everyone in view
FIELD = (47.4647, 8.5492)  # the airfield the circles are drawn around
DUMP_TIMES = [17.0, 17.5, 18.0, 18.5, 19.0]
FPS = 60
SEQUENCE = [18.0 + (i + 0.5) / FPS for i in range(4)]  # Alpha's screenshots of four frames in a row
MOTION_FROM = 12.0  # seconds into the flight: the frames whose steps the report sums up

PILOTS = [
    # name, circle radius (m), speed (m/s), phase (deg), altitude (m), extra script lines
    ("Alpha", 2000, 60, 0, 700, ["11 key tab", "11.5 type hello from Alpha", "12 key return"]),
    ("Bravo", 2000, 60, 120, 800, ["16 menu Skytether > Control & Settings"]),
    # Labels with the distance, from the pane.
    ("Charlie", 3200, 70, 240, 900, ["15 menu Skytether > Control & Settings", "15.2 widget-click Distance",
                                     "15.4 widget-click Save & Close"]),
]
# Extra runner options per pilot: Charlie at 150 % on 1536 x 1152 pixels (1024 x 768 boxels).
OPTIONS = {"Charlie": ["--screen", "1536x1152", "--ui-scale", "150"]}
# Each host picks the origin of its local frame near its own pilot, so no two share one: the
# same point has different local coordinates in each.
ORIGINS = {"Alpha": (47.49, 8.53), "Bravo": (47.44, 8.58), "Charlie": (47.45, 8.50)}


def distance_m(lat1, lon1, lat2, lon2):
    r = 6371000.0
    p1, p2 = math.radians(lat1), math.radians(lat2)
    dp, dl = p2 - p1, math.radians(lon2 - lon1)
    a = math.sin(dp / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * r * math.asin(math.sqrt(a))


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    procs = []
    try:
        server_log = open(os.path.join(OUT, "server.log"), "w")
        # Both families, so a name that gives ::1 first reaches it too.
        server = subprocess.Popen([SERVER, "--listen", "::", "--port", "49556", "--http", "127.0.0.1:0"],
                                  stdout=server_log, stderr=subprocess.STDOUT)
        procs.append(server)
        for _ in range(100):
            if "listening on" in open(os.path.join(OUT, "server.log")).read():
                break
            if server.poll() is not None:
                sys.exit("the server did not start:\n" + open(os.path.join(OUT, "server.log")).read())
            time.sleep(0.1)

        for name, radius, speed, phase, alt, extra in PILOTS:
            root = os.path.join(OUT, name)
            write(os.path.join(root, "Resources/plugins/stprefs.txt"),
                  "callsign=%s;userID=%s;password=;flightMode=0;cockpitPosition=0;crewID=;"
                  "connectAtStartup=1;server=%s;" % (name, name.lower(), CHOSEN))
            write(os.path.join(root, "Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf"), "model")
            lines = ["0 fly circle %.6f %.6f %d %d %d %d" % (FIELD[0], FIELD[1], alt, radius, speed, phase),
                     "0 set sim/cockpit/electrical/beacon_lights_on 1",
                     "0 set sim/cockpit/electrical/nav_lights_on 1",
                     "0.2 menu Skytether > Toggle Plane List"] + extra
            lines += ["%.1f dump %s/dump-%.1f.json" % (t, root, t) for t in DUMP_TIMES]
            lines += ["19.5 screenshot %s.png" % os.path.join(OUT, name)]
            if name == "Alpha":
                lines += ["%.4f screenshot %s-frame-%d.png" % (t, os.path.join(OUT, name), i + 1)
                          for i, t in enumerate(SEQUENCE)]
            write(os.path.join(root, "script.txt"), "\n".join(lines) + "\n")
            log = open(os.path.join(root, "runner.log"), "w")
            procs.append(subprocess.Popen(
                [RUNNER, "--plugin", PLUGIN, "--root", root, "--seconds", str(SECONDS), "--realtime",
                 "--origin", "%.4f,%.4f" % ORIGINS[name],
                 "--script", os.path.join(root, "script.txt"), "--dump", os.path.join(root, "final.json"),
                 "--fps", str(FPS), "--trace", os.path.join(root, "trace.txt")] + OPTIONS.get(name, []),
                stdout=log, stderr=subprocess.STDOUT))
        page = re.search(r"status page on (\S+)", open(os.path.join(OUT, "server.log")).read())
        if not page:
            sys.exit("the server did not say where its status page is")
        page = page.group(1)
        print("== Server on port 49556, three pilots flying for %d s, each choosing the server \"%s\" ..."
              % (SECONDS, CHOSEN), flush=True)
        print("== Status page: %s (feed %sv1/status.json, metrics %smetrics)" % (page, page, page), flush=True)

        time.sleep(PAGE_AT)
        failed = not page_screenshot(page)
        for (name, *_), p in zip(PILOTS, procs[1:]):
            if p.wait(timeout=SECONDS + 30) != 0:
                failed = True
                print("!! %s's host ended with status %d:" % (name, p.returncode))
                print(open(os.path.join(OUT, name, "runner.log")).read()[-2000:])
        report(failed)
        return 1 if failed else 0
    finally:
        stop(procs)


def page_screenshot(page):
    """The status page as a browser shows it, and the pilots its feed lists."""
    with urllib.request.urlopen(page + "v1/status.json", timeout=5) as r:
        feed = json.load(r)
    print("   feed: %d pilots in view: %s" % (feed["counts"]["pilots"], ", ".join(
        "%s (%s) %.4f %.4f" % (p["callsign"], p["model"], p["latitude"], p["longitude"]) for p in feed["pilots"])))
    with tempfile.TemporaryDirectory() as profile:
        shot = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             "--user-data-dir=" + profile, "--window-size=1400,860", "--virtual-time-budget=4000",
             "--screenshot=" + PAGE_SHOT, page],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
    if shot.returncode != 0 or not os.path.exists(PAGE_SHOT):
        print("!! no screenshot of the status page: %s" % shot.stderr.decode(errors="replace")[-1000:])
        return False
    print("   status page screenshot: %s" % PAGE_SHOT, flush=True)
    return True


def load(name, t):
    with open(os.path.join(OUT, name, "dump-%.1f.json" % t)) as f:
        return json.load(f)


def motion(name, slot, speed):
    """How the aircraft in this slot of this pilot's host moved from frame to frame in the last
    seconds: frames in which it stood still, and steps within 25 % of speed / fps."""
    steps, prev = [], None
    for t, planes in read_trace(os.path.join(OUT, name, "trace.txt"), host_time=True):
        if t < MOTION_FROM:
            continue
        here = planes[slot][:2] if slot != 0 and slot in planes else None
        if here and prev:
            steps.append(distance_m(prev[0], prev[1], here[0], here[1]))
        prev = here
    if not steps:
        return "no frames"
    step = speed / FPS
    still = sum(1 for d in steps if d < 1e-3)
    steady = sum(1 for d in steps if abs(d - step) <= 0.25 * step)
    return "moved in %d of %d frames, %d within 25 %% of its steady step (%.2f m)" % (
        len(steps) - still, len(steps), steady, step)


def strings(dump):
    return [op["text"] for op in dump["drawing"] if op["kind"] == "string"]


def report(failed):
    names = [p[0] for p in PILOTS]
    final = {n: json.load(open(os.path.join(OUT, n, "final.json"))) for n in names
             if os.path.exists(os.path.join(OUT, n, "final.json"))}
    for name in names:
        print("\n== %s's host" % name)
        if name not in final:
            print("   (no dump)")
            continue
        d = final[name]
        print("   local origin: %.4f, %.4f" % (d["origin"]["latitude"], d["origin"]["longitude"]))
        drawn = strings(d)
        rows = [s for s in drawn if re.match(r"^\d+: ", s)]
        if rows and drawn.index(rows[-1]) + 1 < len(drawn):
            print("   server: " + drawn[drawn.index(rows[-1]) + 1])
        shown = [r for r in rows if r.split(": ", 1)[1].strip() and not r.endswith(" Plane " + r.split(":")[0])]
        print("   plane list: " + (", ".join(shown) if shown else "(nobody)"))
        models = d["planes"]["models"]
        print("   models loaded: " + (", ".join("slot %s %s" % (k, v.split("/")[-1]) for k, v in sorted(models.items()))
                                      or "none"))
        # Position error of every other pilot, against that pilot's own position at the same moment.
        for other in names:
            if other == name:
                continue
            slot = next((int(r.split(":")[0]) for r in rows if r.split(": ", 1)[1].startswith(other + " ")), None)
            if slot is None:
                print("   %s: not in view" % other)
                continue
            errors = []
            for t in DUMP_TIMES:
                mine, theirs = load(name, t)["datarefs"], load(other, t)["datarefs"]
                p = "sim/multiplayer/position/plane%d_" % slot
                errors.append(distance_m(mine[p + "lat"], mine[p + "lon"],
                                         theirs["sim/flightmodel/position/latitude"],
                                         theirs["sim/flightmodel/position/longitude"]))
            errors.sort()
            print("   %s in slot %d: position error against its own truth %.1f m median, %.1f m worst "
                  "(includes the start offset of the two hosts)" % (other, slot, errors[len(errors) // 2], errors[-1]))
            speed = next(p[2] for p in PILOTS if p[0] == other)
            print("   %s frame by frame since %.0f s: %s" % (other, MOTION_FROM, motion(name, slot, speed)))
        chat = [op["text"] for op in d["drawing"]
                if op["kind"] == "string" and op.get("rgb") == [0.5, 1, 0.5] and op["text"]]
        print("   chat: " + (" | ".join(chat) if chat else "(none shown)"))
        panes = [w for w in d.get("widgets", []) if w.get("descriptor") == "Control & Settings" and w.get("visible")]
        if panes:
            print("   settings pane open")
        names_drawn = set(names)
        # From the last dump in flight: at the very end the others are already leaving.
        labels = [op["text"] for op in load(name, DUMP_TIMES[-1])["drawing"]
                  if op["kind"] == "string" and op["window"] is None
                  and op.get("phase") == 50 and op["text"].split(" ")[0] in names_drawn]
        print("   labels over the aircraft: " + (", ".join(labels) if labels else "(none)"))
        scale = d.get("interfaceScale", 1)
        print("   screenshot: %s%s" % (os.path.join(OUT, name + ".png"),
                                     " (interface scale %d %%)" % round(scale * 100) if scale != 1 else ""))
        if name == "Alpha":
            print("   four frames in a row: %s-frame-1.png ... -4.png" % os.path.join(OUT, name))
    print("\n== Server log: %s" % os.path.join(OUT, "server.log"))
    print("   " + "\n   ".join(open(os.path.join(OUT, "server.log")).read().splitlines()[:12]))
    if failed:
        print("\n!! the session did not run cleanly")


if __name__ == "__main__":
    sys.exit(main())
