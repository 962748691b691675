#!/usr/bin/python3
"""A scriptable HTTP/1.1 server (plain or TLS) standing in for the application server and for
devices that speak HTTP. Python standard library only; raw sockets, so that a reply can be exactly
what a test wants, malformed ones included.

    appserver.py --rules RULES.json --log LOGDIR [--port N] [--bind ADDR]... [--cert PEM --key PEM]
                 [--app [--files DIR]]

Prints "LISTENING <port>" on standard output once every address is bound (--port 0 picks one;
every --bind address shares it; "::" listens on IPv6 and IPv4 alike, or on IPv4 alone where the
machine has no IPv6). Each connection runs on a thread of its own and may carry several requests;
each answered request is also printed as "<method> <target> -> <status>".

Request log: every complete request is written to LOGDIR/NNNNNN.req (numbered from 000001 in
arrival order, created atomically), holding the bytes exactly as received: request line, headers,
blank line and the body (by Content-Length). Over TLS, the server name each client indicated is
appended to LOGDIR/sni.txt ("None" when it sent none).

Rules: the file is read again for every request, so a test may rewrite it at any time. It is a JSON
object whose keys name requests and whose values are replies:
    "METHOD /path?query"  exact method and target
    "METHOD /path"        exact method and path, any query
    "* /path"             any method
    "default"             anything else (without it: 404 "not found")
With --app, the application server's own endpoints (APP_ENDPOINTS below) answer every request that
no "METHOD ..." or "* ..." rule names, before "default"; they match at the end of the path, so a
base URL with a path of its own ("https://localhost:8443/app") works. With --files DIR as well,
"GET .../files/<name>" (firmware images) answers the bytes of DIR/<name>, 404 when there is none.
A value is one reply, or a list of replies used in turn (the last one repeats); the turns start
over whenever the file changes. A reply is an object:
    status      int, default 200;  reason: text, default the standard one
    headers     [[name, value], ...] sent in this order, repeats allowed
    body        text (UTF-8), or body_hex: bytes as hex
    chunks      [text, ...]: a chunked body instead (Transfer-Encoding added); chunk_ext: text
                appended to each size line; trailers: [[name, value], ...]
    close       true: no Content-Length, the body ends when the connection closes
    no_length   true: send no Content-Length (the body follows anyway)
    delay       seconds to wait before answering; piece_delay: seconds between chunks or pieces
    pieces      n: send the encoded reply in n parts (with piece_delay between them)
    no_answer   true: read the request and never answer (the connection stays open)
    raw / raw_hex   these bytes instead of a built reply, then the connection closes
    reset       true: after whatever is sent, abort the connection with a TCP reset
    tls_no_close_notify   true: a TLS connection ends without close_notify
    keep_open   true: keep the connection for another request even if the client said close
    endless / endless_hex   after the reply (or the raw bytes), these bytes again and again until
                the client goes away, endless_delay seconds apart; then the line "ENDLESS <method>
                <target> closed after <n> bytes" (n: the repeated bytes sent)
"""

import argparse
import http.client
import json
import os
import re
import socket
import ssl
import struct
import sys
import threading
import time

MAX_HEAD = 1024 * 1024

# The application server's answers when nothing else is scripted: (method, path pattern matched at
# the end of the path, reply). Services add their endpoints here, one row each.
APP_ENDPOINTS = [
    # Registration: accepted, with a network id for gateways and a token.
    ("POST", r"/device", {"headers": [["Content-Type", "application/json"]],
                          "body": '{"status":"SUCCESS","gcid":1000,"token":"appserver-token"}'}),
    # Deletion of a camera and notifications: only logged by the engine.
    ("DELETE", r"/ld/[^/]+", {"headers": [["Content-Type", "application/json"]], "body": '{"status":"SUCCESS"}'}),
    ("POST", r"/notification/send", {"headers": [["Content-Type", "application/json"]],
                                     "body": '{"status":"SUCCESS"}'}),
    # Firmware: no newer versions.
    ("GET", r"/hm/versions/[^/]+", {"headers": [["Content-Type", "application/json"]],
                                    "body": '{"status":"SUCCESS","versions":[]}'}),
    # Backup accepted; no backup to restore.
    ("POST", r"/hm/brixmoor/[^/]+/backup", {"headers": [["Content-Type", "application/json"]],
                                            "body": '{"status":"SUCCESS"}'}),
    ("GET", r"/hm/brixmoor/[^/]+/restore", {"status": 404, "headers": [["Content-Type", "application/json"]],
                                            "body": '{"status":"ERROR","errorCode":"DEVICE_NOT_FOUND"}'}),
]


def file_reply(files, method, path):
    m = re.search(r"/files/([^/]+)$", path)
    if not files or method != "GET" or not m or m.group(1).startswith("."):
        return None
    try:
        with open(os.path.join(files, m.group(1)), "rb") as f:
            return {"headers": [["Content-Type", "application/octet-stream"]], "body_hex": f.read().hex()}
    except OSError:
        return {"status": 404, "body": "no such file"}


