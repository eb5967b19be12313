#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Small HTTP server for tests and benchmarks; listens on 127.0.0.1 only.

    http_server.py ROOT [--port N] [--port-file FILE] [--log FILE] [--lifetime SECONDS]
                        [--tls CERT KEY]

Port 0 (the default) takes a free port. The chosen port is the first line on stdout and, with
--port-file, also the content of that file. GET and HEAD serve the files under ROOT (sendfile, so
large files cost the server next to nothing); a missing file answers 404. A request with
"Range: bytes=FIRST-" gets 206 with the rest of the file from FIRST on, or 416 when FIRST is at or
beyond its end.

With --tls the server speaks HTTPS only, with the certificate and key in the PEM files CERT and
KEY; a client that does not trust the certificate fails its handshake and nothing is recorded.

Query parameters change the answer for any path:
  status=N       answer with status N; the body is the file's bytes, or a short text when the
                 path names no file. 206 adds a Content-Range over the whole file.
  redirect=URL   answer 302 with "Location: URL" (relative URLs allowed) and a short page, as
                 web servers do; code=N picks another redirect status (301, 303, 307, 308).
  rate=N         send the body at about N bytes per second.
  stall=N        send the headers and the first N bytes of the body, then nothing until the
                 client goes away.
  stall=silent   read the request and never answer.
  truncate=N     send the headers with the full length, then N bytes, then close the connection.
  endless=1      answer 200 with a chunked body of blanks that never ends, for any path.
  norange=1      ignore a Range header: answer 200 with the whole file.
  nolength=1     send the body without a length and close the connection after it.
  chunked=1      send the body in chunks (Transfer-Encoding: chunked).
  encoding=gzip  say "Content-Encoding: gzip" and send the file as stored, as web servers do
                 for .gz files.
  compress=1     gzip the file on the way, whatever the client asked for, and say so.
  onpost=X       only for a POST: X=silent never answers, X=endless answers as endless=1 does.

The parameters can also be put into the path as a first segment "__q/QUERY", for clients that
build the file's address from a folder and a name and so cannot keep a query:
/__q/rate=100000/image.img is recorded and answered as /image.img?rate=100000.

POST to any path answers 200 "OK" (or the status= given). Every request is recorded before it is
answered, as one JSON object {"method", "path", "query", "body", "userAgent", "range",
"acceptEncoding"}: appended as a line to the --log file, and served back as a JSON array by
GET /__requests.

