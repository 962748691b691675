#!/usr/bin/env python3
"""The local run's sample TCP sensor: listens on 127.0.0.1 (port from the command line), pushes a
JSON reading every 2 seconds to each client, and one more whenever a client sends something."""
import random
import selectors
import socket
import sys
import time

port = int(sys.argv[1]) if len(sys.argv) > 1 else 6395
listener = socket.create_server(("127.0.0.1", port))
listener.setblocking(False)
sel = selectors.DefaultSelector()
sel.register(listener, selectors.EVENT_READ)
clients = set()
temperature = 21.0


def reading():
    global temperature
    temperature = round(temperature + random.uniform(-0.3, 0.3), 1)
    return ('{"temperature": %.1f}' % temperature).encode()


def push(conn):
    try:
        conn.sendall(reading())
    except OSError:
        drop(conn)


def drop(conn):
    clients.discard(conn)
    sel.unregister(conn)
    conn.close()


next_push = time.monotonic()
while True:
    for key, _ in sel.select(timeout=max(0.0, next_push - time.monotonic())):
        if key.fileobj is listener:
            conn, _ = listener.accept()
            conn.setblocking(True)
            clients.add(conn)
            sel.register(conn, selectors.EVENT_READ)
            continue
        conn = key.fileobj
        try:
            data = conn.recv(4096)
        except OSError:
            data = b""
        if not data:
            drop(conn)
        else:
            push(conn)
    if time.monotonic() >= next_push:
        for conn in list(clients):
            push(conn)
        next_push = time.monotonic() + 2
