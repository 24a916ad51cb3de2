#!/usr/bin/env python3
"""Local stand-in for the web services the uninstaller talks to.

Listens on 127.0.0.1, records every request it receives as one JSON line, and
answers either from a script of canned replies that a test posts, from a
registered endpoint handler, or with the default reply 200 {"code":0}.

Control API (paths starting with /__ are never recorded):
  POST /__control/script   JSON object {"/path": reply-or-list-of-replies, ...};
                           the body may also be a form field "script" holding
                           that JSON. Replies for a path are used in order; a
                           reply with "repeat": true stays once reached.
  POST /__control/clear    forget all scripted replies
  POST /__reset            forget scripted replies and recorded requests
  GET  /__requests         recorded requests as JSON lines (?path=/x filters)
  GET  /__health           "ok"

A reply is a JSON object; every member is optional:
  status       HTTP status (200)
  body         text body (UTF-8), or
  json         any JSON value, sent as the body
  headers      {"Name": "value"} extra response headers
  delay_ms     wait before anything is sent
  body_delay_ms  wait after the headers, before the body
  gzip         true: send the body gzip-compressed with Content-Encoding: gzip
  huge         send this many bytes of "a" as the body
  truncate     send only this many body bytes, then close (Content-Length stays full)
  no_length    true: no Content-Length; the body ends when the connection closes
  close        true: close the connection without any response

Run: service.py --port 0 --port-file F --log requests.jsonl [--max-seconds N]
"""

import argparse
import base64
import gzip
import json
import os
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RECORDED_HEADERS = ("Content-Type", "Content-Encoding", "Accept-Encoding", "Content-Length",
                    "User-Agent", "Host", "Transfer-Encoding")
MAX_REQUEST_BODY = 64 * 1024 * 1024
DEFAULT_REPLY = {"status": 200, "json": {"code": 0}}


