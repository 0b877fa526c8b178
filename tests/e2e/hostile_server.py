#!/usr/bin/env python3
"""A web server on 127.0.0.1 that misbehaves the way real ones do, for the end-to-end
tests: it serves a folder like any server, except for the paths named in a rules file
(JSON, read again at every request), which it answers as told:

  {"Vadarodazu.xml": {"status": 500, "body": "Internal error"}}

A rule's key is the end of the request path. Rule fields:
  status, body     answer with this status line and body instead of the file
  wrong_bytes      the file's length, other bytes
  gzip             the file compressed, with Content-Encoding: gzip and no length
  shift            a 206 answer with the file's bytes from this offset, the file's length
                   (to any request: a server that sends the wrong part)
  endless          the body repeated for ever, chunked
  drip             seconds between single bytes of an endless body
  reset_once       bytes: the first request for the file (within these rules) gets a 206
                   of the first range it asks for, cut by a reset after this many bytes;
                   later ones are served as if no rule named the file
  slow_until       a file's path: the file is sent at 8 KiB a second (well above any
                   stall rule) until that file exists, then the rest at once; a client
                   is kept busy for exactly as long as a case needs, however slow the
                   machine
A file no rule names is served as a plain server would, a request for one range
("Range: bytes=A-B") answered with that range. Each answer's status and the request's path (its bytes as sent, runs of "/" as one) are
appended to LOG, one line each, as the end-to-end runner has nginx log them.

  hostile_server.py ROOT PORT RULES LOG
"""
import gzip
import http.server
import json
import os
import re
import socket
import struct
import sys
import time
import urllib.parse

ROOT, PORT, RULES, LOG = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]


RESETS_DONE = set()  # (rules, key) of the reset_once rules that have reset a request


def rules():
    try:
        with open(RULES) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_response(self, code, message=None):
        with open(LOG, "ab") as log:
            log.write(b"%d %s\n" % (code, getattr(self, "raw", b"-")))
        super().send_response(code, message)

    def send(self, status, body, headers=(), length=True):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)

    def slow_until(self, body, flag):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        sent = 0
        try:
            while sent < len(body) and not os.path.exists(flag):
                self.wfile.write(body[sent:sent + 2048])
                self.wfile.flush()
                sent += 2048
                time.sleep(0.25)
            self.wfile.write(body[sent:])
        except OSError:
            pass  # the client gave up

    def trickle(self, body, pause):
        # The file's length, then a byte every `pause` seconds; no byte at all when None.
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.flush()
            for i in range(len(body)):
                time.sleep(600 if pause is None else pause)
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
        except OSError:
            pass  # the client gave up

    def chunks_forever(self, data, pause):
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        try:
            while True:
                pieces = [data[i:i + 1] for i in range(len(data))] if pause else [data]
                for piece in pieces:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                    self.wfile.flush()
                    if pause:
                        time.sleep(pause)
        except OSError:
            pass  # the client gave up
        self.close_connection = True

    def do_GET(self):
        # The request line arrives as bytes that http.server decoded as Latin-1: GBK
        # names sent raw (as WinInet sends them) or percent-encoded (as curl does).
        # A static server: the query (a cache-busting "?t=", a file's "?md5=") names no file.
        raw = urllib.parse.unquote_to_bytes(self.path.encode("latin-1").split(b"?")[0])
        while b"//" in raw:
            raw = raw.replace(b"//", b"/")
        self.raw = raw
        path = os.path.join(ROOT.encode(), raw.lstrip(b"/"))
        rule = None
        every = rules()
        for key, value in every.items():
            if raw.endswith(key.encode("gbk")):
                rule = value
                once = (json.dumps(every, sort_keys=True), key)
        if rule is not None and "reset_once" in rule:
            if once in RESETS_DONE:
                rule = None
            else:
                RESETS_DONE.add(once)
        try:
            with open(path, "rb") as f:
                content = f.read()
        except OSError:
            content = None
        if rule is None:
            if content is None:
                self.send(404, b"<html><body>404 Not Found</body></html>")
                return
            bounds = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
            if bounds and int(bounds.group(1)) <= int(bounds.group(2)) < len(content):
                first, last = int(bounds.group(1)), int(bounds.group(2))
                self.send(206, content[first:last + 1],
                          [("Content-Range", "bytes %d-%d/%d" % (first, last, len(content)))])
            else:
                self.send(200, content)
            return
        if "reset_once" in rule:
            asked = re.match(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
            first, last = (int(asked.group(1)), int(asked.group(2))) if asked else (0, len(content) - 1)
            self.send_response(206 if asked else 200)
            if asked:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(content)))
            self.send_header("Content-Length", str(last - first + 1))
            self.end_headers()
            self.wfile.write(content[first:first + rule["reset_once"]])
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        elif "status" in rule:
            self.send(rule["status"], rule.get("body", "").encode())
        elif rule.get("wrong_bytes"):
            self.send(200, bytes((b + 1) % 256 for b in content))
        elif rule.get("gzip"):
            self.send(200, gzip.compress(content), [("Content-Encoding", "gzip")], length=False)
        elif "shift" in rule:
            shift = rule["shift"]
            body = (content[shift:] + content[:shift])
            self.send(206, body, [("Content-Range", "bytes %d-%d/%d" % (
                shift, shift + len(body) - 1, len(content) + shift))])
        elif "slow_until" in rule:
            self.slow_until(content or b"", rule["slow_until"])
        elif "trickle" in rule or rule.get("silent"):
            self.trickle(content or b"", rule.get("trickle"))
        elif rule.get("endless") or "drip" in rule:
            self.chunks_forever(content or b"x" * 4096, rule.get("drip", 0))
        else:
            self.send(200, content or b"")


http.server.ThreadingHTTPServer.daemon_threads = True
http.server.ThreadingHTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