The server stops by itself when its parent process dies, on SIGTERM, and after --lifetime seconds
(default 900).
"""

import argparse
import ctypes
import gzip
import json
import os
import select
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SENDFILE_CHUNK = 64 * 1024 * 1024
REDIRECT_CODES = {301, 302, 303, 307, 308}


class Recorder:
    def __init__(self, log_path):
        self.log_path = log_path
        self.entries = []
        self.lock = threading.Lock()

    def record(self, entry):
        with self.lock:
            self.entries.append(entry)
            if self.log_path:
                with open(self.log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps(entry) + "\n")

    def as_json(self):
        with self.lock:
            return json.dumps(self.entries).encode()


def path_query(url):
    """Moves a leading /__q/QUERY segment of the path into the query."""
    prefix = "/__q/"
    if not url.path.startswith(prefix):
        return url
    query, _, rest = url.path[len(prefix):].partition("/")
    query = urllib.parse.unquote(query)
    return url._replace(path="/" + rest, query="&".join(filter(None, [query, url.query])))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1"

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        self.answer(send_body=True, body=body, default_text=b"OK")

    def answer(self, send_body, body=b"", default_text=None):
        url = path_query(urllib.parse.urlsplit(self.path))
        params = {key: values[-1] for key, values in urllib.parse.parse_qs(url.query).items()}
        self.server.recorder.record({
            "method": self.command,
            "path": urllib.parse.unquote(url.path),
            "query": url.query,
            "body": body.decode("latin-1"),
            "userAgent": self.headers.get("User-Agent", ""),
            "range": self.headers.get("Range", ""),
            "acceptEncoding": self.headers.get("Accept-Encoding", ""),
        })
        if url.path == "/__requests":
            return self.send_bytes(200, self.server.recorder.as_json(), "application/json", send_body)
        if self.command == "POST" and "onpost" in params:
            return self.send_endless() if params["onpost"] == "endless" else self.wait_for_client_to_leave()
        if params.get("stall") == "silent":
            return self.wait_for_client_to_leave()
        if "endless" in params:
            return self.send_endless()
        if "redirect" in params:
            return self.send_redirect(int(params.get("code", 302)), params["redirect"])
        status = int(params.get("status", 200))
        path = None if default_text is not None else self.file_path(url.path)
        if path is None:
            if status == 200 and default_text is None:
                status = 404
            text = default_text or b"%d\n" % status
            return self.send_bytes(status, text, "text/plain", send_body)
        self.send_file(status, path, params, send_body)

    def file_path(self, url_path):
        relative = os.path.normpath(urllib.parse.unquote(url_path)).lstrip("/")
        if relative.startswith(".."):
            return None
        path = os.path.join(self.server.root, relative)
        return path if os.path.isfile(path) else None

    def send_bytes(self, status, data, content_type, send_body):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if send_body:
            self.wfile.write(data)

    def send_redirect(self, code, location):
        if code not in REDIRECT_CODES:
            code = 302
        page = b"<html><head><title>%d Moved</title></head><body>Moved to elsewhere.</body></html>\n" % code
        self.send_response(code)
        self.send_header("Location", location)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def range_start(self, params):
        """The first byte asked for by "Range: bytes=FIRST-", or None."""
        wanted = self.headers.get("Range", "")
        if "norange" in params or not wanted.startswith("bytes=") or not wanted.endswith("-"):
            return None
        first = wanted[len("bytes="):-1]
        return int(first) if first.isdigit() else None

    def send_file(self, status, path, params, send_body):
        size = os.path.getsize(path)
        first = self.range_start(params) if status == 200 else None
        if first is not None and first >= size:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if first is not None:
            status = 206
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if "encoding" in params:
            self.send_header("Content-Encoding", params["encoding"])
        if "compress" in params or "chunked" in params:
            return self.send_framed(path, first or 0, params, send_body)
        if "nolength" in params:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(size - (first or 0)))
        if status == 206 and size > 0:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first or 0, size - 1, size))
        self.end_headers()
        if not send_body:
            return
        with open(path, "rb") as source:
            source.seek(first or 0)
            if "truncate" in params:
                self.wfile.write(source.read(int(params["truncate"])))
                self.close_connection = True
            elif "stall" in params:
                self.wfile.write(source.read(int(params["stall"])))
                self.wait_for_client_to_leave()
            elif "rate" in params:
                self.send_throttled(source, int(params["rate"]))
            else:
                self.send_whole(source, first or 0, size)

    def send_framed(self, path, first, params, send_body):
        """The body chunked or, gzipped on the way, closed after it; truncate=N cuts it off."""
        with open(path, "rb") as source:
            source.seek(first)
            body = source.read()
        if "compress" in params:
            body = gzip.compress(body)
            self.send_header("Content-Encoding", "gzip")
        chunked = "chunked" in params
        self.send_header("Transfer-Encoding" if chunked else "Connection", "chunked" if chunked else "close")
        self.close_connection = True
        self.end_headers()
        if not send_body:
            return
        body = body[:int(params["truncate"])] if "truncate" in params else body
        for offset in range(0, len(body), 65536):
            piece = body[offset:offset + 65536]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        if chunked and "truncate" not in params:
            self.wfile.write(b"0\r\n\r\n")

    def send_whole(self, source, offset, size):
        if isinstance(self.connection, ssl.SSLSocket):  # sendfile would bypass the encryption
            source.seek(offset)
            return self.wfile.write(source.read(size - offset))
        while offset < size:
            sent = os.sendfile(self.connection.fileno(), source.fileno(), offset,
                               min(SENDFILE_CHUNK, size - offset))
            if sent == 0:
                break
            offset += sent

    def send_throttled(self, source, rate):
        chunk_size = max(1, rate // 20)
        began = time.monotonic()
        sent = 0
        while True:
            chunk = source.read(chunk_size)
            if not chunk:
                return
            self.wfile.write(chunk)
            sent += len(chunk)
            delay = began + sent / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def send_endless(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        chunk = b" " * 65536
        framed = b"%x\r\n%s\r\n" % (len(chunk), chunk)
        self.close_connection = True
        while True:
            self.wfile.write(framed)

    def wait_for_client_to_leave(self):
        self.close_connection = True
        while True:
            readable, _, _ = select.select([self.connection], [], [], 0.5)
            if readable and not self.connection.recv(65536, self.nonblocking_flag()):
                return

    def nonblocking_flag(self):
        """SSL sockets refuse recv flags; there select has already seen data waiting."""
        return 0 if isinstance(self.connection, ssl.SSLSocket) else socket.MSG_DONTWAIT

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True


def stop_with_parent():
    parent = os.getppid()
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass

    def watch():
        while os.getppid() == parent:
            time.sleep(0.2)
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description="Small HTTP server for tests on 127.0.0.1.")
    parser.add_argument("root")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--lifetime", type=float, default=900)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args()

    stop_with_parent()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    lifetime = threading.Timer(args.lifetime, lambda: os._exit(0))
    lifetime.daemon = True
    lifetime.start()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*args.tls)
        # The handshake happens in the request's thread, so a client that never finishes it
        # does not hold up the others.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.root = os.path.abspath(args.root)
    server.recorder = Recorder(args.log)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as port_file:
            port_file.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print(port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
