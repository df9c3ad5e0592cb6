#!/usr/bin/env python3
"""HTTP server for downloader tests: serves the files of a directory with byte ranges, and
misbehaves on request.

A request for /<mode>/<name> serves file <root>/<name>; the mode says how:
  ok            correct answers: 206 with one range, multipart/byteranges for several,
                200 without a Range header, 416 for a range past the end
  whole         200 with the whole file, whatever was asked
  nomulti       200 with the whole file for a request of several ranges, 206 for one range
  multi416      416 for a request of several ranges (as Varnish answers), 206 for one range
  firstonly     a plain 206 with the first range alone for a request of several ranges
  notfound      404 with a small HTML page
  redirect, redirectNNN
                302 (or status NNN: 301, 302, 303, 307, 308) to /ok/<name> without a body
  hopsN         N redirects in a row: /hopsN/<name> to /hops<N-1>/<name> ... /hops0/<name>,
                which is answered as by ok
  redirectloop  302 to the same URL, for ever
  redirectscheme  302 to ftp://127.0.0.1:<port>/ok/<name> (another scheme)
  redirecthost  302 to http://localhost:<port>/ok/<name> (the same files under another host
                name: another server as far as a client can tell)
  servererror   500 with a small HTML page
  reorder       multipart with the parts in reverse order
  omit          multipart without the part of the second range
  late          the part of the first range starts 10 bytes after the asked start
  longboundary  multipart with a 200-character boundary token
  quoted        multipart with the boundary parameter in double quotes
  bareopening   multipart whose body opens with the first delimiter line, without the CRLF
                in front of it (as lighttpd and Go's servers send it)
  nopartrange   multipart whose parts lack "Content-Range"
  shortpart     multipart whose first part holds half the bytes its "Content-Range" claims (for a
                request of several ranges; one range is answered as by ok)
  slow, slowN   correct headers, then the body at a few bytes per second (slowN: only the
                first N requests of that path, later ones are answered as by ok)
  slowarchives  slow for archives (names ending in .pk4 or .zip), ok for other files
  drop          correct headers, half the body, then the connection is closed
  dropnow       the connection is closed without any answer
  endless       206 for the first range, then an endless body
  endlessbig    the same, with a "Content-Range" that claims a file of almost 4 GiB
  gzip          correct ranges, but every 206 body gzip-compressed ("Content-Encoding: gzip"),
                whatever the request accepts
A mode followed by ".pk4" (drop.pk4, slow.pk4) applies to the game's archives (names ending in
".pk4") only; other files, such as manifests, are answered as by ok.
Every request is appended to the log file as "<path>\t<Range header or ->\t<Accept-Encoding
header or ->" before it is answered. The chosen port is written to the port file once the server listens.
"""

import argparse
import gzip
import os
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = "QMH0123456789BOUNDARY"
LONG_BOUNDARY = ("L" * 190) + "0123456789"

_counters = {}
_counters_lock = threading.Lock()
_log_lock = threading.Lock()


