#!/usr/bin/env python3
"""Hostile clients against the real server, each printing the figure it measures.

    tests/load/hostile.py BUILD SCENARIO...     (./run hostile [SCENARIO...])

Scenarios (all on 127.0.0.0/8; run inside a private network namespace):
  churn      a pilot alternates its model, then its callsign, 190 lines a second (the line gate
             allows 200);
             counts the notices one recipient gets in 5 s each
  reconnect  a pilot's link dies silently (iptables drops its ports, no FIN, no RST); its
             plugin reconnects with the same uniqueID every second: time until it is let in,
             with the default idle timeout and with one longer than the keepalive's
  pending    1,100 connections from 127.0.0.2 that never log in (server soft descriptor limit
             1024, as a service gets by default), then a login from 127.0.0.1: time until in
  logflood   a logged-in pilot alternates its datagram source port for 3 s, then wrong-token
             logins for 3 s: log lines and bytes the server writes for each
  admin      for 6 s against the admin address, while a pilot flies at 30 Hz: requests without a
             token and with wrong ones as fast as they go, bodies far over the cap, bodies that
             trickle in; answers by status, time until a trickling body is cut, log lines, and
             the reports that reached the other pilot
  lockout    the operator's requests beside requests without a token at 10 a second from its own
             address, then behind one reverse proxy at 5 a second; then wrong tokens from 5,000
             addresses: the operator's answers, and the guesses checked a second
  slowadmin  32 connections trickling their request heads to the controls (8 from the
             operator's address) while the operator asks 75 times: its answers
  bans       300,000 bans in the ban file, 20 more given and the whole list read while a pilot
             flies at 30 Hz: answer times, whether the list parses, reports lost, longest gap
  flood      a pilot sends its own valid positions 20,000 a second for 5 s beside an honest one
             at 30 Hz: share of the honest reports a recipient reading as the plugin reads
             (90 datagrams per 0.03 s) lost
  flip       a pilot 1 km and 111 km from the recipient on alternate positions, 150 a second:
             reports a second the recipient gets (the near cap is 40)
  feed       pilots whose callsigns and model paths are long, multibyte or not UTF-8, or whose
             callsigns start with ';', '!' or a blank: whether the feed still parses as JSON,
             and the pilot lines a reader of the plain-text feed finds beside its header's count
  range      990 pilots in view; GETs of the feed with 2,700 byte ranges, then 8 connections
             at once mixing every kind of request for 10 s: answer sizes and the server's memory
  fakenodes  a stranger on Redis publishes presences of 20,000, then 100,000 fake node names
             (each with a pilot far away) beside a node relaying for two pilots: honest reports
             lost, longest gap, log lines
  restart    20 trials: Redis killed while a pilot flies on node A, a newcomer with its
             uniqueID logs in on node B, Redis back 5 s later: honest pilots closed
  proxy      the status page open in 20 tabs of one headless browser and 10 viewers at the
             page's pace, all behind one reverse proxy: requests answered 429
Every scenario starts its own server (and Redis, browser or proxy) and stops it.
"""
import atexit
import json
import os
import resource
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

ZEROS = "0" * 32
FAILED = []


def check(ok, what):
    """A bound a scenario must keep; the run fails at its end when one was not kept."""
    if not ok:
        print("FAILED: " + what)
        FAILED.append(what)


def readable(sock, timeout):
    poller = select.poll()  # select() cannot watch descriptors past 1023
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(max(0, int(timeout * 1000))))


def paced(count, period):
    """Yields 0 to count - 1, the k-th at k periods from the first, and ends a period after the last:
    a schedule of the clock's, so what each step takes does not slow the pace."""
    start = time.monotonic()
    for k in range(count + 1):
        time.sleep(max(0.0, start + k * period - time.monotonic()))
        if k < count:
            yield k


def position(uid, lat, lon, keyword="LOC"):
    values = ["1.25", "-2.5", "300.125", repr(float(lat)), repr(float(lon)), "1234.5", "2.5", "-1", "271.75"]
    values += ["0"] * 8 + ["1"] * 10 + ["1", "0", "1", "1", "0"] + ["0.75"] * 8 + ["1733616000", "654321"]
    return ("%d|%s|" % (uid, keyword) + "|".join(values)).encode()


