#!/usr/bin/python3
"""The local run's sample lamp: a tiny HTTP device on 127.0.0.1 (Python standard library).

    lamp.py [port]        (default 8081)

POST /command with a JSON body {"name": "<state>"} switches the lamp and answers the new state as
plain text; GET /power answers the current state. Anything else is 404.
"""

import http.server
import json
import sys


class Lamp(http.server.BaseHTTPRequestHandler):
    power = "off"

    def answer(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/power":
            self.answer(200, Lamp.power)
        else:
            self.answer(404, "not found")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length)
        if self.path != "/command":
            self.answer(404, "not found")
            return
        try:
            name = json.loads(data)["name"]
            if not isinstance(name, str):
                raise ValueError("name is not a string")
        except (ValueError, KeyError, TypeError) as e:
            self.answer(400, "bad command: %s" % e)
            return
        Lamp.power = name
        self.answer(200, Lamp.power)


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8081
    server = http.server.HTTPServer(("127.0.0.1", port), Lamp)
    print("lamp listening on 127.0.0.1:%d" % port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
