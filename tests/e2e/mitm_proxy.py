#!/usr/bin/env python3
"""A man in the middle on 127.0.0.1, for the end-to-end tests: it passes every request
on to the real server, except that it swaps one file of the release for its own bytes
and rewrites that file's "md5" and "size" in the manifest to match them, as an attacker
who answers in the server's place would. Everything else, the manifest's signature
included, goes through unchanged.

    mitm_proxy.py LISTEN_PORT SERVER_PORT FILE_NAME ATTACKER_FILE

FILE_NAME is the name the manifest lists (ASCII). Each request path is printed to stdout.
"""
import hashlib
import http.client
import http.server
import re
import sys
import urllib.parse

LISTEN, SERVER, NAME, ATTACKER = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(ATTACKER, "rb") as f:
    EVIL = f.read()


def rewrite(manifest):
    """The manifest with NAME's md5 and size those of the attacker's bytes."""
    def element(match):
        text = match.group(0)
        text = re.sub(rb'md5="[^"]*"', b'md5="%s"' % hashlib.md5(EVIL).hexdigest().encode(), text)
        return re.sub(rb'size="[^"]*"', b'size="%d"' % len(EVIL), text)
    return re.sub(rb'<file filename="%s"[^>]*>' % re.escape(NAME.encode()), element, manifest)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        print(self.path, flush=True)
        upstream = http.client.HTTPConnection("127.0.0.1", SERVER, timeout=30)
        # The request line's bytes as they came (WinInet sends GBK names unescaped),
        # escaped for the server, which decodes them to the same bytes.
        path = urllib.parse.quote(self.path.encode("latin-1"), safe="/%?=&")
        upstream.request("GET", path, headers={"Accept-Encoding": "identity"})
        answer = upstream.getresponse()
        body = answer.read()
        upstream.close()
        status = answer.status
        name = self.path.split("?")[0]  # the query ("?t=", "?md5=") names no file
        if name.endswith("/Vadarodazu/" + NAME):
            status, body = 200, EVIL
        elif name.endswith("/Vadarodazu.xml") and status == 200:
            body = rewrite(body)
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


http.server.ThreadingHTTPServer(("127.0.0.1", LISTEN), Handler).serve_forever()
