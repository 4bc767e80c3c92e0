#!/usr/bin/env python3
"""Reference receiving server for Quobrina uploads (python3 standard library only).

Accepts one multipart/form-data POST per file and stores the part's data under the
output folder by the part's file name. One line per request goes to standard output
and, as a JSON object, to <output>/requests.jsonl, so tests can see what arrived.

    receiver.py --output DIR [--port 0] [--bind 127.0.0.1] [--tls] [--tls-max 1.2]
                [--user NAME] [--password SECRET] [--port-file FILE]

Paths with a meaning of their own (everything else stores the file and answers 200):
    /status/<code>   answer <code> after reading the body (302 and 303 carry a Location)
    /slow/<seconds>  wait that long after reading the body, then store and answer 200
    /auth/<user>/<password>/<rest>
                     require these Basic credentials (either may be empty) instead of
                     --user and --password, then treat <rest> as the path
"""
import argparse
import base64
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 1 << 16


class MultipartError(Exception):
    pass


def read_exact(rfile, count):
    """Yields the next `count` bytes of the request body in pieces."""
    while count > 0:
        piece = rfile.read(min(CHUNK, count))
        if not piece:
            raise MultipartError("body ended early")
        count -= len(piece)
        yield piece


def parse_multipart(pieces, boundary, store):
    """Streams a multipart body: `store(headers, chunks)` receives each part's headers
    (a dict with lower-case names) and an iterator over its data."""
    delimiter = b"\r\n--" + boundary
    buffer = b"\r\n"  # the first delimiter has no CR LF in front of it
    source = iter(pieces)

    def fill():
        nonlocal buffer
        piece = next(source, None)
        if piece is None:
            return False
        buffer += piece
        return True

    # Skip the preamble up to the first delimiter.
    while delimiter not in buffer:
        if not fill():
            raise MultipartError("no boundary in body")
    buffer = buffer[buffer.index(delimiter) + len(delimiter):]
    while True:
        while len(buffer) < 2 and fill():
            pass
        if buffer.startswith(b"--"):
            return
        while b"\r\n\r\n" not in buffer:
            if not fill():
                raise MultipartError("part header not ended")
        head, buffer = buffer.split(b"\r\n\r\n", 1)
        headers = {}
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()

        def data():
            nonlocal buffer
            while True:
                at = buffer.find(delimiter)
                if at >= 0:
                    chunk, buffer = buffer[:at], buffer[at + len(delimiter):]
                    if chunk:
                        yield chunk
                    return
                keep = len(delimiter) - 1
                if len(buffer) > keep:
                    chunk, buffer = buffer[:-keep], buffer[-keep:]
                    yield chunk
                if not fill():
                    raise MultipartError("part data not ended")

        store(headers, data())


ESCAPED = re.compile(rb"%([0-9A-Fa-f]{2})")


def is_escaped_byte(byte):
    """The bytes that the program writes as %XX inside a quoted name."""
    return byte < 32 and byte != 9 or byte >= 127 or byte in b'"\\%'


def decode_name(quoted):
    """The name's bytes from its quoted form: raw UTF-8 with quotes, backslashes, control
    bytes and bytes outside UTF-8 as %XX, and "%" as %25 where it would read as one."""
    def unescape(match):
        byte = int(match.group(1), 16)
        return bytes([byte]) if is_escaped_byte(byte) else match.group(0)
    return ESCAPED.sub(unescape, quoted.encode("latin-1"))


def disposition_params(value):
    params = {}
    for match in re.finditer(r';\s*([A-Za-z*]+)="([^"]*)"', value):
        params[match.group(1).lower()] = match.group(2)
    return params


