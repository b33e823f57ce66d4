#!/usr/bin/python3
"""Statistics collector for tests and the demo.

Listens on a loopback port (a free one unless --port is given), prints
"PORT <n>" on standard output, accepts the telemetry posts and answers
{"error":0} (or the --answer text / --status code it was told to). Each event
of a batch is written to --out (standard output by default) as one JSON line,
so that a person can read what the program reported:

  {"path": "/", "code": "11010000", "identity": {...}, "fields": {...}, "info": "..."}

"identity" is the machine part of the event, "fields" its member list when
that parses as JSON (event texts are sent unescaped, so it may not), and
"info" the text exactly as received.

With --hang it accepts connections and never answers (a server that stalls).
Uses only the Python standard library.
"""
import argparse
import json
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 16 * 1024 * 1024


def decode_form_value(text):
    # The sender writes a space as "_" and every other byte that is not a
    # letter or digit as %XX, so "_" is unambiguous.
    return urllib.parse.unquote_to_bytes(text.replace("_", " ")).decode("utf-8", "replace")


def split_info(info):
    """'{' + identity JSON + '\\n' + ',member list' + '}' -> (identity, fields)."""
    identity = fields = None
    if info.startswith("{"):
        cut = info.find("\n")
        if cut > 0:
            try:
                identity = json.loads(info[1:cut])
            except ValueError:
                identity = None
            rest = info[cut + 1:]
            if rest.startswith(","):
                try:
                    fields = json.loads("{" + rest[1:])
                except ValueError:
                    fields = None
    return identity, fields


def events_of(body):
    """The events of one post body (batch form or single-event form)."""
    form = body.decode("latin-1")
    if form.startswith("data="):
        batch = json.loads(decode_form_value(form[5:]))
        return [(item.get("code"), item.get("info", "")) for item in batch]
    if form.startswith("code="):
        parts = dict(p.split("=", 1) for p in form.split("&") if "=" in p)
        return [(urllib.parse.unquote(parts.get("code", "")), decode_form_value(parts.get("info", "")))]
    raise ValueError("not a telemetry post")


class Collector:
    def __init__(self, out, answer, status):
        self.out = out
        self.answer = answer.encode("utf-8")
        self.status = status
        self.lock = threading.Lock()

    def record(self, entry):
        with self.lock:
            self.out.write(json.dumps(entry, ensure_ascii=False) + "\n")
            self.out.flush()


def make_handler(collector):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, payload):
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length < 0 or length > MAX_BODY:
                self.close_connection = True
                self.reply(413, b'{"error":413}')
                return
            body = self.rfile.read(length)
            try:
                events = events_of(body)
            except Exception as error:  # a malformed post is reported, not fatal
                collector.record({"path": self.path, "malformed": str(error),
                                  "body": body[:4096].decode("latin-1")})
                self.reply(400, b'{"error":400}')
                return
            received = time.time()
            for code, info in events:
                identity, fields = split_info(info)
                collector.record({"path": self.path, "received": received, "code": code,
                                  "identity": identity, "fields": fields, "info": info})
            self.reply(collector.status, collector.answer)

        def do_GET(self):
            self.reply(200, b'{"collector":"statcollector"}')

    return Handler


def serve_hang(sock):
    held = []
    while True:
        conn, _ = sock.accept()
        held.append(conn)  # kept open, never read from or answered


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--out", help="file for the JSON lines (default: standard output)")
    parser.add_argument("--answer", default='{"error":0}', help="reply body")
    parser.add_argument("--status", type=int, default=200, help="reply status")
    parser.add_argument("--hang", action="store_true", help="accept connections, never answer")
    args = parser.parse_args()

    if args.hang:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", args.port))
        sock.listen(64)
        print("PORT %d" % sock.getsockname()[1], flush=True)
        serve_hang(sock)
        return

    out = open(args.out, "a", encoding="utf-8") if args.out else sys.stdout
    collector = Collector(out, args.answer, args.status)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(collector))
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