class Server:
    """The real server on a free port of 127.0.0.1; its log lines are counted as they come."""

    def __init__(self, build, args=(), nofile=None):
        def limit():
            if nofile:
                hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, hard))

        binary = os.path.join(build, "server", "skytether-server")
        self.proc = subprocess.Popen([binary, "--listen", "127.0.0.1", "--port", "0", *args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=limit)
        atexit.register(self.proc.kill)
        self.lines, self.bytes, self.port, self.http = [], 0, 0, 0
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        ready, self.http_ready = threading.Event(), threading.Event()

        def read():
            for raw in self.proc.stderr:
                with self.lock:
                    self.bytes += len(raw)
                    line = raw.decode(errors="replace").rstrip("\n")
                    self.lines.append(line)
                    self.changed.notify_all()
                if "listening on" in line and not self.port:
                    self.port = int(line.split("listening on ")[1].split()[0].rsplit(":", 1)[1])
                    ready.set()
                if "status page on http://" in line:
                    self.http = int(line.rsplit(":", 1)[1].strip("/"))
                    self.http_ready.set()
            ready.set()
            self.http_ready.set()

        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(10) or not self.port:
            raise SystemExit("server did not start")
        if any(a == "--http" for a in args) and (not self.http_ready.wait(10) or not self.http):
            raise SystemExit("status page did not start")

    def mark(self):
        with self.lock:
            return len(self.lines), self.bytes

    def wait_for(self, text, timeout, mark=(0, 0)):
        """The first line after mark that holds text (or every text of a tuple), as soon as it comes;
        None if none did within timeout."""
        texts, end = (text,) if isinstance(text, str) else text, time.monotonic() + timeout
        with self.changed:
            at = mark[0]
            while True:
                line = next((l for l in self.lines[at:] if all(t in l for t in texts)), None)
                at = len(self.lines)
                if line is not None or not self.changed.wait(max(0.0, end - time.monotonic())):
                    return line

    def since(self, mark):
        with self.lock:
            return len(self.lines) - mark[0], self.bytes - mark[1], self.lines[mark[0]:]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            print("(the server did not stop within 10 s of SIGTERM: killed)")
            self.proc.kill()
            self.proc.wait()

    def memory(self):
        """Resident memory now and at its peak, in KiB."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            fields = dict(l.split(":", 1) for l in f if ":" in l)
        return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])

    def reset_peak(self):
        """From here on the peak counts what follows, not what came before (the logins, say)."""
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")



def supports(build, option):
    """Whether this server binary knows the option (the figures before a change run without it)."""
    binary = os.path.join(build, "server", "skytether-server")
    return option in subprocess.run([binary, "--help"], capture_output=True, text=True).stdout


def plugin_read(sock):
    """One receive run as the plugin makes it: at most 90 datagrams, whatever is waiting."""
    got = []
    for _ in range(90):
        try:
            got.append(sock.recv(2048))
        except BlockingIOError:
            break
    return got


def http_get(port, path, headers=(), source="127.0.0.1", timeout=10, host="x"):
    """Status and body of one request on a connection of its own; (0, b"") when refused."""
    s = socket.socket()
    s.settimeout(timeout)
    try:
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (path, host, "".join(h + "\r\n" for h in headers))).encode())
        data = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            data += chunk
    except OSError:
        return 0, b""
    finally:
        s.close()
    head, _, body = data.partition(b"\r\n\r\n")
    try:
        return int(head.split(b" ", 2)[1]), body
    except (IndexError, ValueError):
        return 0, b""


class Pilot:
    """A fake plugin: a stream and a datagram socket, from the given local address."""

    def __init__(self, port, uid, ip="127.0.0.1"):
        self.port, self.uid, self.ip, self.buf = port, uid, ip, b""
        self.tcp = socket.socket()
        self.tcp.bind((ip, 0))
        self.tcp.connect(("127.0.0.1", port))
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((ip, 0))

    def send(self, text):
        self.tcp.sendall(text.encode())

    def login(self, user="pilot", token=ZEROS):
        self.send("%d|Opening Connection|%s|%s|\n" % (self.uid, user, token))

    def fly(self, lat, lon):
        self.udp.sendto(position(self.uid, lat, lon), ("127.0.0.1", self.port))

    def lines(self, timeout):
        """The stream lines there are, waiting up to timeout for the first; None once the server
        has closed the stream."""
        out, end = [], time.time() + timeout
        while True:
            left = end - time.time()
            if not readable(self.tcp, 0 if out else max(0, left)):
                return out
            try:
                data = self.tcp.recv(65536)
            except OSError:
                return None
            if not data:
                return None
            self.buf += data
            *done, self.buf = self.buf.split(b"\n")
            out += [d.decode(errors="replace") for d in done]

    def admitted(self, timeout=1.0):
        """Logged in: its own chat line comes back (a refused login closes the stream)."""
        self.send("%d|MESSAGE|ping\n" % self.uid)
        end = time.time() + timeout
        while time.time() < end:
            got = self.lines(end - time.time())
            if got is None:
                return False
            if any(l.startswith("0|m|") and l.endswith(": ping") for l in got):
                return True
        return False

    def close(self):
        self.tcp.close()
        self.udp.close()


def pair(server):
    """A recipient at 47,8 and a second pilot next to it, each holding the other."""
    r, x = Pilot(server.port, 1), Pilot(server.port, 2)
    r.login("r")
    x.login("x")
    x.send("2|PLANE|/s/Aircraft/A/a.acf\n2|CALLSIGN|X|\n")
    time.sleep(0.3)
    r.fly(47.0, 8.0)
    x.fly(47.01, 8.0)
    time.sleep(0.3)
    r.fly(47.0, 8.0)
    x.fly(47.01, 8.0)
    r.lines(0.5)
    return r, x


def churn(build):
    server = Server(build)
    r, x = pair(server)
    for kind, lines in (("model", ("2|PLANE|/s/Aircraft/A/a.acf\n", "2|PLANE|/s/Aircraft/B/b.acf\n")),
                        ("callsign", ("2|CALLSIGN|X1|\n", "2|CALLSIGN|X2|\n"))):
        letter = "|p|" if kind == "model" else "|c|"
        sent, got, start = 0, 0, time.time()
        while time.time() - start < 5.0:
            # 190 lines a second: just under the line gate's 200.
            x.send(lines[sent % 2])
            sent += 1
            x.fly(47.01, 8.0)
            r.fly(47.0, 8.0)
            while time.time() < start + sent / 190.0:
                got += sum(letter in l for l in r.lines(start + sent / 190.0 - time.time()) or [])
        got += sum(letter in l for l in r.lines(0.5) or [])
        print("churn: %d %s lines sent in 5 s, %d %s notices reached the recipient" % (sent, kind, got, kind))
    n, b, lines = server.since((0, 0))
    print("churn: server log %d lines; %s" % (n, "; ".join(l for l in lines if "held" in l)[-300:]))
    server.stop()


def iptables(op, proto, port):
    for way in ("--sport", "--dport"):
        subprocess.run(["iptables", op, "INPUT", "-p", proto, way, str(port), "-j", "DROP"], check=True)


def reconnect(build):
    # With the default idle timeout (20 s), then with one longer than the keepalive's 25 s.
    for args in ((), ("--idle-timeout", "60")):
        reconnect_with(build, args)


def reconnect_with(build, args):
    server = Server(build, args)
    r, a = pair(server)
    tport, uport = a.tcp.getsockname()[1], a.udp.getsockname()[1]
    for proto, port in (("tcp", tport), ("udp", uport)):
        iptables("-I", proto, port)
    lost = time.time()
    try:
        a.send("2|Closing Connection\n")  # the plugin's disconnect: its logout and FIN vanish too
        a.close()
        while True:
            waited = time.time() - lost
            if waited > 150:
                print("reconnect %s: still refused after %.0f s" % (" ".join(args), waited))
                break
            again = Pilot(server.port, 2)
            again.login("x")
            if again.admitted(1.0):
                print("reconnect %s: the same uniqueID was let in again %.1f s after the link died"
                      % (" ".join(args), waited))
                break
            again.close()
            r.fly(47.0, 8.0)
            time.sleep(max(0.0, 1.0 - (time.time() - lost - waited)))
    finally:
        for proto, port in (("tcp", tport), ("udp", uport)):
            iptables("-D", proto, port)
    n, b, lines = server.since((0, 0))
    print("reconnect: " + "; ".join(l[25:] for l in lines if "2 (x" in l or "uniqueID" in l)[-300:])
    server.stop()


def pending(build):
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    server = Server(build, nofile=1024)
    idle = []
    for _ in range(1100):
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.0.2", 0))
        s.connect_ex(("127.0.0.1", server.port))
        idle.append(s)
    time.sleep(1.0)
    mark = server.mark()
    start = time.time()
    honest = Pilot(server.port, 7)
    honest.login("honest")
    while not honest.admitted(1.0):
        if time.time() - start > 30:
            break
        honest.close()
        honest = Pilot(server.port, 7)
        honest.login("honest")
    took = time.time() - start
    n, b, lines = server.since(mark)
    open_ = sum(1 for s in idle if not readable(s, 0))
    print("pending: honest login in %.2f s with 1,100 idle connections from one address "
          "(%d of them still open, %d log lines meanwhile)" % (took, open_, n))
    for s in idle:
        s.close()
    server.stop()


def logflood(build):
    server = Server(build)
    r, x = pair(server)
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind(("127.0.0.1", 0))
    mark, sent, start = server.mark(), 0, time.time()
    d = position(2, 47.01, 8.0)
    while time.time() - start < 3.0:
        for _ in range(100):
            (x.udp if sent % 2 else other).sendto(d, ("127.0.0.1", server.port))
            sent += 1
        r.lines(0)
    time.sleep(1.2)
    n, b, _ = server.since(mark)
    print("logflood: %d datagrams from two alternating ports in 3 s: %d log lines, %d bytes" % (sent, n, b))
    server.stop()

    path = "/tmp/skytether-hostile-accounts"
    with open(path, "w") as f:
        f.write("alice pw\n")
    os.chmod(path, 0o600)
    server = Server(build, ["--accounts", path])
    mark, tries, start = server.mark(), 0, time.time()
    while time.time() - start < 3.0:
        s = socket.socket()
        s.connect(("127.0.0.1", server.port))
        s.sendall(b"9|Opening Connection|alice|" + ZEROS.encode() + b"|\n")
        s.recv(16)
        s.close()
        tries += 1
    time.sleep(1.2)
    n, b, _ = server.since(mark)
    print("logflood: %d wrong-token logins in 3 s: %d log lines, %d bytes" % (tries, n, b))
    server.stop()
    os.remove(path)

def flood(build):
    import multiprocessing
    server = Server(build)
    r, h, f = Pilot(server.port, 1), Pilot(server.port, 2), Pilot(server.port, 3)
    for p, name in ((r, "r"), (h, "h"), (f, "f")):
        p.login(name)
    for _ in range(2):
        time.sleep(0.3)
        r.fly(47.0, 8.0)
        h.fly(47.01, 8.0)
        f.fly(47.02, 8.0)
    r.lines(0.5)
    r.udp.setblocking(False)
    while plugin_read(r.udp):  # the warm-up's reports
        pass
    rate, seconds = 20000, 5.0
    sent, took = multiprocessing.Value("l", 0), multiprocessing.Value("d", 0.0)

    def flooder():  # a process of its own, so the recipient's reads keep their pace
        d, n, start = position(3, 47.02, 8.0), 0, time.time()
        while time.time() - start < seconds:
            due = min(seconds, time.time() - start) * rate
            while n < due:
                f.udp.sendto(d, ("127.0.0.1", server.port))
                n += 1
            time.sleep(0.002)
        sent.value, took.value = n, time.time() - start

    proc = multiprocessing.get_context("fork").Process(target=flooder)
    mark = server.mark()
    honest_sent = honest_got = flood_got = 0
    proc.start()
    start = time.time()
    tick = start
    while time.time() - start < seconds:
        h.fly(47.01, 8.0)
        honest_sent += 1
        for d in plugin_read(r.udp):
            honest_got += b"|47.01|8.0|" in d
            flood_got += b"|47.02|8.0|" in d
        r.lines(0)
        tick += 1 / 30
        time.sleep(max(0.0, tick - time.time()))
    proc.join()
    for _ in range(10):  # what the last runs still find
        for d in plugin_read(r.udp):
            honest_got += b"|47.01|8.0|" in d
            flood_got += b"|47.02|8.0|" in d
        time.sleep(0.03)
    n, _, lines = server.since(mark)
    print("flood: a pilot sent %d positions in %.0f s (%d/s); the honest pilot beside it lost %.1f %% of its %d "
          "reports (read as the plugin reads); the flood's reached the recipient %d times (%d/s); %d log lines"
          % (sent.value, took.value, sent.value / took.value, 100.0 * (honest_sent - honest_got) / honest_sent,
             honest_sent, flood_got, flood_got / seconds, n))
    print("flood: " + "; ".join(l[21:] for l in lines if "rate" in l or "dropped" in l)[-400:])
    check(honest_got >= 0.99 * honest_sent, "flood: the honest pilot lost more than 1 %")
    server.stop()


def flip(build):
    server = Server(build)
    r, x = pair(server)
    r.udp.setblocking(False)
    while plugin_read(r.udp):
        pass
    # 150 positions a second (the pilot's own rate), 1 km and 111 km from the recipient in turn.
    seconds, rate, sent, got = 5.0, 150, 0, 0
    start = tick = time.time()
    while time.time() - start < seconds:
        x.fly(47.01 if sent % 2 == 0 else 48.0, 8.0)
        sent += 1
        got += sum(d.startswith(b"1|l|") for d in plugin_read(r.udp))
        tick += 1 / rate
        time.sleep(max(0.0, tick - time.time()))
    time.sleep(0.1)
    got += sum(d.startswith(b"1|l|") for d in plugin_read(r.udp))
    print("flip: a pilot 1 km and 111 km away in turn, %d positions a second for %.0f s: %.1f reports a second "
          "reached the recipient (near cap 40)" % (rate, seconds, got / seconds))
    check(got / seconds <= 41, "flip: a pilot flipping between near and far got past the near cap")
    server.stop()


def feed(build):
    server = Server(build, ["--http", "0"])
    cases = [
        ("a model path of 230 bytes", "Aircraft/A/" + "x" * 215 + ".acf", "CS0"),
        ("a model path of 230 bytes of two-byte characters", "Aircraft/" + "\u00e9" * 108 + "/x.acf", "CS1"),
        ("100 bytes that are not UTF-8 in a model path", b"Aircraft/" + b"\xff" * 100 + b"/x.acf", "CS2"),
        ("a 511-byte model path of bytes that are not UTF-8", b"Aircraft/" + b"\xfe" * 498 + b".acf", "CS3"),
        ("a 31-byte callsign of bytes that are not UTF-8 and quotes", "Aircraft/a.acf", b"\xc3\"\\" * 10 + b"\xff"),
        ("a callsign that would make its line a comment", "Aircraft/a.acf", ";hidden"),
        ("a callsign that would open a section", "Aircraft/a.acf", "!SERVERS:"),
        ("a callsign that would be a comment once trimmed", "Aircraft/a.acf", " ;padded"),
    ]
    good = 0
    for i, (what, path, callsign) in enumerate(cases):
        p = Pilot(server.port, 100 + i)
        p.login("p%d" % i)
        enc = lambda t: t if isinstance(t, bytes) else t.encode()
        p.tcp.sendall(b"%d|PLANE|" % p.uid + enc(path) + b"\n%d|CALLSIGN|" % p.uid + enc(callsign) + b"|\n")
        time.sleep(0.2)
        p.fly(47.0, 8.0)
        # Until a snapshot holds the pilot (one a second; later on a busy machine) or the feed
        # does not parse.
        deadline = time.time() + 10
        while True:
            time.sleep(0.5)
            status, body = http_get(server.http, "/v1/status.json")
            try:
                doc = json.loads(body.decode("utf-8"))
                # This case's pilot, not the last one's still listed (the last case's callsign
                # reads back as something other than the earlier ones).
                ok = any(x.get("callsign") == callsign if isinstance(callsign, str)
                         else x.get("callsign") not in ("CS0", "CS1", "CS2", "CS3", None) for x in doc["pilots"])
                ok = ok and doc["counts"]["pilots"] == 1
            except (ValueError, KeyError):
                ok = False
                break
            if ok or time.time() > deadline:
                break
        # The plain-text feed as its readers take it: comments skipped, '!' opens a section.
        section, listed, said = "", 0, -1
        for line in http_get(server.http, "/v1/whazzup.txt")[1].decode(errors="replace").split("\n"):
            line = line.strip()
            if line.startswith("!"):
                section = line
            elif line.startswith("CONNECTED CLIENTS"):
                said = int(line.split("=")[1])
            elif line and not line.startswith(";") and section == "!CLIENTS:":
                listed += 1
        good += ok and listed == said == 1
        print("feed: %s: %s (%d bytes, status %d); the text feed lists %d of its %d pilots"
              % (what, "valid JSON" if ok else "NOT valid JSON", len(body), status, listed, said))
        p.send("%d|Closing Connection\n" % p.uid)
        p.close()
        time.sleep(0.2)
    print("feed: %d of %d cases parsed as JSON and listed their pilot in the text feed" % (good, len(cases)))
    check(good == len(cases), "feed: a pilot's texts broke a feed")
    server.stop()


def range_(build):
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    server = Server(build, ["--http", "0"])
    pilots = []
    for i in range(990):
        p = Pilot(server.port, 5000 + i, "127.0.%d.%d" % (1 + i // 200, 1 + i % 200))
        p.login("p%d" % i)
        p.send("%d|CALLSIGN|P%d|\n%d|PLANE|Aircraft/General Aviation/Trainer %d/Trainer.acf\n" % (p.uid, i, p.uid, i))
        pilots.append(p)
        if i % 50 == 49:
            time.sleep(0.2)  # logins are read as fast as they come, not faster
    time.sleep(1.0)
    stop = threading.Event()

    def keep_flying():
        while not stop.is_set():
            for i, p in enumerate(pilots):
                p.fly(40 + (i % 30) * 0.1, 8 + (i // 30) * 0.1)
                try:  # what the server sends them is of no interest here, but must be read
                    while p.tcp.recv(1 << 16, socket.MSG_DONTWAIT):
                        pass
                except OSError:
                    pass
            stop.wait(0.5)

    flyer = threading.Thread(target=keep_flying, daemon=True)
    flyer.start()
    listed, waited = 0, time.time()
    while listed < len(pilots) and time.time() - waited < 30:  # all in view (a burst of them may go stale)
        time.sleep(1.0)
        status, body = http_get(server.http, "/v1/status.json")
        listed = len(json.loads(body)["pilots"]) if status == 200 else 0
    server.reset_peak()
    rss0, _ = server.memory()
    ranges = "Range: bytes=" + ",".join(["0-"] * 2700)
    sizes = []
    for _ in range(2):
        st, answer = http_get(server.http, "/v1/status.json", [ranges], timeout=60)
        sizes.append((st, len(answer)))
    rss1, hwm1 = server.memory()
    print("range: feed of %d pilots is %d bytes; two GETs with 2,700 ranges (%d-byte header) answered %s; "
          "memory %.1f MiB before, %.1f MiB after, peak %.1f MiB"
          % (listed, len(body), len(ranges), ", ".join("%d with %d bytes" % x for x in sizes), rss0 / 1024,
             rss1 / 1024, hwm1 / 1024))
    check(all(st in (200, 416) and n <= 2 * len(body) for st, n in sizes), "range: an answer larger than its body")
    # Every kind of request at once, from 8 connections (the most the page serves) for 10 s.
    kinds = [("/v1/status.json", [ranges]), ("/v1/status.json", []), ("/metrics", []), ("/", []),
             ("/v1/status.json", ["Range: bytes=0-10,20-30"]), ("/v1/status.json", ["Range: bytes=0-"]),
             ("/nothing", []), ("/v1/status.json", ["X-Pad: " + "a" * 8000])]
    answers, biggest, end = {}, 0, time.time() + 10
    lock = threading.Lock()

    def client(k, net):
        nonlocal biggest
        while time.time() < end:
            # From ever other addresses, so the allowance per address lets them in.
            src = "127.%d.%d.%d" % (net, k // 250 % 250, 1 + k % 250)
            st, b = http_get(server.http, kinds[k % len(kinds)][0], kinds[k % len(kinds)][1], source=src)
            with lock:
                answers[st] = answers.get(st, 0) + 1
                biggest = max(biggest, len(b))
            k += 1

    threads = [threading.Thread(target=client, args=(k, 20 + k)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rss2, hwm2 = server.memory()
    print("range: 8 connections mixing ranges, feed, metrics, page, 404s and long heads for 10 s: answers %s, "
          "the largest %d bytes; memory %.1f MiB, peak %.1f MiB (%.1f MiB over the start)"
          % (dict(sorted(answers.items())), biggest, rss2 / 1024, hwm2 / 1024, (hwm2 - rss0) / 1024))
    stop.set()
    flyer.join()
    server.stop()
    for p in pilots:
        p.close()


class Redis:
    """A redis-server on a free port of 127.0.0.1, without persistence."""

    def __init__(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()
        self.dir = tempfile.mkdtemp(prefix="skytether-redis-")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                                      "--appendonly", "no", "--protected-mode", "no", "--dir", self.dir,
                                      "--logfile", self.dir + "/redis.log"])
        atexit.register(self.proc.kill)
        for _ in range(500):
            try:
                with socket.create_connection(("127.0.0.1", self.port), 0.2) as c:
                    c.sendall(b"PING\r\n")
                    if c.recv(16).startswith(b"+PONG"):
                        return
            except OSError:
                time.sleep(0.02)
        raise SystemExit("redis-server did not start")

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    @staticmethod
    def publishes(channel, payloads):
        """The commands that PUBLISH every payload, pipelined."""
        ch = channel.encode()
        return b"".join(b"*3\r\n$7\r\nPUBLISH\r\n$%d\r\n%s\r\n$%d\r\n%s\r\n" % (len(ch), ch, len(p), p)
                        for p in payloads)

    def send_commands(self, commands):
        """Sends pipelined commands on one connection, as fast as Redis takes them."""
        c = socket.create_connection(("127.0.0.1", self.port))
        replies = threading.Thread(target=lambda: [c.recv(1 << 20) for _ in iter(lambda: c.recv(1 << 20), b"")],
                                   daemon=True)
        replies.start()
        c.sendall(commands)
        c.shutdown(socket.SHUT_WR)
        replies.join(60)
        c.close()

    def stop(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def fakenodes(build):
    redis = Redis()
    node = Server(build, ["--cluster", "127.0.0.1:%d" % redis.port, "--node-name", "real"])
    time.sleep(1.0)
    r, h = Pilot(node.port, 1), Pilot(node.port, 2)
    r.login("r")
    h.login("h")
    for _ in range(2):
        time.sleep(0.3)
        r.fly(47.0, 8.0)
        h.fly(47.01, 8.0)
    r.lines(0.5)
    r.udp.setblocking(False)
    while plugin_read(r.udp):
        pass
    for count in (20000, 100000):
        mark = node.mark()
        # Each fake node lists one pilot in view, far away.
        payloads = [b"S\tfake%d\tfake%d\nP\t%d\tv\t-40.000000\t%.6f\tF%d\t\n" % (i, i, 100000 + i, i * 1e-3, i)
                    for i in range(count)]
        sent, got, arrivals = 0, 0, []
        publisher = threading.Thread(target=redis.send_commands,
                                     args=(Redis.publishes("skytether:presence", payloads),))
        start = time.time()
        tick = start
        published_at = None
        # Until 10 s after the publishing began and reports flow again (at most 2 minutes).
        while time.time() - start < 11 or (time.time() - start < 120 and time.time() - (arrivals or [0])[-1] > 0.5):
            if published_at is None and time.time() - start > 1:
                published_at = time.time()
                publisher.start()
            h.fly(47.01, 8.0)
            r.fly(47.0, 8.0)
            sent += 1
            for d in plugin_read(r.udp):
                if b"|47.01|8.0|" in d:
                    got += 1
                    arrivals.append(time.time())
            r.lines(0)
            tick += 1 / 30
            time.sleep(max(0.0, tick - time.time()))
        publisher.join()
        arrivals = [start] + arrivals + [time.time()]
        for _ in range(10):
            for d in plugin_read(r.udp):
                got += b"|47.01|8.0|" in d
            time.sleep(0.03)
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        n, _, lines = node.since(mark)
        print("fakenodes: %d fake node names published: %d of %d honest reports lost, longest gap %.2f s, "
              "%d log lines" % (count, sent - got, sent, max(gaps or [0]), n))
        if count <= 20000:
            check(got >= sent, "fakenodes: %d fake nodes cost reports" % count)
        check(max(gaps or [0]) <= 1.0, "fakenodes: %d fake nodes stalled the relay past a second" % count)
        print("fakenodes: " + " | ".join(l[21:] for l in lines if "fake" in l and "x " in l)[-300:])
        time.sleep(4)  # the fakes a node took are left behind
    node.stop()
    redis.stop()


def restart(build):
    redis = Redis()
    a = Server(build, ["--cluster", "127.0.0.1:%d" % redis.port, "--node-name", "a"])
    b = Server(build, ["--cluster", "127.0.0.1:%d" % redis.port, "--node-name", "b"])
    time.sleep(1.5)
    honest_closed = newcomer_in = newcomer_closed = trials = 0
    for trial in range(20):
        uid = 7000 + trial
        honest = Pilot(a.port, uid)
        honest.login("honest")
        if not honest.admitted(2.0):
            print("restart: trial %d: the honest pilot was not let in" % trial)
            honest.close()
            continue
        trials += 1
        honest.fly(47.0, 8.0)
        time.sleep(1.2)  # its key and presence are out
        redis.kill()
        killed = time.time()
        newcomer = None
        while time.time() - killed < 8.0:
            honest.fly(47.0, 8.0)
            if honest.lines(0) is None:
                break
            if newcomer is None and time.time() - killed > 3.5:
                # Node b has forgotten node a's pilots by now: it lets the uniqueID in alone.
                newcomer = Pilot(b.port, uid)
                newcomer.login("newcomer")
                newcomer_in += newcomer.admitted(1.0)
            if redis.proc.poll() is not None and time.time() - killed > 5.0:
                redis.start()
            time.sleep(0.1)
        if redis.proc.poll() is not None:
            redis.start()
        end = time.time() + 6
        lost = False
        while time.time() < end and not lost:
            honest.fly(47.0, 8.0)
            lost = honest.lines(0.1) is None
        honest_closed += lost
        newcomer_closed += newcomer is not None and newcomer.lines(0) is None
        for p in (honest, newcomer):
            if p:
                p.close()
        time.sleep(1.0)
    print("restart: %d honest pilots closed in %d trials (the newcomer let in alone %d times, closed %d times)"
          % (honest_closed, trials, newcomer_in, newcomer_closed))
    check(honest_closed == 0 and trials == 20, "restart: an honest pilot lost its uniqueID")
    n, _, lines = a.since((0, 0))
    print("restart: node a: " + " | ".join(l[21:] for l in lines if "another node" in l)[-300:])
    a.stop()
    b.stop()
    redis.stop()


class Proxy:
    """A reverse proxy in front of the status page, reaching it from 127.0.0.5 and adding
    X-Forwarded-For as such proxies do; counts the answers by status."""

    def __init__(self, http_port):
        import http.server
        self.answers = {}
        lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                forwarded = self.headers.get("X-Forwarded-For")
                xff = (forwarded + ", " if forwarded else "") + self.client_address[0]
                status, body = http_get(http_port, self.path, ["X-Forwarded-For: " + xff], source="127.0.0.5")
                with lock:
                    outer.answers[status] = outer.answers.get(status, 0) + 1
                self.send_response(status or 502)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Content-Type", "application/json" if self.path.endswith(".json")
                                 else "text/html" if self.path == "/" else "text/plain")
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def take(self):
        a, self.answers = self.answers, {}
        return a

    def stop(self):
        self.server.shutdown()


def proxy(build):
    args = ["--http", "0"]
    if supports(build, "--http-trusted-proxy"):
        args += ["--http-trusted-proxy", "127.0.0.5"]
    server = Server(build, args)
    front = Proxy(server.http)
    profile = tempfile.mkdtemp(prefix="skytether-chromium-")
    browser = subprocess.Popen(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                                "--remote-debugging-port=0", "about:blank"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    atexit.register(browser.kill)
    port_file = os.path.join(profile, "DevToolsActivePort")
    for _ in range(300):
        if os.path.exists(port_file) and open(port_file).read().strip():
            break
        time.sleep(0.1)
    devtools = int(open(port_file).read().split()[0])
    import urllib.request
    for _ in range(20):
        urllib.request.urlopen(urllib.request.Request("http://127.0.0.1:%d/json/new?http://127.0.0.1:%d/"
                                                      % (devtools, front.port), method="PUT"), timeout=10).read()
    time.sleep(5)  # the tabs load and settle
    front.take()
    time.sleep(20)
    tabs = front.take()
    browser.kill()
    browser.wait()
    shutil.rmtree(profile, ignore_errors=True)
    total = sum(tabs.values())
    print("proxy: 20 tabs of one browser behind the proxy for 20 s: %d requests (%.1f/s), %d answered 429 (%.0f %%)"
          % (total, total / 20.0, tabs.get(429, 0), 100.0 * tabs.get(429, 0) / max(total, 1)))
    check(tabs.get(429, 0) == 0 and 0 < total <= 2.5 * 20, "proxy: 20 tabs were not well inside the allowance")

    # Ten viewers on addresses of their own, each at one tab's pace, and one that claims a new
    # address in its own X-Forwarded-For at every request, 10 a second.
    stop = threading.Event()
    forged = {}

    def viewer(ip):
        while not stop.is_set():
            for path in ("/v1/status.json", "/metrics"):
                http_get(front.port, path, source=ip)
            stop.wait(2.0)

    def forger():
        n = 0
        while not stop.is_set():
            n += 1
            st, _ = http_get(front.port, "/v1/status.json", ["X-Forwarded-For: 10.0.%d.%d" % (n // 250, n % 250)],
                             source="127.0.0.66")
            forged[st] = forged.get(st, 0) + 1
            stop.wait(0.1)

    threads = [threading.Thread(target=viewer, args=("127.0.0.%d" % (10 + i),)) for i in range(10)]
    threads.append(threading.Thread(target=forger))
    for t in threads:
        t.start()
    time.sleep(20)
    stop.set()
    for t in threads:
        t.join()
    answers = front.take()
    for st, k in forged.items():
        answers[st] -= k
    viewers = sum(answers.values())
    print("proxy: 10 viewers behind the proxy at the page's pace for 20 s: %d requests, %d answered 429; one client "
          "forging X-Forwarded-For 10 a second: %d requests, %d answered 429"
          % (viewers, answers.get(429, 0), sum(forged.values()), forged.get(429, 0)))
    check(answers.get(429, 0) == 0, "proxy: viewers behind the proxy were refused")
    check(forged.get(429, 0) > 0, "proxy: a forged X-Forwarded-For escaped the allowance")
    front.stop()
    server.stop()


ADMIN_TOKEN = "hostile-5f0c9e27b4d1a8364e2b"
RETRY_AFTER = 1.0  # seconds, as the controls' answer 429 says


def admin_server(build, args=()):
    """A server with the controls on a free port of 127.0.0.1: the server and that port."""
    path = "/tmp/skytether-hostile-tokens"
    with open(path, "w") as f:
        f.write("ops %s\n" % ADMIN_TOKEN)
    os.chmod(path, 0o600)
    server = Server(build, ["--admin-token-file", path, "--admin-http", "127.0.0.1:0", *args])
    line = server.wait_for("admin controls on", 5)
    os.remove(path)
    return server, int(line.split("127.0.0.1:")[1].split("/")[0])


def admin_get(port, token, source="127.0.0.1", headers=()):
    auth = ["Authorization: Bearer " + token] if token else []
    return http_get(port, "/v1/admin/pilots", auth + list(headers), source, timeout=5, host="127.0.0.1:%d" % port)[0]


def lockout(build):
    # The operator's 20 requests, 4 a second, beside a client without a token at 10 a second from
    # the operator's own address; then both behind one reverse proxy, the stranger at 5 a second.
    proxied = supports(build, "--admin-trusted-proxy")
    server, port = admin_server(build, ["--admin-trusted-proxy", "127.0.0.5"] if proxied else [])
    for label, source, forwarded, pace in (("the same address", "127.0.0.1", None, 0.1),
                                           ("behind one proxy", "127.0.0.5", "10.0.%d.%d", 0.2)):
        stop, burst, n = threading.Event(), threading.Event(), [0]

        def stranger():
            while not stop.is_set():
                n[0] += 1
                via = ["X-Forwarded-For: " + forwarded % (n[0] // 250, n[0] % 250)] if forwarded else []
                admin_get(port, "", source, via)
                if n[0] == 20:
                    burst.set()
                stop.wait(pace if n[0] > 20 else 0)  # its first 20 at once

        t = threading.Thread(target=stranger)
        t.start()
        burst.wait(10)  # the operator comes after the stranger's first 20
        answers = {}
        for _ in paced(20, 0.25):
            st = admin_get(port, ADMIN_TOKEN, source, ["X-Forwarded-For: 192.0.2.1"] if forwarded else [])
            answers[st] = answers.get(st, 0) + 1
        stop.set()
        t.join()
        print("lockout: %s: the operator's 20 requests beside a client without a token at %d a second: %s"
              % (label, round(1 / pace), dict(sorted(answers.items()))))
        check(answers.get(200, 0) == 20, "lockout: requests without a token cost the operator's")
    # Guesses from 5,000 addresses, each on a connection of its own, as fast as they go for 5 s.
    stop, answers, lock = time.time() + 5, {}, threading.Lock()

    def guesser(k):
        i = k
        while time.time() < stop:
            st = admin_get(port, "wrong-%032d" % i, "127.1.%d.%d" % (i // 250 % 20, 1 + i % 250))
            with lock:
                answers[st] = answers.get(st, 0) + 1
            i += 8
    threads = [threading.Thread(target=guesser, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("lockout: wrong tokens from 5,000 addresses for 5 s: %d checked (%.0f a second), answers %s; "
          "the operator then: %d" % (answers.get(401, 0), answers.get(401, 0) / 5.0, dict(sorted(answers.items())),
                                     admin_get(port, ADMIN_TOKEN)))
    check(answers.get(401, 0) <= 100, "lockout: guesses from many addresses were not bounded")
    server.stop()


def slowadmin(build):
    # 8 connections of 127.0.0.1 and 24 of other addresses send their heads a byte a second, over
    # and over; the operator asks 75 times, 5 a second (its allowance).
    server, port = admin_server(build)
    stop, trickling = threading.Event(), threading.Semaphore(0)

    def trickler(source):
        first = True
        while not stop.is_set():
            s = socket.socket()
            try:
                s.bind((source, 0))
                s.connect(("127.0.0.1", port))
                for b in b"GET /v1/admin/pilots HTTP/1.1\r\nHost: 127.0.0.1\r\n":
                    if stop.wait(1.0):
                        break
                    s.send(bytes([b]))
                    if first:
                        first = False
                        trickling.release()
            except OSError:
                pass
            s.close()
    threads = [threading.Thread(target=trickler, args=("127.0.0.1" if k < 8 else "127.0.3.%d" % k,)) for k in range(32)]
    for t in threads:
        t.start()
    # The operator comes once every connection has sent the first byte of its head.
    end = time.monotonic() + 10
    for _ in threads:
        trickling.acquire(timeout=max(0.0, end - time.monotonic()))
    answers, took = {}, 0.0
    for _ in paced(75, 0.2):
        start = time.time()
        st = admin_get(port, ADMIN_TOKEN)
        took = max(took, time.time() - start)
        answers[st] = answers.get(st, 0) + 1
    stop.set()
    for t in threads:
        t.join()
    print("slowadmin: 32 connections trickling their heads (8 from the operator's address): the operator's 75 "
          "requests answered %s, the slowest in %.2f s" % (dict(sorted(answers.items())), took))
    check(answers.get(200, 0) == 75, "slowadmin: slow connections kept the operator out")
    server.stop()


def bans(build):
    # 300,000 bans in the ban file; while a pilot flies at 30 Hz, 20 more are given and the whole
    # list is read: the reports lost, the longest gap between two, and whether the list parses.
    count, path = 300000, "/tmp/skytether-hostile-bans"
    with open(path, "w") as f:
        f.writelines("u%06d\tnever\t2026-12-08T15:02:41Z\tops\tspam\n" % i for i in range(count))
    server, port = admin_server(build, ["--ban-file", path])
    r, x = pair(server)
    while readable(r.udp, 0.2):
        r.udp.recv(2048)
    auth = ["Authorization: Bearer " + ADMIN_TOKEN]
    results = {"ban": [], "listed": 0, "valid": True, "list_s": 0.0}

    def operator():
        for i in paced(20, 0.25):
            start = time.time()
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(("POST /v1/admin/ban HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\nContent-Length: 9\r\n\r\n"
                       "user=v%03d" % (port, auth[0], i)).encode())
            s.recv(4096)
            s.close()
            results["ban"].append(time.time() - start)
        start, after = time.time(), None
        while True:  # a page at a time where the server pages, else the whole list at once
            query = "?limit=10000" + ("&after=" + after if after else "")
            status, body = http_get(port, "/v1/admin/bans" + query, auth, timeout=30, host="127.0.0.1:%d" % port)
            if status == 429:  # the operator's own allowance: asked again when its Retry-After says
                time.sleep(RETRY_AFTER)
                continue
            pages.append(body)
            tail = body[body.rfind(b'"next":'):].strip() if b'"next":' in body else b""
            try:  # parsed whole once the pilot has landed: this process's parsing stops its reading
                after = json.loads(b"{" + tail) .get("next") if tail else None
            except ValueError:
                after = None
            if not after:
                break
        results["list_s"] = time.time() - start

    pages = []
    t = threading.Thread(target=operator)
    t.start()
    sent = received = 0
    gap, last = 0.0, time.time()
    while t.is_alive():
        x.fly(47.01 + sent * 1e-5, 8.0)
        sent += 1
        end = time.time() + 1 / 30
        while readable(r.udp, end - time.time()):
            if r.udp.recv(2048).startswith(b"1|l|"):
                received += 1
                gap, last = max(gap, time.time() - last), time.time()
    while readable(r.udp, 0.3):
        received += r.udp.recv(2048).startswith(b"1|l|")
    for body in pages:
        try:
            results["listed"] += len(json.loads(body.decode())["bans"])
        except (ValueError, KeyError):
            results["valid"] = False
    print("bans: %d in the file; 20 more given (answers in %.3f s at most), the list read in %.2f s: %d listed, "
          "%s; reports %d of %d, the longest gap %.3f s"
          % (count, max(results["ban"]), results["list_s"], results["listed"],
             "valid JSON" if results["valid"] else "NOT valid JSON", received, sent, gap))
    check(results["valid"] and results["listed"] == count + 20, "bans: the list did not come back whole")
    check(received >= 0.99 * sent, "bans: a long ban list cost the relay reports")
    server.stop()
    os.remove(path)


def admin(build):
    token = ADMIN_TOKEN
    server, port = admin_server(build, ["--max-report-age", "0"])
    r, x = pair(server)
    while readable(r.udp, 0.2):
        r.udp.recv(2048)
    mark, stop, statuses, lock = server.mark(), time.time() + 6, {}, threading.Lock()

    def ask(label, head, body=b"", trickle=0.0):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        start = time.time()
        try:
            s.sendall(head)
            for b in body:
                s.sendall(bytes([b]))
                time.sleep(trickle)
            if not trickle:
                s.sendall(body)
            answer = s.recv(64)
        except OSError:
            answer = b""
        s.close()
        key = label + " " + (answer[9:12].decode() if answer.startswith(b"HTTP/1.1 ") else "closed")
        with lock:
            statuses[key] = statuses.get(key, 0) + 1
        return time.time() - start

    def post(auth, length, path="/v1/admin/kick"):
        return ("POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%sContent-Length: %d\r\n\r\n"
                % (path, port, auth, length)).encode()

    def flood(label, auth):
        while time.time() < stop:
            ask(label, post(auth, 4), b"id=2")

    def huge():
        while time.time() < stop:
            ask("huge", post("Authorization: Bearer %s\r\n" % token, 10 << 20), b"id=2" * 1000)

    slow_cut = []

    def slow():
        slow_cut.append(ask("slow", post("Authorization: Bearer %s\r\n" % token, 40), b"id=2&reason=" + b"x" * 28, 0.25))

    threads = [threading.Thread(target=flood, args=("none", "")),
               threading.Thread(target=flood, args=("wrong", "Authorization: Bearer wrong-%s\r\n" % token)),
               threading.Thread(target=huge)] + [threading.Thread(target=slow) for _ in range(4)]
    for t in threads:
        t.start()
    sent = received = 0
    while time.time() < stop:
        x.fly(47.01 + sent * 1e-5, 8.0)
        sent += 1
        end = time.time() + 1 / 30
        while readable(r.udp, end - time.time()):
            received += r.udp.recv(2048).startswith(b"1|l|")
    while readable(r.udp, 0.5):
        received += r.udp.recv(2048).startswith(b"1|l|")
    for t in threads:
        t.join()
    n, b, _ = server.since(mark)
    alive = x.admitted()
    print("admin: answers %s; a trickling body cut after %.1f s; %d log lines (%d bytes) in 6 s; "
          "reports %d of %d; the pilot named in every request still logged in: %s"
          % (dict(sorted(statuses.items())), max(slow_cut), n, b, received, sent, alive))
    server.stop()
    if not alive or received < sent:
        raise SystemExit("admin: a hostile admin client cost the relay")


if __name__ == "__main__":
    scenarios = {"churn": churn, "reconnect": reconnect, "pending": pending, "logflood": logflood, "admin": admin,
                 "lockout": lockout, "slowadmin": slowadmin, "bans": bans,
                 "flood": flood, "flip": flip, "feed": feed, "range": range_, "fakenodes": fakenodes, "restart": restart,
                 "proxy": proxy}
    if len(sys.argv) < 2 or any(s not in scenarios for s in sys.argv[2:]):
        raise SystemExit(__doc__)
    for name in sys.argv[2:] or list(scenarios):
        scenarios[name](sys.argv[1])
    if FAILED:
        raise SystemExit("hostile: %d bound(s) not kept: %s" % (len(FAILED), "; ".join(FAILED)))
