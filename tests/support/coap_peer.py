#!/usr/bin/env python3
"""A scripted CoAP peer for the client tests (plain UDP, loopback only).

usage: coap_peer.py <port> <scenario> [--v6]

Binds 127.0.0.1:<port> (and [::1]:<port> with --v6), prints READY, then one line per datagram:
  RECV <type> <code> mid=<mid> tok=<hex> opts=<n>:<value>,... len=<payload bytes>
and the lines of its scenario. Scenarios:
  echo              every request gets a piggybacked 2.05 whose body lists its options
  block1            asks for the body in 64-byte Block1 parts, prints ASSEMBLED <hex>, answers 2.04 "done"
  unknown_token     empty ACK, a CON 2.05 with a foreign token, then the right one ("ok")
  separate_observe  empty ACK, a separate CON 2.05 with Observe, then a NON notification every second
  endless_block2    every GET gets a 16-byte Block2 block with the more flag set, blocks after the
                    first 1.5 s late
  other_token       waits for two requests, sends the first one the second's token, then both their own
  odd_reply         answers by the request's first path segment: "class3" a piggybacked 3.00 "x",
                    "empty_block2" a piggybacked 2.05 with a final Block2 block 0 and no payload
  late              empty ACK at once, a separate CON 2.05 "late" two seconds later
"""
import select
import socket
import sys
import time

TYPES = ["CON", "NON", "ACK", "RST"]
UINT_OPTS = {6, 7, 12, 14, 23, 27, 28, 60}


def code_text(code):
    return "%d.%02d" % (code >> 5, code & 0x1F)


def parse(data):
    if len(data) < 4 or data[0] >> 6 != 1:
        return None
    mtype = (data[0] >> 4) & 3
    tkl = data[0] & 0x0F
    code = data[1]
    mid = (data[2] << 8) | data[3]
    pos = 4
    token = data[pos:pos + tkl]
    pos += tkl
    opts = []
    number = 0
    while pos < len(data):
        if data[pos] == 0xFF:
            pos += 1
            break
        delta, length = data[pos] >> 4, data[pos] & 0x0F
        pos += 1
        ext = []
        for v in (delta, length):
            if v == 13:
                ext.append(data[pos] + 13)
                pos += 1
            elif v == 14:
                ext.append(((data[pos] << 8) | data[pos + 1]) + 269)
                pos += 2
            else:
                ext.append(v)
        number += ext[0]
        opts.append((number, bytes(data[pos:pos + ext[1]])))
        pos += ext[1]
    return {"type": mtype, "code": code, "mid": mid, "token": bytes(token), "opts": opts,
            "payload": bytes(data[pos:])}


def uint_bytes(v):
    out = b""
    while v:
        out = bytes([v & 0xFF]) + out
        v >>= 8
    return out


def uint_value(b):
    v = 0
    for x in b:
        v = (v << 8) | x
    return v


def nibble(v):
    if v < 13:
        return v, b""
    if v < 269:
        return 13, bytes([v - 13])
    return 14, bytes([(v - 269) >> 8, (v - 269) & 0xFF])


def build(mtype, code, mid, token, opts=(), payload=b""):
    out = bytes([0x40 | (mtype << 4) | len(token), code, mid >> 8, mid & 0xFF]) + token
    last = 0
    for number, value in sorted(opts, key=lambda o: o[0]):
        d, dx = nibble(number - last)
        l, lx = nibble(len(value))
        out += bytes([(d << 4) | l]) + dx + lx + value
        last = number
    if payload:
        out += b"\xff" + payload
    return out


def render(opts):
    parts = []
    for number, value in opts:
        text = str(uint_value(value)) if number in UINT_OPTS else value.decode("latin-1")
        parts.append("%d:%s" % (number, text))
    return ",".join(parts)


def opt(msg, number):
    for n, v in msg["opts"]:
        if n == number:
            return v
    return None


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Peer:
    def __init__(self, port, v6):
        self.socks = []
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", port))
        self.socks.append(s)
        if v6:
            try:
                s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
                s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                s6.bind(("::1", port))
                self.socks.append(s6)
            except OSError:
                pass
        self.mid = 0x7000
        self.timers = []

    def next_mid(self):
        self.mid = (self.mid + 1) & 0xFFFF
        return self.mid

    def send(self, sock, addr, data):
        sock.sendto(data, addr)

    def later(self, delay, fn):
        self.timers.append((time.monotonic() + delay, fn))

    def run(self, handler):
        say("READY")
        while True:
            now = time.monotonic()
            due = [t for t in self.timers if t[0] <= now]
            self.timers = [t for t in self.timers if t[0] > now]
            for _, fn in due:
                fn()
            wait = min([t[0] for t in self.timers], default=now + 0.2) - now
            ready, _, _ = select.select(self.socks, [], [], max(0.0, min(wait, 0.2)))
            for sock in ready:
                data, addr = sock.recvfrom(65536)
                msg = parse(data)
                if msg is None:
                    say("RECV ? raw=%d" % len(data))
                    continue
                say("RECV %s %s mid=%d tok=%s opts=%s len=%d" % (
                    TYPES[msg["type"]], code_text(msg["code"]), msg["mid"], msg["token"].hex(),
                    render(msg["opts"]), len(msg["payload"])))
                handler(self, sock, addr, msg)