class Reply:
    """One scripted or computed answer."""

    def __init__(self, spec):
        self.spec = dict(spec or {})

    def body_bytes(self):
        spec = self.spec
        if "huge" in spec:
            return b"a" * int(spec["huge"])
        if "json" in spec:
            return json.dumps(spec["json"], ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        body = spec.get("body", "")
        return body.encode("utf-8") if isinstance(body, str) else bytes(body)


class Recorder:
    """Keeps the recorded requests in memory and appends them to the log file."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.records = []
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            open(path, "a", encoding="utf-8").close()

    def add(self, record):
        # Requests are recorded before their handler runs, so a decoded form of
        # an encrypted or encoded request is attached here, on its way in.
        decoder = DECODERS.get(record.get("path"))
        if decoder is not None:
            try:
                decoder(record)
            except Exception as error:  # a decoding fault must not lose the record
                record["decode_fault"] = repr(error)
        line = json.dumps(record, ensure_ascii=False, sort_keys=True)
        with self.lock:
            self.records.append(line)
            if self.path:
                with open(self.path, "a", encoding="utf-8") as f:
                    f.write(line + "\n")

    def lines(self, path_filter=None):
        with self.lock:
            lines = list(self.records)
        if path_filter is not None:
            lines = [l for l in lines if json.loads(l).get("path") == path_filter]
        return lines

    def clear(self):
        with self.lock:
            self.records = []


class Script:
    """Canned replies per path, consumed in order."""

    def __init__(self):
        self.lock = threading.Lock()
        self.by_path = {}

    def load(self, mapping):
        if not isinstance(mapping, dict):
            raise ValueError("script must be a JSON object of path -> reply or list of replies")
        with self.lock:
            for path, replies in mapping.items():
                if isinstance(replies, dict):
                    replies = [replies]
                if not isinstance(replies, list) or not all(isinstance(r, dict) for r in replies):
                    raise ValueError("replies for %s must be an object or a list of objects" % path)
                self.by_path.setdefault(path, []).extend(replies)

    def next_for(self, path):
        with self.lock:
            queue = self.by_path.get(path)
            if not queue:
                return None
            reply = queue[0]
            if len(queue) > 1 or not reply.get("repeat"):
                queue.pop(0)
            return Reply(reply)

    def clear(self):
        with self.lock:
            self.by_path = {}


# Endpoint handlers of the real services, by path: handler(request) -> Reply.
# A request is the recorded dict (method, path, query, form, body_b64, ...).
ENDPOINTS = {}
# Path -> function(record) that adds the decoded request to its record.
DECODERS = {}


def endpoint(path):
    def register(function):
        ENDPOINTS[path] = function
        return function
    return register


def decode_body(raw, content_encoding):
    if "gzip" in (content_encoding or "").lower():
        try:
            return gzip.decompress(raw), True
        except OSError:
            return raw, False
    return raw, False


def parse_form(body):
    """Form fields with values decoded as UTF-8 (invalid bytes replaced) and as hex bytes."""
    pairs = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True, encoding="latin-1")
    form, form_hex = {}, {}
    for name, value in pairs:
        raw_name, raw_value = name.encode("latin-1"), value.encode("latin-1")
        key = raw_name.decode("utf-8", errors="replace")
        form.setdefault(key, []).append(raw_value.decode("utf-8", errors="replace"))
        form_hex.setdefault(key, []).append(raw_value.hex())
    return form, form_hex


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LumoraTestService/1.0"

    def log_message(self, fmt, *args):  # quiet: the request log is the record
        pass

    def do_GET(self):
        self.handle_guarded()

    def do_POST(self):
        self.handle_guarded()

    def do_PUT(self):
        self.handle_guarded()

    def do_HEAD(self):
        self.handle_guarded()

    def handle_guarded(self):
        try:
            self.handle_any()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception as error:  # a broken handler answers 500 instead of hanging up
            sys.stderr.write("error handling %s %s: %r\n" % (self.command, self.path, error))
            try:
                self.send_plain(500, ("service error: %r" % error).encode("utf-8"))
            except OSError:
                self.close_connection = True

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            return b"".join(chunks)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_REQUEST_BODY:
            raise ValueError("request body too large")
        return self.rfile.read(length) if length else b""

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        try:
            raw = self.read_body()
        except (ValueError, OSError):
            self.send_plain(400, b"bad request body")
            return
        if url.path.startswith("/__"):
            self.handle_control(url, raw)
            return

        body, was_gzip = decode_body(raw, self.headers.get("Content-Encoding"))
        record = {
            "time": time.time(),
            "method": self.command,
            "path": url.path,
            "query": url.query,
            "query_fields": dict(urllib.parse.parse_qs(url.query, keep_blank_values=True)),
            "headers": {h: self.headers[h] for h in RECORDED_HEADERS if self.headers.get(h) is not None},
            "body_gzip": was_gzip,
            "body_b64": base64.b64encode(body).decode("ascii"),
        }
        content_type = (self.headers.get("Content-Type") or "").lower()
        if content_type.startswith("application/x-www-form-urlencoded"):
            record["form"], record["form_hex"] = parse_form(body)
            record["body_text"] = body.decode("latin-1")
        self.server.recorder.add(record)

        reply = self.server.script.next_for(url.path)
        if reply is None:
            handler = ENDPOINTS.get(url.path)
            reply = handler(record) if handler else Reply(DEFAULT_REPLY)
        self.send_reply(reply)

    def handle_control(self, url, raw):
        server = self.server
        if url.path == "/__health":
            self.send_plain(200, b"ok")
        elif url.path == "/__requests" and self.command == "GET":
            query = urllib.parse.parse_qs(url.query)
            lines = server.recorder.lines(query["path"][0] if "path" in query else None)
            self.send_plain(200, "".join(l + "\n" for l in lines).encode("utf-8"), "application/x-ndjson")
        elif url.path == "/__reset" and self.command == "POST":
            server.script.clear()
            server.recorder.clear()
            self.send_plain(200, b"reset")
        elif url.path == "/__control/clear" and self.command == "POST":
            server.script.clear()
            self.send_plain(200, b"cleared")
        elif url.path == "/__control/script" and self.command == "POST":
            text = raw.decode("utf-8", errors="replace")
            if not text.lstrip().startswith("{"):
                text = urllib.parse.parse_qs(text).get("script", [""])[0]
            try:
                server.script.load(json.loads(text))
            except ValueError as error:
                self.send_plain(400, str(error).encode("utf-8"))
                return
            self.send_plain(200, b"scripted")
        else:
            self.send_plain(404, b"unknown control path")

    def send_plain(self, status, body, content_type="text/plain; charset=utf-8"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.close_connection = True

    def send_reply(self, reply):
        spec = reply.spec
        if spec.get("delay_ms"):
            time.sleep(float(spec["delay_ms"]) / 1000.0)
        if spec.get("close"):
            self.close_connection = True
            return
        body = reply.body_bytes()
        headers = {"Content-Type": "application/json; charset=utf-8"} if "json" in spec or "body" not in spec \
            else {"Content-Type": "text/plain; charset=utf-8"}
        if spec.get("gzip"):
            body = gzip.compress(body)
            headers["Content-Encoding"] = "gzip"
        headers.update(spec.get("headers") or {})
        self.send_response(int(spec.get("status", 200)))
        for name, value in headers.items():
            self.send_header(name, value)
        if not spec.get("no_length"):
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        try:
            self.wfile.flush()
            if spec.get("body_delay_ms"):
                time.sleep(float(spec["body_delay_ms"]) / 1000.0)
            if self.command == "HEAD":
                return
            if "truncate" in spec:
                self.wfile.write(body[: int(spec["truncate"])])
                self.wfile.flush()
                return
            for start in range(0, len(body), 256 * 1024):
                self.wfile.write(body[start:start + 256 * 1024])
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up (aborted or timed out)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, recorder):
        super().__init__(address, Handler)
        self.recorder = recorder
        self.script = Script()


def write_atomically(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0 picks a free one")
    parser.add_argument("--port-file", help="file that receives the port once listening")
    parser.add_argument("--log", help="JSON-lines file of recorded requests")
    parser.add_argument("--max-seconds", type=float, default=3600.0, help="stop by itself after this long")
    args = parser.parse_args(argv)

    server = Server(("127.0.0.1", args.port), Recorder(args.log))
    port = server.server_address[1]
    if args.port_file:
        write_atomically(args.port_file, "%d\n" % port)
    print("listening on http://127.0.0.1:%d" % port, flush=True)

    def stop(*_):
        # shutdown() waits for serve_forever, so it must not run on its thread.
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.max_seconds, stop)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        timer.cancel()
        server.server_close()
    return 0


import handlers_stats  # noqa: E402,F401  statistics server and companion-service endpoints
import handlers_feedback  # noqa: E402,F401  feedback-service and install-statistics endpoints

if __name__ == "__main__":
    sys.exit(main())
