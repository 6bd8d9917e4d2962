"""What the benches that watch traffic share (display.py, smooth.py, tools/demo.py): the real server
and simulated hosts started and stopped, the hosts' frame traces read, positions in metres, and a
datagram proxy between the plugins and the server."""
import heapq
import math
import os
import selectors
import socket
import subprocess
import threading
import time


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def start_server(binary, work, port, relay_rates=None):
    """The real server on 127.0.0.1:port, its output copied to work/server.log as it comes;
    returns once it listens (or has ended)."""
    log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen([binary, "--listen", "127.0.0.1", "--port", str(port)] +
                              (["--relay-rates", relay_rates] if relay_rates else []),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    listening = threading.Event()

    def copy():
        for line in server.stdout:
            log.write(line.decode(errors="replace"))
            log.flush()
            if b"listening on" in line:
                listening.set()
        listening.set()

    threading.Thread(target=copy, daemon=True).start()
    listening.wait(5)
    return server


def relay_rule(work):
    """The rule the server says it relays by ("changes: up to 10 km 40/s, ..."), from its log."""
    with open(os.path.join(work, "server.log")) as f:
        for line in f:
            if "relay rates: " in line:
                return line.split("relay rates: ", 1)[1].strip()
    return None


def start_host(build, plugin, work, name, fps, seconds, smooth, start, script, port=None, dump=False):
    """A simulated host in real time running the plugin, its pilot at start (lat, lon, elevation)
    flying the script, every frame traced to work/NAME.trace (and what it shows dumped at the end
    to work/NAME.json with dump)."""
    root = os.path.join(work, name)
    write(os.path.join(root, "Resources/plugins/stprefs.txt"),
          "callsign=%s;userID=%s;password=;flightMode=0;cockpitPosition=0;crewID=;connectAtStartup=1;"
          "smoothTraffic=%d;%s" % (name, name.lower(), smooth, "server=127.0.0.1:%d;" % port if port else ""))
    write(os.path.join(root, "Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf"), "model")
    write(os.path.join(root, "script.txt"), "\n".join(script) + "\n")
    log = open(os.path.join(work, name + ".log"), "w")
    argv = [os.path.join(build, "host", "skytether-host"), "--plugin", plugin, "--root", root,
            "--seconds", "%.3f" % seconds, "--fps", str(fps), "--realtime", "--load-ms", "0",
            "--start", "%.7f,%.7f,%.2f" % start, "--script", os.path.join(root, "script.txt"),
            "--trace", os.path.join(work, name + ".trace")]
    if dump:
        argv += ["--dump", os.path.join(work, name + ".json")]
    return subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)


def stop(procs):
    """Every process still running asked to end, and killed after 5 s."""
    for p in procs:
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()


def read_trace(path, host_time=False):
    """Per frame: (wall time, or with host_time the host's own seconds, {slot: (lat, lon, el, psi,
    theta, phi)}); slot 0 is the host's own aircraft."""
    frames = []
    with open(path) as f:
        for line in f:
            v = line.split()
            if len(v) < 8:
                continue
            planes = {0: tuple(float(x) for x in v[2:8])}
            for k in range(8, len(v) - 6, 7):
                planes[int(v[k])] = tuple(float(x) for x in v[k + 1:k + 7])
            frames.append((float(v[1]) if host_time else int(v[0]) * 1e-6, planes))
    return frames


class Metres:
    """East, north, up in metres from a point (flat over tens of kilometres)."""

    def __init__(self, lat, lon):
        a, f = 6378137.0, 1 / 298.257223563
        e2 = f * (2 - f)
        p = math.radians(lat)
        w = 1 - e2 * math.sin(p) ** 2
        self.lat, self.lon = lat, lon
        self.m, self.n = a * (1 - e2) / w ** 1.5, a / math.sqrt(w) * math.cos(p)

    def __call__(self, lat, lon, el):
        return (math.radians(lon - self.lon) * self.n, math.radians(lat - self.lat) * self.m, el)


def percentile(values, q):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(round(q * (len(v) - 1))))]


def wrap(d):
    return (d + 180.0) % 360.0 - 180.0


class DatagramProxy:
    """Between plugins and the server: the stream passed on as it comes; each plugin's datagrams
    go up through a socket of their own and the server's come back down, each way through
    up(sock, data) and down(data, addr), which pass them on at once or later()."""

    def __init__(self, listen_port, server_port):
        self.server = ("127.0.0.1", server_port)
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
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def up(self, sock, data):
        """A plugin's datagram for the server, to go through sock."""
        self.later(sock, data, self.server, 0)

    def down(self, data, addr):
        """The server's datagram for the plugin at addr."""
        self.later(self.udp, data, addr, 0)

    def later(self, sock, data, addr, hold):
        if hold <= 0:
            try:
                sock.sendto(data, addr)
            except OSError:
                pass
            return
        self.seq += 1
        heapq.heappush(self.due, (time.monotonic() + hold, self.seq, sock, data, addr))

    def run(self):
        while not self.stop:
            timeout = 0.02
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
                            self.up(up, data)
                    elif kind == "up-in":  # from the server, for the plugin at `other`
                        while True:
                            self.down(key.fileobj.recv(2048), other)
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