def is_request(msg):
    return msg["type"] in (0, 1) and 1 <= msg["code"] <= 31


def ack(msg, code=0, opts=(), payload=b""):
    return build(2, code, msg["mid"], msg["token"] if code else b"", opts, payload)


def scenario_echo():
    def handle(peer, sock, addr, msg):
        if is_request(msg):
            peer.send(sock, addr, ack(msg, 0x45, payload=render(msg["opts"]).encode("latin-1")))
    return handle


def scenario_block1():
    body = bytearray()

    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        b1 = opt(msg, 27)
        if b1 is None:
            body[:] = msg["payload"][:64]
            peer.send(sock, addr, ack(msg, 0x5F, [(27, uint_bytes((0 << 4) | 0x08 | 2))]))
            return
        v = uint_value(b1)
        num, more = v >> 4, (v >> 3) & 1
        del body[num * 64:]
        body.extend(msg["payload"])
        if more:
            peer.send(sock, addr, ack(msg, 0x5F, [(27, uint_bytes((num << 4) | 0x08 | 2))]))
        else:
            say("ASSEMBLED %s" % bytes(body).hex())
            peer.send(sock, addr, ack(msg, 0x44, [(27, uint_bytes((num << 4) | 2))], b"done"))
    return handle


def scenario_unknown_token():
    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        peer.send(sock, addr, ack(msg))
        bad = peer.next_mid()
        say("SENT foreign mid=%d" % bad)
        peer.send(sock, addr, build(0, 0x45, bad, b"ZZZZZZZZ", payload=b"bad"))
        good = peer.next_mid()
        say("SENT own mid=%d" % good)
        peer.later(0.3, lambda: peer.send(sock, addr, build(0, 0x45, good, msg["token"], payload=b"ok")))
    return handle


def scenario_separate_observe():
    state = {"seq": 2, "token": None}

    def notify(peer, sock, addr):
        if state["token"] is None:
            return
        state["seq"] += 1
        n = state["seq"] - 2
        peer.send(sock, addr, build(1, 0x45, peer.next_mid(), state["token"], [(6, uint_bytes(state["seq"]))],
                                    b"n%d" % n))
        peer.later(1.0, lambda: notify(peer, sock, addr))

    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        obs = opt(msg, 6)
        if obs is not None and uint_value(obs) == 1:
            say("DEREGISTER")
            state["token"] = None
            peer.send(sock, addr, ack(msg, 0x45, payload=b"bye"))
            return
        peer.send(sock, addr, ack(msg))
        state["token"] = msg["token"]
        peer.send(sock, addr, build(0, 0x45, peer.next_mid(), msg["token"], [(6, uint_bytes(2))], b"n0"))
        peer.later(1.0, lambda: notify(peer, sock, addr))
    return handle


def scenario_endless_block2():
    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        b2 = opt(msg, 23)
        num = uint_value(b2) >> 4 if b2 is not None else 0
        data = (b"block-%d" % num).ljust(16, b".")
        reply = ack(msg, 0x45, [(23, uint_bytes((num << 4) | 0x08 | 0))], data)
        if num == 0:
            peer.send(sock, addr, reply)
        else:
            # Later blocks come slowly, so a cancel after the first one finds the next one pending.
            peer.later(1.5, lambda: peer.send(sock, addr, reply))
    return handle


def scenario_other_token():
    seen = []

    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        peer.send(sock, addr, ack(msg))
        seen.append((sock, addr, msg["token"]))
        if len(seen) != 2:
            return
        (sa, aa, ta), (sb, ab, tb) = seen
        peer.send(sa, aa, build(0, 0x45, peer.next_mid(), tb, payload=b"wrong"))
        peer.later(0.3, lambda: peer.send(sa, aa, build(0, 0x45, peer.next_mid(), ta, payload=b"a-ok")))
        peer.later(0.3, lambda: peer.send(sb, ab, build(0, 0x45, peer.next_mid(), tb, payload=b"b-ok")))
    return handle


def scenario_odd_reply():
    replies = {
        "class3": (0x60, [], b"x"),
        "empty_block2": (0x45, [(23, uint_bytes(0))], b""),
    }

    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        path = opt(msg, 11)
        code, opts, payload = replies.get(path.decode("latin-1") if path else "", (0x84, [], b""))
        peer.send(sock, addr, ack(msg, code, opts, payload))
    return handle


def scenario_late():
    answered = set()

    def handle(peer, sock, addr, msg):
        if not is_request(msg):
            return
        peer.send(sock, addr, ack(msg))
        # A retransmission gets its ACK again, not a second answer.
        key = (addr, msg["token"])
        if key in answered:
            return
        answered.add(key)
        peer.later(2.0, lambda: peer.send(sock, addr, build(0, 0x45, peer.next_mid(), msg["token"], payload=b"late")))
    return handle


SCENARIOS = {
    "echo": scenario_echo,
    "block1": scenario_block1,
    "unknown_token": scenario_unknown_token,
    "separate_observe": scenario_separate_observe,
    "endless_block2": scenario_endless_block2,
    "other_token": scenario_other_token,
    "odd_reply": scenario_odd_reply,
    "late": scenario_late,
}


def main():
    port, name = int(sys.argv[1]), sys.argv[2]
    peer = Peer(port, "--v6" in sys.argv[3:])
    peer.run(SCENARIOS[name]())


if __name__ == "__main__":
    main()