def parse_ranges(header, size):
    """[(first, last_inclusive)] of a "bytes=" header, None if malformed, [] if unsatisfiable."""
    match = re.fullmatch(r"\s*bytes\s*=\s*(.+)", header or "")
    if not match:
        return None
    ranges = []
    for item in match.group(1).split(","):
        item = item.strip()
        m = re.fullmatch(r"(\d*)-(\d*)", item)
        if not m or (m.group(1) == "" and m.group(2) == ""):
            return None
        if m.group(1) == "":
            length = int(m.group(2))
            first, last = max(0, size - length), size - 1
        else:
            first = int(m.group(1))
            last = int(m.group(2)) if m.group(2) else size - 1
            if last < first:
                return None
            last = min(last, size - 1)
        if first < size:
            ranges.append((first, last))
    return ranges


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QmhFaultServer/1"

    def log_message(self, format, *args):
        pass

    def record(self):
        with _log_lock:
            with open(self.server.log_path, "a") as log:
                log.write("%s\t%s\t%s\n" % (self.path, self.headers.get("Range", "-"),
                                             self.headers.get("Accept-Encoding", "-")))

    def do_GET(self):
        self.record()
        parts = self.path.lstrip("/").split("/", 1)
        if len(parts) != 2:
            return self.simple(404, b"no such path\n")
        mode, name = parts
        if mode.endswith(".pk4"):
            mode = mode[:-4] if name.endswith(".pk4") else "ok"
        m = re.fullmatch(r"slow(\d+)", mode)
        if m:
            with _counters_lock:
                seen = _counters.get(self.path, 0)
                _counters[self.path] = seen + 1
            mode = "slow" if seen < int(m.group(1)) else "ok"
        if mode == "slowarchives":
            mode = "slow" if name.endswith((".pk4", ".zip")) else "ok"
        if mode == "notfound":
            return self.simple(404, b"<html><body>404 Not Found</body></html>\n", "text/html")
        if mode == "servererror":
            return self.simple(500, b"<html><body>500 Internal Server Error</body></html>\n", "text/html")
        if mode == "dropnow":
            return self.drop_connection()
        location = self.redirect_location(mode, name)
        if location:
            status = int(mode[8:]) if re.fullmatch(r"redirect\d{3}", mode) else 302
            self.send_response(status)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "hops0":
            mode = "ok"
        try:
            with open(os.path.join(self.server.root, name), "rb") as f:
                data = f.read()
        except OSError:
            return self.simple(404, b"missing file\n")
        if mode == "whole" or "Range" not in self.headers:
            return self.simple(200, data, "application/octet-stream")
        ranges = parse_ranges(self.headers["Range"], len(data))
        if ranges is None:
            return self.simple(200, data, "application/octet-stream")
        if not ranges:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(data))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "nomulti" and len(ranges) > 1:
            return self.simple(200, data, "application/octet-stream")
        if mode == "multi416" and len(ranges) > 1:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(data))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "firstonly":
            ranges = ranges[:1]
        if mode == "endless":
            return self.endless(ranges[0], len(data))
        if mode == "endlessbig":
            return self.endless((ranges[0][0], 0xFFFFFFFD), 0xFFFFFFFE)
        if len(ranges) == 1 and mode in ("ok", "slow", "drop", "late", "nomulti", "multi416", "firstonly", "shortpart", "gzip"):
            first, last = ranges[0]
            if mode == "late":
                first = min(first + 10, last)
            return self.single(data, first, last, mode)
        return self.multipart(data, ranges, mode)

    def redirect_location(self, mode, name):
        """Where a redirecting mode sends the client, None for other modes."""
        port = self.server.server_address[1]
        if mode == "redirect" or re.fullmatch(r"redirect\d{3}", mode):
            return "/ok/" + name
        if mode == "redirectloop":
            return self.path
        if mode == "redirectscheme":
            return "ftp://127.0.0.1:%d/ok/%s" % (port, name)
        if mode == "redirecthost":
            return "http://localhost:%d/ok/%s" % (port, name)
        m = re.fullmatch(r"hops(\d+)", mode)
        if m and int(m.group(1)) > 0:
            return "/hops%d/%s" % (int(m.group(1)) - 1, name)
        return None

    def simple(self, code, body, content_type="text/plain"):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def drop_connection(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def send_body(self, body, mode):
        if mode == "slow":
            # Far below 1000 bytes per second; stops when the client gives up.
            deadline = time.time() + 120
            for i in range(len(body)):
                if time.time() > deadline:
                    break
                try:
                    self.wfile.write(body[i : i + 1])
                    self.wfile.flush()
                except OSError:
                    break
                time.sleep(0.2)
            self.close_connection = True
        elif mode == "drop":
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            self.drop_connection()
        else:
            self.wfile.write(body)

    def single(self, data, first, last, mode):
        body = data[first : last + 1]
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))
        self.send_encoded(body, mode)

    def send_encoded(self, body, mode):
        """Content-Length, the end of the headers and the body, gzip-compressed in mode gzip."""
        if mode == "gzip":
            body = gzip.compress(body)
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.send_body(body, mode)

    def multipart(self, data, ranges, mode):
        boundary = LONG_BOUNDARY if mode == "longboundary" else BOUNDARY
        parts = list(ranges)
        if mode == "reorder":
            parts.reverse()
        if mode == "omit" and len(parts) > 1:
            del parts[1]
        body = bytearray()
        for index, (first, last) in enumerate(parts):
            opening = b"--" if mode == "bareopening" and index == 0 else b"\r\n--"
            claimed_first = first
            if mode == "late" and index == 0:
                first = min(first + 10, last)
                claimed_first = first
            chunk = data[first : last + 1]
            if mode == "shortpart" and index == 0:
                chunk = chunk[: len(chunk) // 2]
            body += opening + boundary.encode() + b"\r\n"
            body += b"Content-Type: application/octet-stream\r\n"
            if mode != "nopartrange":
                body += b"Content-Range: bytes %d-%d/%d\r\n" % (claimed_first, last, len(data))
            body += b"\r\n" + chunk
        body += b"\r\n--" + boundary.encode() + b"--\r\n"
        shown = '"%s"' % boundary if mode == "quoted" else boundary
        self.send_response(206)
        self.send_header("Content-Type", "multipart/byteranges; boundary=" + shown)
        self.send_encoded(bytes(body), mode)

    def endless(self, first_range, size):
        first, last = first_range
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.send_header("Connection", "close")
        self.end_headers()
        chunk = b"\x5a" * 65536
        self.close_connection = True
        deadline = time.time() + 120
        try:
            while time.time() < deadline:
                self.wfile.write(chunk)
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = args.root
    server.log_path = args.log
    open(args.log, "a").close()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