def app_endpoint(method, path):
    for m, pattern, reply in APP_ENDPOINTS:
        if m == method and re.search("%s$" % pattern, path):
            return reply
    return None


class Rules:
    def __init__(self, path, app=False, files=None):
        self.path = path
        self.app = app
        self.files = files
        self.lock = threading.Lock()
        self.text = None
        self.turns = {}

    def reply_for(self, method, target):
        with self.lock:
            try:
                with open(self.path, encoding="utf-8") as f:
                    text = f.read()
            except OSError:
                text = "{}"
            if text != self.text:
                self.text = text
                self.turns = {}
            try:
                rules = json.loads(text) if text.strip() else {}
            except ValueError as e:
                return {"status": 500, "body": "bad rules file: %s" % e}
            path = target.split("?", 1)[0]
            for key in ("%s %s" % (method, target), "%s %s" % (method, path), "* %s" % path):
                if key in rules:
                    return self.turn(rules, key)
            reply = (file_reply(self.files, method, path) or app_endpoint(method, path)) if self.app else None
            if reply is not None:
                return reply
            if "default" in rules:
                return self.turn(rules, "default")
            return {"status": 404, "body": "not found"}

    def turn(self, rules, key):
        value = rules[key]
        if isinstance(value, list):
            n = self.turns.get(key, 0)
            self.turns[key] = n + 1
            return value[min(n, len(value) - 1)] if value else {}
        return value


class Log:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.count = 0
        os.makedirs(path, exist_ok=True)

    def server_name(self, name):
        with self.lock:
            with open(os.path.join(self.path, "sni.txt"), "a", encoding="utf-8") as f:
                f.write("%s\n" % name)

    def write(self, raw):
        with self.lock:
            self.count += 1
            name = os.path.join(self.path, "%06d.req" % self.count)
            with open(name + ".tmp", "wb") as f:
                f.write(raw)
            os.rename(name + ".tmp", name)


def read_request(conn, pending):
    """One request as (method, target, headers dict lower-cased, raw bytes); None at the end."""
    while b"\r\n\r\n" not in pending:
        if len(pending) > MAX_HEAD:
            return None, pending
        data = conn.recv(65536)
        if not data:
            return None, pending
        pending += data
    head, rest = pending.split(b"\r\n\r\n", 1)
    lines = head.split(b"\r\n")
    parts = lines[0].decode("latin-1").split(" ")
    method, target = (parts[0], parts[1]) if len(parts) >= 2 else (parts[0], "")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.decode("latin-1").partition(":")
        headers.setdefault(name.strip().lower(), value.strip())
    length = int(headers.get("content-length", "0") or "0")
    while len(rest) < length:
        data = conn.recv(65536)
        if not data:
            break
        rest += data
    body, pending = rest[:length], rest[length:]
    return (method, target, headers, head + b"\r\n\r\n" + body), pending


def encode_reply(rule):
    if "raw_hex" in rule:
        return bytes.fromhex(rule["raw_hex"])
    if "raw" in rule:
        return rule["raw"].encode("utf-8")
    status = int(rule.get("status", 200))
    reason = rule.get("reason", http.client.responses.get(status, "Unknown"))
    headers = [(str(k), str(v)) for k, v in rule.get("headers", [])]
    if "body_hex" in rule:
        body = bytes.fromhex(rule["body_hex"])
    else:
        body = rule.get("body", "").encode("utf-8")
    names = {k.lower() for k, _ in headers}
    if "chunks" in rule:
        if "transfer-encoding" not in names:
            headers.append(("Transfer-Encoding", "chunked"))
        ext = rule.get("chunk_ext", "")
        body = b""
        for chunk in rule["chunks"]:
            data = chunk.encode("utf-8")
            body += b"%x%s\r\n%s\r\n" % (len(data), ext.encode("latin-1"), data)
        body += b"0\r\n"
        for k, v in rule.get("trailers", []):
            body += ("%s: %s\r\n" % (k, v)).encode("latin-1")
        body += b"\r\n"
    elif not rule.get("close") and not rule.get("no_length") and "content-length" not in names:
        headers.append(("Content-Length", str(len(body))))
    head = "HTTP/1.1 %d %s\r\n" % (status, reason)
    head += "".join("%s: %s\r\n" % h for h in headers)
    return head.encode("latin-1") + b"\r\n" + body


