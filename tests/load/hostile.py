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
Every scenario starts its own server and stops it.
"""
import atexit
import os
import resource
import select
import socket
import subprocess
import sys
import threading
import time

ZEROS = "0" * 32


def readable(sock, timeout):
    poller = select.poll()  # select() cannot watch descriptors past 1023
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(max(0, int(timeout * 1000))))


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
        self.lines, self.bytes, self.port = [], 0, 0
        self.lock = threading.Lock()
        ready = threading.Event()

        def read():
            for raw in self.proc.stderr:
                with self.lock:
                    self.bytes += len(raw)
                    line = raw.decode(errors="replace").rstrip("\n")
                    self.lines.append(line)
                if "listening on" in line:
                    self.port = int(line.rsplit(":", 1)[1])
                    ready.set()
            ready.set()

        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(10) or not self.port:
            raise SystemExit("server did not start")

    def mark(self):
        with self.lock:
            return len(self.lines), self.bytes

    def since(self, mark):
        with self.lock:
            return len(self.lines) - mark[0], self.bytes - mark[1], self.lines[mark[0]:]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


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


def admin(build):
    token = "hostile-0123456789abcdef"
    path = "/tmp/skytether-hostile-tokens"
    with open(path, "w") as f:
        f.write("ops %s\n" % token)
    os.chmod(path, 0o600)
    server = Server(build, ["--admin-token-file", path, "--admin-http", "127.0.0.1:0", "--max-report-age", "0"])
    for _ in range(50):
        with server.lock:
            line = next((l for l in server.lines if "admin controls on" in l), None)
        if line:
            break
        time.sleep(0.1)
    port = int(line.split("127.0.0.1:")[1].split("/")[0])
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
        return ("POST %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n" % (path, auth, length)).encode()

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
    os.remove(path)
    if not alive or received < sent:
        raise SystemExit("admin: a hostile admin client cost the relay")


if __name__ == "__main__":
    scenarios = {"churn": churn, "reconnect": reconnect, "pending": pending, "logflood": logflood, "admin": admin}
    if len(sys.argv) < 2 or any(s not in scenarios for s in sys.argv[2:]):
        raise SystemExit(__doc__)
    for name in sys.argv[2:] or list(scenarios):
        scenarios[name](sys.argv[1])
