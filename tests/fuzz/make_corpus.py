#!/usr/bin/env python3
"""Writes the fuzz targets' starting inputs: real messages of both sides, in each target's input
layout. Run from anywhere; files already in corpus/ that this script does not write (inputs
that once broke an invariant, named regress-*) are left alone."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def f9(v):
    return "%.9g" % v


def position_values(lat="47.4502258", lon="8.55000019", tail=True):
    v = [f9(100.5), f9(200.25), f9(-300.125), lat, lon, "1000.5", "2.5", "-10.25", "270.5",
         "0.5", "0.25", "0.125", "0.75", "0.0625", "0.100000001", "-0.200000003", "0.300000012"]
    v += [f9(g) for g in (1, 0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2, 0.1)]
    v += ["1", "1", "0", "1", "0"]
    v += [f9(t) for t in (0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.2)]
    if tail:
        v += ["1.76515802e+09", "123456"]
    return "|".join(v)


def report(slot, **kw):
    return "%d|l|%s" % (slot, position_values(**kw))


NOTICES = ("5|c|Falcon\n0|m|Falcon: hello there\r\n4|p|Aircraft/Heavy/B744/B744.acf\n"
           "5|c|BLANK\n4|p|BLANK\n3|c|A|B\n")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def reads(sizes, text):
    """plugin_stream_fuzz layout: count, two-byte sizes, then the stream."""
    return bytes([len(sizes)]) + b"".join(struct.pack("<H", s - 1) for s in sizes) + text.encode("latin-1")


def main():
    # The matchers: each kind of text they meet.
    w = "wire_match_fuzz"
    write(w, "report", report(3))
    write(w, "report-line-feed", report(19, tail=False) + "\n")
    write(w, "report-bad-light", report(2).replace("|1|1|0|1|0|", "|10|1|0|1|0|"))
    write(w, "notices", NOTICES)
    write(w, "crlf-split", "6|c|Fal\r\r\n\n7|c|Hawk\n")
    write(w, "nul-tails", "5|c|A\x00junk\r\n6|c|B\x00\n7|c|C\r\x00x\n")
    write(w, "latitude", "47.4502258")
    write(w, "exponent", "1.5e-05")
    write(w, "path", "Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf")

    p = "prefs_fuzz"
    write(p, "saved", "callsign=Falcon;userID=42;password=;flightMode=1;cockpitPosition=2;crewID=7;connectAtStartup=1;")
    write(p, "partial", "userID=42;")
    write(p, "line-feed", "callsign=A;userID=B;password=C;\nflightMode=1;")
    write(p, "semicolon-in-value", "password=a;b;flightMode=1;crewID=x=y;connectAtStartup=abc;")
    write(p, "long-number", "cockpitPosition=99999999999999999999;flightMode=-7;")
    write(p, "equals-and-cr", "callsign=a=b;password=x==;crewID=\r;userID=;")

    s = "plugin_stream_fuzz"
    write(s, "one-read", reads([], NOTICES))
    write(s, "split-reads", reads([7, 1, 1, 30], NOTICES))
    write(s, "crlf-split", reads([8, 1], "6|c|Fal\r\n7|c|Hawk\n"))
    write(s, "chat-fifteen", reads([], "".join("0|m|line %d\n" % i for i in range(1, 16))))
    write(s, "junk-then-line", reads([5], "hello there\n12|c|Good\n" + "x" * 2000 + "\n13|c|After\n"))
    write(s, "bars", reads([], "7|c|" + "|" * 3000 + "\n0|m|" + "|" * 3000 + "\n"))
    write(s, "nul-in-read", reads([10], "5|c|Fal\x00junk\ncon\n8|c|Kite\n"))
    # A first byte of 255: repeated past the 64 KiB cap.
    write(s, "over-the-cap", b"\xff" + ("5|c|" + "y" * 3000).encode())
    write(s, "over-the-cap-with-lines", b"\xff" + ("5|c|Falcon\r\n0|m|" + "z" * 1500 + "\n").encode())
    # A line without a break, rich in "=", over a dozen reads; markers and a CR NUL LF split over reads.
    write(s, "long-partial-equals", reads([], "===x" * 4000 + "\n5|c|Owl\n"))
    write(s, "split-markers", reads([6, 1, 1, 7, 1, 2, 3], "5|c|a=\r\n6|c|b==\n==7|c|c\r\x00x\n8|c|d\n"))
    # Inputs named regress-* broke an invariant before the fault they show was mended.
    write(s, "regress-nul-glues-next-line", reads([], "7|c|A\x00junk\n8|c|GOOD\n"))
    write(s, "regress-final-equals", reads([], "1|m|2+2=\n2|c|Bob\n"))

    d = "plugin_datagram_fuzz"
    write(d, "same-cell", b"\x00" + report(3).encode())
    write(d, "other-cell", b"\x00" + report(1, lat="48.0999985", lon="8.5").encode())
    write(d, "slot-0", b"\x00" + report(0).encode())
    write(d, "slot-19-line-feed", b"\x00" + (report(19, tail=False) + "\n").encode())
    write(d, "slot-20", b"\x00" + report(20).encode())
    write(d, "equator", b"\x02" + report(4, lat="0.200000003", lon="0.100000001").encode())
    full = report(4)
    write(d, "full-area", b"\x00" + (full + "|" * (1400 - len(full))).encode())
    # Inputs named regress-* broke an invariant before the fault they show was mended.
    # Cut at 1400 bytes, the eighth throttle (1 with 1400 zeros and an exponent) would overflow.
    cut = report(4, tail=False)
    write(d, "regress-cut-datagram", b"\x00" + (cut[:-3] + "1" + "0" * 1400 + "e-1400").encode())
    write(d, "empty", b"\x00")

    c = "server_codec_fuzz"
    write(c, "position", "1234|LOC|" + position_values())
    write(c, "observer", "1234|VOLOC|" + position_values())
    write(c, "login", "1234|Opening Connection|pilot|0123456789abcdef0123456789abcdef|\n")
    write(c, "announcements", "1234|PLANE|C:\\X-Plane\\Aircraft\\Heavy\\B744.acf\n1234|CALLSIGN|Falcon|\n"
          "1234|MESSAGE|hello ==== there\n1234|Closing Connection\r\n")
    write(c, "regress-float-overflow", "1234|LOC|" + position_values().replace("100.5|", "1e39|", 1))
    write(c, "regress-final-equals", "1234|CALLSIGN|abc===|\n1234|MESSAGE|1+1=\n")
    write(c, "places-of-the-receiver", "1234|PLANE|/etc/secret/x.acf\n1234|PLANE|D:\\models\\jet.acf\n"
          "1234|PLANE|\\\\host\\share\\jet.acf\n1234|CALLSIGN|BLANK|\n")

    # The registry: a little session. Steps as server_lines_fuzz reads them.
    def connect(ip):
        return bytes([0, ip])

    def login(conn, uid):
        return bytes([3, conn, uid - 1])

    def canned(conn, kind, text):
        return bytes([4, conn, 1, 0, kind, len(text)]) + text.encode()

    def position(uid, dlat, dlon, observer=False, port=0):
        return bytes([6, uid - 1, 128 + dlat, 128 + dlon, 0 if observer else 1, 0, 1, port])

    def tick(tenths):
        return bytes([7, tenths * 2])

    session = (connect(0) + login(0, 1) + connect(0) + login(1, 2) + connect(1) + login(2, 3)
               + canned(0, 0, "Falcon") + canned(1, 2, "Heavy/B744") + canned(2, 0, "Kite")
               + position(1, 0, 0) + position(2, 1, 1) + position(3, 2, 2) + tick(11)
               + position(1, 0, 0) + canned(1, 3, "hello") + bytes([1, 1]) + tick(11)
               + position(3, 2, 2) + tick(40) + position(1, 0, 0))
    write("server_lines_fuzz", "session", session)
    crowd = b"".join(connect(0) + login(i, i + 1) for i in range(6))
    crowd += b"".join(position(i + 1, i * 3, i * 3) for i in range(6))
    crowd += tick(11) + position(2, 0, 0, observer=True) + tick(11) + canned(3, 4, "")
    write("server_lines_fuzz", "crowd", crowd)
    # Twenty-three pilots: tables fill, the nearest nineteen win after a tick, one is refused (full).
    big = b"".join(connect(i % 2) + login(i, i + 1) for i in range(23))
    big += b"".join(position(i + 1, (i * 7) % 100, (i * 13) % 100) for i in range(23))
    big += tick(11) + b"".join(position(i + 1, 50 - i, 50 + i) for i in range(0, 23, 2)) + tick(11) + tick(11)
    big += bytes([1, 5]) + tick(40) + position(3, 0, 0)
    write("server_lines_fuzz", "crowd-of-23", big)
    # Model churn, a view-only datagram and another port from a pilot's address, its port moved
    # once quiet, then silence until a login with its uniqueID takes the session over.
    churn = connect(0) + login(0, 1) + connect(0) + login(1, 2) + position(1, 0, 0) + position(2, 1, 1)
    churn += b"".join(canned(0, 2, "M" + str(i % 2)) for i in range(8)) + tick(11) + tick(40)
    churn += position(1, 0, 0, observer=True, port=1) + position(1, 0, 0, port=1) + tick(11)
    churn += position(1, 0, 0, port=1) * 3 + position(2, 1, 1) + tick(40) + connect(0) + login(2, 1)
    churn += position(1, 0, 0) + tick(11)
    write("server_lines_fuzz", "churn-port-and-return", churn)
    # A cluster node (first byte 0xC1): logins answered by the cluster, pilots of two other nodes
    # that come, fly, change, are held, and go with their node; a uniqueID held elsewhere.
    def grant(which=0, ok=True):
        return bytes([11, 0 if ok else 1, which])

    def remote(node, uid, flags, dlat, dlon, callsign, model):
        return (bytes([8, node, uid - 1, flags, 128 + dlat, 128 + dlon, len(callsign)]) + callsign.encode()
                + bytes([len(model)]) + model.encode())

    def remote_position(uid, dlat, dlon):
        return bytes([10, uid - 1, 1, 128 + dlat, 128 + dlon, 1])

    node = (b"\xc1" + connect(0) + login(0, 1) + grant() + connect(0) + login(1, 2) + grant()
            + remote(1, 10, 1, 1, 1, "Remote", "Aircraft/Jets/Liner/liner.acf") + remote(0, 11, 1, 2, 2, "Other", "")
            + position(1, 0, 0) + position(2, 1, 1) + remote_position(10, 1, 1) + remote_position(11, 2, 2)
            + remote(1, 10, 1, 1, 1, "Renamed", "Aircraft/Jets/Liner/liner.acf") + connect(1) + login(2, 10)
            + connect(1) + login(3, 12) + bytes([1, 3]) + grant() + bytes([11, 3, 0, 5]) + b"R: hi"
            + tick(11) + bytes([9, 1, 0, 1]) + remote(0, 11, 2, 2, 2, "Other", "") + tick(11)
            + remote(0, 11, 1, 3, 3, "Other", "") + remote_position(11, 3, 3))
    write("server_lines_fuzz", "cluster-node", node)
    write("server_lines_fuzz", "raw-lines", connect(0) + bytes([2, 0, 40]) + b"1|Opening Connection|u|" + b"a" * 16 +
          bytes([2, 0, 17]) + b"a" * 16 + b"|\n" + position(1, 0, 0))


if __name__ == "__main__":
    main()