def send_pieces(conn, data, rule):
    delay = float(rule.get("piece_delay", 0))
    if "chunks" in rule and delay and "pieces" not in rule:
        # One write per chunk so that the client sees them apart.
        head, _, body = data.partition(b"\r\n\r\n")
        conn.sendall(head + b"\r\n\r\n")
        offset = 0
        for chunk in rule["chunks"]:
            size = len(chunk.encode("utf-8"))
            line_len = len(b"%x" % size) + len(rule.get("chunk_ext", "").encode("latin-1")) + 2
            end = offset + line_len + size + 2
            time.sleep(delay)
            conn.sendall(body[offset:end])
            offset = end
        time.sleep(delay)
        conn.sendall(body[offset:])
        return
    n = max(1, int(rule.get("pieces", 1)))
    step = max(1, (len(data) + n - 1) // n)
    for i in range(0, len(data), step):
        if i:
            time.sleep(delay)
        conn.sendall(data[i:i + step])


def send_endless(conn, rule, method, target):
    unit = bytes.fromhex(rule["endless_hex"]) if "endless_hex" in rule else rule["endless"].encode("utf-8")
    delay = float(rule.get("endless_delay", 0))
    sent = 0
    try:
        while True:
            conn.sendall(unit)
            sent += len(unit)
            if delay:
                time.sleep(delay)
    except OSError:
        pass
    print("ENDLESS %s %s closed after %d bytes" % (method, target, sent), flush=True)


def abort(conn):
    raw = conn
    try:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    raw.close()


def close(conn, rule):
    if isinstance(conn, ssl.SSLSocket) and not rule.get("tls_no_close_notify"):
        try:
            conn.settimeout(2)
            conn = conn.unwrap()
        except (OSError, ValueError):
            pass
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    conn.close()


def serve(conn, rules, log):
    pending = b""
    rule = {}
    try:
        while True:
            request, pending = read_request(conn, pending)
            if request is None:
                break
            method, target, headers, raw = request
            log.write(raw)
            rule = rules.reply_for(method, target)
            time.sleep(float(rule.get("delay", 0)))
            print("%s %s -> %s" % (method, target, "none" if rule.get("no_answer") else rule.get("status", 200)),
                  flush=True)
            if rule.get("no_answer"):
                while conn.recv(65536):
                    pass
                break
            data = encode_reply(rule)
            send_pieces(conn, data, rule)
            if "endless" in rule or "endless_hex" in rule:
                send_endless(conn, rule, method, target)
                break
            if rule.get("reset"):
                abort(conn)
                return
            if "raw" in rule or "raw_hex" in rule or rule.get("close"):
                break
            if headers.get("connection", "").lower() == "close" and not rule.get("keep_open"):
                break
    except (OSError, ValueError) as e:
        print("connection error: %s" % e, file=sys.stderr, flush=True)
    close(conn, rule)


def handle(sock, tls, rules, log):
    try:
        conn = tls.wrap_socket(sock, server_side=True) if tls else sock
    except (OSError, ValueError) as e:
        print("handshake failed: %s" % e, file=sys.stderr, flush=True)
        sock.close()
        return
    serve(conn, rules, log)


def leave_with_parent():
    """Descriptors inherited from the starter (such as a lock a test runner holds) are closed, and
    the peer ends when the process that started it goes away, so it never outlives a test."""
    os.closerange(3, 1024)
    parent = os.getppid()

    def watch():
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def listen(addr, port):
    family = socket.AF_INET6 if ":" in addr else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0 if addr == "::" else 1)
        s.bind((addr, port))
        s.listen(128)
    except OSError:
        s.close()
        raise
    return s


def main():
    leave_with_parent()
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rules", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--bind", action="append")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--app", action="store_true", help="answer the application server's endpoints")
    p.add_argument("--files", help="with --app: the directory that GET .../files/<name> serves")
    a = p.parse_args()

    tls = None
    if a.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(a.cert, a.key)
    rules, log = Rules(a.rules, a.app, a.files), Log(a.log)
    if tls:
        tls.sni_callback = lambda sock, name, ctx: log.server_name(name)

    port = a.port
    listeners = []
    for addr in a.bind or ["127.0.0.1"]:
        try:
            s = listen(addr, port)
        except OSError as e:
            if addr == "::":  # no IPv6 here: IPv4 alone
                print("cannot bind %s: %s; IPv4 only" % (addr, e), file=sys.stderr, flush=True)
                s = listen("0.0.0.0", port)
            elif listeners:  # an optional second address (such as ::1 without IPv6)
                print("cannot bind %s: %s" % (addr, e), file=sys.stderr, flush=True)
                continue
            else:
                raise
        port = s.getsockname()[1]
        listeners.append(s)

    def accept_loop(s):
        while True:
            sock, _ = s.accept()
            threading.Thread(target=handle, args=(sock, tls, rules, log), daemon=True).start()

    for s in listeners[1:]:
        threading.Thread(target=accept_loop, args=(s,), daemon=True).start()
    print("LISTENING %d" % port, flush=True)
    accept_loop(listeners[0])


if __name__ == "__main__":
    main()
