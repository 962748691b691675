#!/usr/bin/python3
"""WebSocket server peers for the tests, on the fixed ports 80 (ws) and 443 (wss).

    ws_peer.py lib [--cert PEM --key KEY] HOST...
        A python3-websockets server. Each connection: logs "OPEN <path>", sends "hello", the
        fragmented message ["frag", "ment", "ed"] and a ping (logging "PONG" once answered), then
        answers each message m with "echo:" + m (logging "MESSAGE <hex>") until the client closes
        ("CLOSED <code>").

    ws_peer.py raw [--cert PEM --key KEY] [--rcvbuf BYTES] HOST...
        Speaks the protocol itself (standard library only). Each connection: logs "REQUEST <hex>"
        (the handshake request byte for byte) and, over TLS, "SNI <name or None>"; answers the
        handshake, then logs every frame as "FRAME fin=<0|1> op=<n> masked=<0|1> code=<length code>
        mask=<hex> payload=<hex>". A text frame "cmd:send:<hex>" makes it write those bytes, and
        "cmd:drop" makes it close the TCP connection at once (over TLS without close_notify).
        After a close frame it logs "CLOSE" and closes the connection.
        A peer that reads no more: "cmd:stall" makes it log "STALLED" and never read again;
        "cmd:pings" makes it stop reading and send pings with 125-byte payloads until the client's
        side is gone ("PINGS GONE <bytes>") or for 30 s at most ("PINGS DONE <bytes>"). --rcvbuf
        sets the connections' receive buffers, so that what the peer leaves unread stays with
        the client rather than in the kernel.

"READY" is printed once every listener is up. Every line is flushed at once.
"""

import argparse
import asyncio
import base64
import hashlib
import socket
import ssl
import sys
import threading
import time

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def say(line):
    print(line, flush=True)


def tls_context(args):
    if not args.cert:
        return None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)
    return ctx


# ---- the library peer ----

async def lib_handler(ws, path=None):
    say("OPEN " + ws.path)
    try:
        await ws.send("hello")
        await ws.send(["frag", "ment", "ed"])
        waiter = await ws.ping(b"pp")
        await waiter
        say("PONG")
        async for message in ws:
            data = message.encode() if isinstance(message, str) else message
            say("MESSAGE " + data.hex())
            await ws.send("echo:" + (message if isinstance(message, str) else message.decode("latin-1")))
    except Exception as e:  # the client went away
        say("ERROR " + type(e).__name__)
    await ws.wait_closed()
    say("CLOSED %s" % ws.close_code)


async def lib_main(args):
    import websockets
    port = 443 if args.cert else 80
    async with websockets.serve(lib_handler, args.hosts, port, ssl=tls_context(args)):
        say("READY")
        await asyncio.Future()


# ---- the raw peer ----

def read_exact(f, n):
    data = f.read(n)
    if len(data) < n:
        raise EOFError
    return data


def read_frame(f):
    b0, b1 = read_exact(f, 2)
    code = b1 & 0x7F
    length = code
    if code == 126:
        length = int.from_bytes(read_exact(f, 2), "big")
    elif code == 127:
        length = int.from_bytes(read_exact(f, 8), "big")
    mask = read_exact(f, 4) if b1 & 0x80 else b""
    payload = read_exact(f, length)
    if mask:
        payload = bytes(c ^ mask[i % 4] for i, c in enumerate(payload))
    return b0 >> 7, b0 & 0x0F, b1 >> 7, code, mask, payload


def ping_flood(conn):
    burst = (b"\x89\x7d" + b"p" * 125) * 8000
    sent = 0
    deadline = time.monotonic() + 30
    try:
        while time.monotonic() < deadline:
            conn.sendall(burst)
            sent += len(burst)
    except OSError:
        say("PINGS GONE %d" % sent)
        return
    say("PINGS DONE %d" % sent)


def raw_connection(conn, sni):
    f = conn.makefile("rb")
    try:
        request = b""
        while not request.endswith(b"\r\n\r\n"):
            line = f.readline()
            if not line:
                return
            request += line
        say("REQUEST " + request.hex())
        if sni is not None:
            say("SNI %s" % sni[0])
        key = b""
        for line in request.split(b"\r\n"):
            if line.lower().startswith(b"sec-websocket-key:"):
                key = line.split(b":", 1)[1].strip()
        accept = base64.b64encode(hashlib.sha1(key + GUID).digest())
        conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
        while True:
            fin, op, masked, code, mask, payload = read_frame(f)
            say("FRAME fin=%d op=%d masked=%d code=%d mask=%s payload=%s"
                % (fin, op, masked, code, mask.hex(), payload.hex()))
            if op == 8:
                say("CLOSE")
                return
            if op == 1 and payload.startswith(b"cmd:send:"):
                conn.sendall(bytes.fromhex(payload[9:].decode()))
            elif op == 1 and payload == b"cmd:drop":
                # No TLS shutdown: the peer sees the TCP connection end without close_notify.
                conn.shutdown(socket.SHUT_RDWR)
                return
            elif op == 1 and payload == b"cmd:stall":
                say("STALLED")
                threading.Event().wait()
            elif op == 1 and payload == b"cmd:pings":
                ping_flood(conn)
                threading.Event().wait()
    except (EOFError, OSError) as e:
        say("GONE " + type(e).__name__)
    finally:
        f.close()
        conn.close()


def raw_main(args):
    ctx = tls_context(args)
    port = 443 if ctx else 80
    listeners = []
    for host in args.hosts:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        s = socket.socket(family, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if args.rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
        s.bind((host, port))
        s.listen(8)
        listeners.append(s)

    def serve(listener):
        while True:
            conn, _ = listener.accept()
            sni = None
            if ctx:
                sni = [None]

                def remember(sock, name, context, box=sni):
                    box[0] = name

                ctx.sni_callback = remember
                try:
                    conn = ctx.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    say("TLSFAIL " + type(e).__name__)
                    conn.close()
                    continue
            threading.Thread(target=raw_connection, args=(conn, sni), daemon=True).start()

    for s in listeners:
        threading.Thread(target=serve, args=(s,), daemon=True).start()
    say("READY")
    threading.Event().wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["lib", "raw"])
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--rcvbuf", type=int)
    p.add_argument("hosts", nargs="+")
    args = p.parse_args()
    if args.mode == "lib":
        asyncio.run(lib_main(args))
    else:
        raw_main(args)


if __name__ == "__main__":
    sys.exit(main())
