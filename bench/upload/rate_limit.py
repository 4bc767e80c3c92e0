#!/usr/bin/env python3
"""RateLimit as the receiving end sees it: one file (64 MiB by default) posted at several
rates by quobrina (RateLimit) and by curl (--limit-rate), one after the other, to a
loopback receiver that times the body from its first byte to its last. Prints the rate
each reached against the one asked for, and the CPU time (user + system) each spent:
pacing that waits costs next to nothing, pacing that spins costs a core.

    bench/upload/rate_limit.py [--mib 64] [--rates 1M,10M,100M] [--tls] [--quobrina BINARY]

Everything listens on 127.0.0.1 and is stopped at the end.
"""
import argparse
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  build, make_file


class TimingReceiver:
    """Reads each request whole and answers 200; keeps the seconds from the first byte of
    the body to its last."""

    def __init__(self, cert=None, key=None):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.context = None
        if cert:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(cert, key)
        self.timings = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.connection, args=(connection,), daemon=True).start()

    def connection(self, connection):
        try:
            if self.context:
                connection = self.context.wrap_socket(connection, server_side=True)
            buffer = b""
            while True:
                while b"\r\n\r\n" not in buffer:
                    piece = connection.recv(65536)
                    if not piece:
                        return
                    buffer += piece
                head, buffer = buffer.split(b"\r\n\r\n", 1)
                length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
                if re.search(rb"(?i)expect: *100-continue", head):
                    connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
                first = time.perf_counter() if buffer else None
                got = len(buffer)
                while got < length:
                    piece = connection.recv(1 << 20)
                    if not piece:
                        return
                    if first is None:
                        first = time.perf_counter()
                    got += len(piece)
                self.timings.append((length, time.perf_counter() - first))
                buffer = b""
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        except (OSError, ssl.SSLError):
            pass
        finally:
            connection.close()

    def stop(self):
        self.listener.close()


def parse_rate(text):
    unit = {"K": 1024, "M": 1024 * 1024}.get(text[-1].upper(), 1)
    return int(text[:-1] if unit > 1 else text) * unit


def cpu_and_wall(args):
    report = tempfile.mktemp(prefix="quobrina-cpu-")
    start = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-f", "%U %S", "-o", report, *args], check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    with open(report) as f:
        user, system = (float(x) for x in f.read().split()[-2:])
    os.remove(report)
    return user + system, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--rates", default="1M,10M,100M")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--quobrina", help="the program to measure instead of a release build of this tree")
    args = parser.parse_args()

    quobrina, _, cert, key = run.build(program=not args.quobrina)
    quobrina = os.path.abspath(args.quobrina) if args.quobrina else quobrina
    work = tempfile.mkdtemp(prefix="quobrina-rate-bench-")
    receiver = TimingReceiver(cert, key) if args.tls else TimingReceiver()
    scheme = "https" if args.tls else "http"
    url = f"{scheme}://127.0.0.1:{receiver.port}/upload"
    try:
        source = os.path.join(work, "src")
        os.makedirs(source)
        path = os.path.join(source, "big.bin")
        run.make_file(path, args.mib << 20)
        print(f"== one file of {args.mib} MiB over {scheme}, to a loopback receiver that times the body;"
              f" rate seen there in MiB/s, its ratio to the rate asked for, CPU seconds (user + system)")
        print(f"{'asked':>6}  {'quobrina':>9} {'ratio':>6} {'cpu s':>6}   {'curl':>9} {'ratio':>6} {'cpu s':>6}")
        for text in args.rates.split(","):
            rate = parse_rate(text)
            state = os.path.join(work, "state")
            shutil.rmtree(state, ignore_errors=True)
            config = os.path.join(work, "upload.xml")
            with open(config, "w") as f:
                f.write(f"<c><configData><SourceFolder>{source}</SourceFolder><ConfigFolder>{state}</ConfigFolder>"
                        f"<UploadServer><UploadAT>{url}</UploadAT><RateLimit>{text}</RateLimit></UploadServer>"
                        f"</configData></c>")
            figures = []
            for command in ([quobrina, f"-configFile={config}"],
                            ["curl", "-s", "-k", "-o", "/dev/null", "-H", "Expect:", "--limit-rate", text, "-F",
                             f"file=@{path}", url]):
                cpu, _ = cpu_and_wall(command)
                length, seconds = receiver.timings[-1]
                seen = length / seconds
                figures.append((seen / (1 << 20), seen / rate, cpu))
            print(f"{text:>6}  " + "   ".join(f"{mib:9.2f} {ratio:6.3f} {cpu:6.2f}" for mib, ratio, cpu in figures),
                  flush=True)
    finally:
        receiver.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