class Handler(BaseHTTPRequestHandler):
    # Connections are kept as a server of today keeps them: an HTTP/1.1 request's unless
    # it says close, an HTTP/1.0 request's when it asks with "Connection: keep-alive".
    protocol_version = "HTTP/1.1"
    server_version = "QuobrinaReceiver/1.0"

    def log_message(self, fmt, *args):  # one line of our own per request instead
        pass

    def send_response_only(self, code, message=None):
        # An HTTP/1.0 request is answered in HTTP/1.0, as servers may, so that status lines
        # read as they always did for the program's default requests.
        version = self.protocol_version
        if self.request_version == "HTTP/1.0":
            self.protocol_version = "HTTP/1.0"
        try:
            super().send_response_only(code, message)
        finally:
            self.protocol_version = version

    def answer(self, code, body=b"", extra=None):
        self.send_response(code)
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        elif self.request_version == "HTTP/1.0":
            self.send_header("Connection", "keep-alive")
        self.end_headers()
        self.wfile.write(body)

    def record(self, **fields):
        """Logs the request. Called before the answer goes out: a client that has its answer
        must find the request logged."""
        # The client's port tells the requests of one connection from those of another.
        fields.update(method=self.command, path=self.path, time=time.time(), port=self.client_address[1])
        if hasattr(self.connection, "version"):
            fields.update(tls=self.connection.version())
        line = json.dumps(fields, sort_keys=True)
        with self.server.lock:
            with open(os.path.join(self.server.output, "requests.jsonl"), "a") as log:
                log.write(line + "\n")
        print(f"{self.command} {self.path} -> {fields.get('status')} {fields.get('filename', '')} "
              f"{fields.get('size', '')}", flush=True)

    def route(self):
        """The credentials the path requires, as (user, password), and the path that is left."""
        match = re.match(r"^/auth/([^/]*)/([^/]*)(/.*)?$", self.path)
        if match:  # the path is percent-encoded as it arrives (UTF-8)
            user, password = (urllib.parse.unquote(match.group(i)) for i in (1, 2))
            return (user, password), match.group(3) or "/"
        return (self.server.user, self.server.password), self.path

    def authorized(self):
        (user, password), _ = self.route()
        header = self.headers.get("Authorization")
        if user is None and password is None:
            return True, header
        # The program sends credentials one byte per character when they fit, else UTF-8.
        credentials = f"{user or ''}:{password or ''}"
        try:
            raw = credentials.encode("latin-1")
        except UnicodeEncodeError:
            raw = credentials.encode("utf-8")
        expected = "Basic " + base64.b64encode(raw).decode()
        return header == expected, header

    @staticmethod
    def discard(stored):
        for *_, part in stored:
            try:
                os.remove(part)
            except OSError:
                pass

    def do_GET(self):
        self.record(status=200)
        self.answer(200, b"Quobrina receiver: POST multipart/form-data here\n")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "-1"))
        content_type = self.headers.get("Content-Type", "")
        authorization = self.headers.get("Authorization")
        match = re.search(r"boundary=([^;]+)", content_type)
        stored = []

        def store(headers, chunks):
            params = disposition_params(headers.get("content-disposition", ""))
            name = os.path.basename(decode_name(params.get("filename", "")) or b"unnamed")
            path = os.path.join(os.fsencode(self.server.output), b"files", name)
            size = 0
            # Data goes to a temporary file of a short name: the stored name may have 255 bytes.
            handle, part = tempfile.mkstemp(prefix=b".part-", dir=os.path.dirname(path))
            stored.append([decode_name(params.get("name", "")).decode("utf-8", "backslashreplace"),
                           name.decode("utf-8", "backslashreplace"), headers.get("content-type", ""), size, path, part])
            with open(handle, "wb") as out:
                for chunk in chunks:
                    out.write(chunk)
                    size += len(chunk)
            stored[-1][3] = size

        ok, _ = self.authorized()
        if length < 0 or not match:
            self.record(status=400, authorization=authorization)
            self.close_connection = True  # the body, if any, is left unread
            self.answer(400, b"multipart body with Content-Length expected\n")
            return
        try:
            body = read_exact(self.rfile, length)
            parse_multipart(body, match.group(1).strip('"').encode("latin-1"), store)
            for _ in body:  # what follows the closing delimiter: the next request starts after it
                pass
        except MultipartError as error:
            self.discard(stored)
            self.record(status=400, authorization=authorization, error=str(error))
            self.close_connection = True  # the rest of the body is left unread
            self.answer(400, f"{error}\n".encode())
            return
        except OSError as error:
            # A file that cannot be stored is never answered with success.
            self.discard(stored)
            self.record(status=500, authorization=authorization, error=str(error),
                        filename=stored[-1][1] if stored else "")
            self.close_connection = True
            self.answer(500, f"cannot store the file: {error.strerror}\n".encode())
            return
        status = 200
        special = re.match(r"^/(status|slow)/([0-9.]+)", self.route()[1])
        if special and special.group(1) == "slow":
            time.sleep(float(special.group(2)))
        elif special:
            status = int(special.group(2))
        # A file whose name begins with "status-NNN-" is answered with that status, as a
        # server that refuses that one file would (the tests' files a server refuses).
        for *_, path, part in stored:
            named = re.match(rb"^status-([1-5][0-9][0-9])-", os.path.basename(path))
            if named and status == 200:
                status = int(named.group(1))
        if not ok:
            status = 401
        try:
            for *_, path, part in stored:
                if status == 200:
                    os.replace(part, path)
                else:
                    os.remove(part)
        except OSError as error:
            self.discard(stored)
            self.record(status=500, authorization=authorization, error=str(error))
            self.answer(500, f"cannot store the file: {error.strerror}\n".encode())
            return
        extra = {}
        if status == 401:
            extra["WWW-Authenticate"] = 'Basic realm="quobrina"'
        if status in (301, 302, 303, 307, 308):
            extra["Location"] = "/moved"
        field, name, ctype, size = (stored[0][:4] if stored else ("", "", "", 0))
        self.record(status=status, field=field, filename=name, content_type=ctype, size=size,
                    authorization=authorization, parts=len(stored), length=length)
        self.answer(status, b"ok\n" if status == 200 else f"status {status}\n".encode(), extra)


def make_certificate(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    # The names let a verifying client accept it once it trusts this very certificate.
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--certificate-file", help="with --tls: where to copy the certificate it shows")
    parser.add_argument("--tls-max", choices=["1.2", "1.3"], help="the newest TLS version offered")
    parser.add_argument("--user")
    parser.add_argument("--password")
    args = parser.parse_args()

    os.makedirs(os.path.join(args.output, "files"), exist_ok=True)
    if ":" in args.bind:
        ThreadingHTTPServer.address_family = __import__("socket").AF_INET6
    server = ThreadingHTTPServer((args.bind, args.port), Handler)
    server.daemon_threads = True
    server.output = args.output
    server.user = args.user
    server.password = args.password
    server.lock = threading.Lock()
    scheme = "http"
    if args.tls:
        folder = tempfile.mkdtemp(prefix="quobrina-receiver-")
        cert, key = make_certificate(folder)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        if args.certificate_file:
            shutil.copyfile(cert, args.certificate_file)
        if args.tls_max == "1.2":
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        server.socket = context.wrap_socket(server.socket, server_side=True)
        shutil.rmtree(folder, ignore_errors=True)
        scheme = "https"
    port = server.server_address[1]
    host = f"[{args.bind}]" if ":" in args.bind else args.bind
    print(f"listening on {scheme}://{host}:{port}/", flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write(str(port))
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
