#!/usr/bin/env python3
"""Whole-program upload benchmarks: quobrina against curl, side by side, on loopback.

A sink of our own (sink.cpp) reads the whole body before it answers, plain and TLS.
Runs are interleaved and reported as medians of --runs runs:

  big     one file of --big-mib MiB (default 1024) over http and https: throughput of
          quobrina and of `curl -F`, their ratio, and quobrina's peak memory for that
          file and for a 10 MiB file.
  many    --files files of 4 KiB (default 2000) over http and https, to the sink as it is
          and to the sink acknowledging like a TCP stack that delays its ACKs: files per
          second of quobrina (one run for the folder), of a loop of curl processes (one
          per file), and of one curl process making a new connection per file.
  ledger  10 new files with a ledger of N old lines (N = --ledger-sizes), the old files
          gone or (1M) still in the folder: the whole run, the run without the 10 files
          (one reading of the ledger and the folder), the cost per file after it, and peak
          memory.
  folder  --folder-files new files (default 100000) in one folder: the whole run.
  step    one queue step with N files all named by an N-line ledger (N = --step-sizes):
          time per step, to show that it grows linearly.
  latency 200 files of 4 KiB and 20 of 1 MiB over http and https through a path emulator
          (latency_proxy.py: round trips of 20 and 100 ms, 100 Mbit/s, slow start) to a
          sink that keeps connections: files per second of quobrina, of curl opening a
          new connection per file and of curl keeping one connection, run side by side;
          first the emulator against its model, last the same three on loopback without
          the emulator (200 files of 4 KiB, ledger on /dev/shm and on the disk). One run
          at 100 ms, where 200 files take a minute; --one-at-a-time runs the three in turn.
  parallel  several connections through the same emulator at 20 and 100 ms: 200 files of
          4 KiB with N = 8 and 16 of 1 MiB with N = 4, over http and https: files per second
          of quobrina with Connections N, of `curl -Z --parallel-max N` and of quobrina with
          one connection, side by side, to the sink and to nginx with PHP-FPM
          (--parallel-servers); then on loopback N = 8 against N = 1 (--files files of
          4 KiB, ledger in memory and on the disk), and the peak memory of eight files of
          64 MiB at once.

    bench/upload/run.py [--runs 5] [--only big,many,step,ledger,folder,latency,parallel] [--quobrina BINARY]
                        [--realtime] [--parallel-servers sink,nginx]

--realtime (root) runs everything started after the build at real-time priority, so
that other work on the machine does not delay the wake-ups that every round trip and
every loopback figure is made of.

--quobrina runs another build of the program (an older one, say) in the same setting.
"""
import argparse
import concurrent.futures
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from latency_proxy import model_exchanges

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build-bench-upload")


def sh(*args, **kw):
    return subprocess.run(args, check=True, **kw)


def build(program=True):
    sh("cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DQUOBRINA_TESTS=OFF",
       stdout=subprocess.DEVNULL)
    if program:
        sh("cmake", "--build", BUILD, "--target", "quobrina", stdout=subprocess.DEVNULL)
    sink = os.path.join(BUILD, "upload_sink")
    source = os.path.join(ROOT, "bench", "upload", "sink.cpp")
    if not os.path.exists(sink) or os.path.getmtime(sink) < os.path.getmtime(source):
        sh("g++", "-O2", "-std=c++20", "-o", sink, source, "-lssl", "-lcrypto", "-pthread")
    key, cert = os.path.join(BUILD, "sink.key"), os.path.join(BUILD, "sink.pem")
    if not os.path.exists(cert):
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-days", "30",
           "-keyout", key, "-out", cert, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(BUILD, "quobrina"), sink, cert, key


def start_listener(args, port_file):
    """Starts a server that writes its port to port_file; returns the process and the port."""
    process = subprocess.Popen(args)
    while not os.path.exists(port_file):
        if process.poll() is not None:
            raise RuntimeError(f"{args[0]} ended with status {process.returncode}")
        time.sleep(0.02)
    with open(port_file) as f:
        return process, int(f.read())


class Sink:
    def __init__(self, binary, tls=None, delay_ack=False, keep_alive=False):
        self.port_file = tempfile.mktemp(prefix="quobrina-sink-")
        # Brought up to date before every answer: kept off the disk.
        self.stats_file = tempfile.mktemp(prefix="quobrina-sink-stats-",
                                          dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        args = [binary, "--port-file", self.port_file, "--stats", self.stats_file, "--time-limit", "36000"]
        args += (["--tls", *tls] if tls else []) + (["--delay-ack"] if delay_ack else [])
        args += ["--keep-alive"] if keep_alive else []
        self.process, self.port = start_listener(args, self.port_file)
        self.scheme = "https" if tls else "http"
        self.url = f"{self.scheme}://127.0.0.1:{self.port}/upload"

    def stats(self):
        """The sink's counts so far: connections, requests, handshakes, resumed."""
        with open(self.stats_file) as f:  # written by the sink before its port
            return {name: int(count) for name, count in (line.split() for line in f)}

    def stop(self):
        self.process.kill()
        self.process.wait()
        for path in (self.port_file, self.stats_file):
            if os.path.exists(path):
                os.remove(path)


class Proxy:
    """The path emulator in front of a sink, with its own link (latency_proxy.py)."""

    def __init__(self, sink, rtt_ms, mbit=100, initial_window=10, time_limit=1800):
        self.port_file = tempfile.mktemp(prefix="quobrina-proxy-")
        self.process, port = start_listener(
            [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "latency_proxy.py"),
             "--to", str(sink.port), "--rtt-ms", str(rtt_ms), "--mbit", str(mbit), "--initial-window",
             str(initial_window), "--port-file", self.port_file, "--time-limit", str(time_limit)], self.port_file)
        self.port = port
        self.url = f"{sink.scheme}://127.0.0.1:{port}/upload"

    def stop(self):
        self.process.kill()
        self.process.wait()
        os.remove(self.port_file)


def timed(args, cwd=None, timeout=None):
    """Runs a command; returns (wall seconds, peak resident KiB).

    The peak is taken by /usr/bin/time: Linux carries a process's peak across exec, so a
    child started from this interpreter would report the interpreter's own peak if it was
    higher (as it is after building a ledger of a million lines here)."""
    report = tempfile.mktemp(prefix="quobrina-rss-")
    start = time.perf_counter()
    # Standard error too: curl's parallel progress meter shows despite --silent.
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report, *args], cwd=cwd,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        status = process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise RuntimeError(f"{args[0]} took more than {timeout} s")
    wall = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"{args[0]} failed with status {status}")
    with open(report) as f:
        peak = int(f.read().split()[-1])
    os.remove(report)
    return wall, peak


STATE_DIR = None  # where the configuration folder (the ledger) goes; --state-dir


def state_folder(work, state_root=None):
    return os.path.join(state_root or STATE_DIR or work, "state")


def write_config(work, source, url, state_root=None, connections=1):
    state = state_folder(work, state_root)
    shutil.rmtree(state, ignore_errors=True)
    config = os.path.join(work, "upload.xml")
    extra = f"<Connections>{connections}</Connections>" if connections > 1 else ""
    with open(config, "w") as f:
        f.write(f"<c><configData><SourceFolder>{source}</SourceFolder><ConfigFolder>{state}</ConfigFolder>"
                f"<UploadServer><UploadAT>{url}</UploadAT>{extra}</UploadServer></configData></c>")
    return config


def run_quobrina(quobrina, work, source, url, state_root=None, timeout=None):
    config = write_config(work, source, url, state_root)
    return timed([quobrina, f"-configFile={config}"], timeout=timeout)


def make_file(path, size):
    with open(path, "wb") as f:
        chunk = os.urandom(1 << 20)
        left = size
        while left > 0:
            f.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)


def bench_big(args, quobrina, sinks, work):
    size = args.big_mib << 20
    folders = {}
    for name, bytes_ in (("big", size), ("small", 10 << 20)):
        folders[name] = os.path.join(work, name)
        os.makedirs(folders[name], exist_ok=True)
        make_file(os.path.join(folders[name], "upload.bin"), bytes_)
    print(f"\n== one file of {args.big_mib} MiB (medians of {args.runs} runs)")
    print(f"{'':6} {'quobrina MB/s':>14} {'curl MB/s':>10} {'ratio':>6} {'peak RSS 1 GiB':>15} {'peak RSS 10 MiB':>16}")
    for layer in ("http", "https"):
        sink = sinks[layer]
        ours, curls, rss_big, rss_small = [], [], [], []
        for _ in range(args.runs):
            wall, rss = run_quobrina(quobrina, work, folders["big"], sink.url)
            ours.append(size / wall / 1e6)
            rss_big.append(rss)
            wall, _ = timed(["curl", "-s", "-k", "-o", "/dev/null", "-F",
                             f"file=@{os.path.join(folders['big'], 'upload.bin')}", sink.url])
            curls.append(size / wall / 1e6)
            rss_small.append(run_quobrina(quobrina, work, folders["small"], sink.url)[1])
        q, c = statistics.median(ours), statistics.median(curls)
        print(f"{layer:6} {q:14.0f} {c:10.0f} {q / c:6.2f} {statistics.median(rss_big) / 1024:12.1f} MiB"
              f" {statistics.median(rss_small) / 1024:13.1f} MiB")


def write_curl_config(config_file, url, paths, extra=()):
    """A `curl -K` file posting each file in turn like `curl -F file=@PATH`; curl keeps one
    connection for all of them where the server agrees."""
    with open(config_file, "w") as f:
        for i, path in enumerate(paths):
            if i:
                f.write("next\n")
            f.write(f'url = "{url}"\nform = "file=@{path}"\noutput = "/dev/null"\nsilent\ninsecure\n')
            f.writelines(f"{line}\n" for line in extra)
    return config_file


def make_folder(path, count, size):
    os.makedirs(path, exist_ok=True)
    for i in range(count):
        make_file(os.path.join(path, f"file{i:05d}.dat"), size)
    return [os.path.join(path, f"file{i:05d}.dat") for i in range(count)]


def bench_many(args, quobrina, sinks, work):
    folder = os.path.join(work, "many")
    os.makedirs(folder, exist_ok=True)
    names = [f"file{i:05d}.dat" for i in range(args.files)]
    for name in names:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(os.urandom(4096))
    loop_count = min(args.files, 300)  # the process loop is slow; a sample is enough
    print(f"\n== {args.files} files of 4 KiB (files per second, medians of {args.runs} runs)")
    print(f"{'':6} {'quobrina':>9} {'curl loop':>10} {'ratio':>6} {'one curl':>9} {'ratio':>6}")
    for layer, sink in sinks.items():
        ours, loops, singles = [], [], []
        config_file = write_curl_config(os.path.join(work, "curl.cfg"), sink.url,
                                        [os.path.join(folder, name) for name in names])
        for _ in range(args.runs):
            wall, _ = run_quobrina(quobrina, work, folder, sink.url)
            ours.append(args.files / wall)
            start = time.perf_counter()
            for name in names[:loop_count]:
                subprocess.run(["curl", "-s", "-k", "-o", "/dev/null", "-F", f"file=@{os.path.join(folder, name)}",
                                sink.url], check=True)
            loops.append(loop_count / (time.perf_counter() - start))
            wall, _ = timed(["curl", "-K", config_file])
            singles.append(args.files / wall)
        q, l, s = statistics.median(ours), statistics.median(loops), statistics.median(singles)
        print(f"{layer:6} {q:9.0f} {l:10.0f} {q / l:6.2f} {s:9.0f} {q / s:6.2f}")


def write_ledger(state, lines):
    os.makedirs(state, exist_ok=True)
    with open(os.path.join(state, "00000000.LST"), "w", newline="") as f:
        f.writelines(f"{line}\r\n" for line in lines)
        # On the disk, as a ledger of years is: else the run's first flush would write it.
        f.flush()
        os.fsync(f.fileno())


def run_with_ledger(quobrina, work, folder, url, old):
    config = write_config(work, folder, url)
    write_ledger(state_folder(work), old)
    return timed([quobrina, f"-configFile={config}"])


def bench_ledger(args, quobrina, sinks, work):
    url = sinks["http"].url
    print(f"\n== 10 new files of 4 KiB, ledger of N old lines (http; medians of {args.runs} runs)")
    print(f"{'N':>8} {'old in folder':>13} {'run s':>8} {'read s':>8} {'per file ms':>12} {'peak RSS MiB':>13}")
    for n, in_folder in [(size, False) for size in args.ledger_sizes] + [(max(args.ledger_sizes), True)]:
        folder = os.path.join(work, f"ledger{n}{'-in' if in_folder else ''}")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        old = [f"{folder}/old-{i:07d}.dat" for i in range(n)]
        if in_folder:
            for path in old:
                open(path, "wb").close()
        new = [os.path.join(folder, f"new-{i:02d}.dat") for i in range(10)]
        for path in new:
            with open(path, "wb") as f:
                f.write(os.urandom(4096))
        runs, reads, rss = [], [], []
        for _ in range(args.runs):
            reads.append(run_with_ledger(quobrina, work, folder, url, old + new)[0])
            wall, peak = run_with_ledger(quobrina, work, folder, url, old)
            runs.append(wall)
            rss.append(peak)
        run, read = statistics.median(runs), statistics.median(reads)
        print(f"{n:8} {'yes' if in_folder else 'no':>13} {run:8.3f} {read:8.3f} {(run - read) / 10 * 1000:12.2f}"
              f" {statistics.median(rss) / 1024:13.1f}")
        shutil.rmtree(folder, ignore_errors=True)


def bench_folder(args, quobrina, sinks, work):
    folder = os.path.join(work, "folder")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for i in range(args.folder_files):
        with open(os.path.join(folder, f"f{i:07d}.dat"), "wb") as f:
            f.write(b"0123456789abcdef")
    wall, rss = run_quobrina(quobrina, work, folder, sinks["http"].url)
    print(f"\n== {args.folder_files} new files of 16 bytes in one folder (http, one run)")
    print(f"whole folder {wall:.1f} s = {args.folder_files / wall:.0f} files/s, peak RSS {rss / 1024:.1f} MiB")
    shutil.rmtree(folder, ignore_errors=True)


def bench_step(args, quobrina, work):
    print(f"\n== one queue step with N files and an N-line ledger naming all of them (medians of {args.runs} runs)")
    print(f"{'N':>8} {'seconds per step':>17}")
    for n in args.step_sizes:
        folder = os.path.join(work, f"step{n}")
        os.makedirs(folder, exist_ok=True)
        for i in range(n):
            open(os.path.join(folder, f"f{i:07d}.txt"), "wb").close()
        times = []
        for _ in range(args.runs):
            config = write_config(work, folder, "http://127.0.0.1:9/")
            state = state_folder(work)
            os.makedirs(state)
            with open(os.path.join(state, "00000000.LST"), "w", newline="") as f:
                f.writelines(f"{folder}/f{i:07d}.txt\r\n" for i in range(n))
            times.append(timed([quobrina, f"-configFile={config}"])[0])
        print(f"{n:8} {statistics.median(times):17.4f}")

LATENCY_RTTS = (20, 100)  # ms
LATENCY_SETS = (("200 x 4 KiB", 200, 4096), ("20 x 1 MiB", 20, 1 << 20))
WHO = ("quobrina", "curl new", "curl one")
ANSWER = len("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok")


def request_head(size):
    return f"POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {size}\r\n\r\n".encode()


def post_raw(sock, size):
    """One HTTP/1.1 POST of `size` body bytes on an open socket; returns when the sink's
    whole answer is in."""
    sock.sendall(request_head(size))
    body = b"x" * 65536
    left = size
    while left:
        left -= sock.send(body[:min(left, len(body))])
    answer = b""
    while not answer.endswith(b"\r\n\r\nok"):
        data = sock.recv(4096)
        if not data:
            raise RuntimeError("the sink closed without a whole answer")
        answer += data


def exchanges(port, size, count):
    """Seconds from connect to each of `count` answers on one connection."""
    times, start = [], time.perf_counter()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(count):
            post_raw(sock, size)
            now = time.perf_counter()
            times.append(now - start)
            start = now
    return times


def check_emulator(sink, runs):
    """The emulator against its own model (and against no emulator at all), with a plain
    socket client: the cost of a connection, of an exchange on a kept one, of 1 MiB."""
    print(f"\n== the path emulator against its model: ms from connect to the answer, first and second request"
          f" on one connection (medians of {runs})")
    print(f"{'path':34} {'4 KiB 1st':>10} {'2nd':>7} {'1 MiB 1st':>10} {'2nd':>7}   model 4 KiB, 1 MiB")
    paths = [("loopback, no emulator", None, 0, 0), ("emulator rtt 0, no limit, no window", 0, 0, 0),
             ("emulator rtt 0, 100 Mbit/s", 0, 100, 10)]
    paths += [(f"emulator rtt {rtt} ms, 100 Mbit/s", rtt, 100, 10) for rtt in LATENCY_RTTS]
    for label, rtt, mbit, window in paths:
        proxy = Proxy(sink, rtt, mbit, window) if rtt is not None else None
        try:
            port = proxy.port if proxy else sink.port
            measured = [statistics.median(column) for column in zip(*(
                exchanges(port, 4096, 2) + exchanges(port, 1 << 20, 2) for _ in range(runs)))]
        finally:
            if proxy:
                proxy.stop()
        line = f"{label:34} " + " ".join(f"{m * 1000:{w}.1f}" for m, w in zip(measured, (10, 7, 10, 7)))
        if rtt is not None:
            options = argparse.Namespace(rtt_ms=rtt, mbit=mbit, initial_window=window, mss=1448)
            model = [seconds for size in (4096, 1 << 20)
                     for seconds in model_exchanges(options, len(request_head(size)) + size, ANSWER, 2)]
            line += "   " + " ".join(f"{m * 1000:.1f}" for m in model)
        print(line)


def run_side_by_side(commands, timeout):
    """Runs the commands at once; returns the wall seconds of each."""
    with concurrent.futures.ThreadPoolExecutor(len(commands)) as pool:
        futures = {who: pool.submit(timed, command, timeout=timeout) for who, command in commands.items()}
        return {who: future.result()[0] for who, future in futures.items()}


def latency_commands(quobrina, work, folder, paths, urls, shm):
    """The three ways to send the folder: quobrina, curl reconnecting per file, curl
    keeping one connection; each to its own URL."""
    no_expect = ['header = "Expect:"']
    # This curl has no switch to forbid reuse: the server is asked to close instead.
    new = write_curl_config(os.path.join(work, "curl-new.cfg"), urls["curl new"], paths,
                            no_expect + ['header = "Connection: close"'])
    one = write_curl_config(os.path.join(work, "curl-one.cfg"), urls["curl one"], paths, no_expect)
    return {"quobrina": quobrina_command(quobrina, work, folder, urls["quobrina"], shm),
            "curl new": ["curl", "-K", new], "curl one": ["curl", "-K", one]}


def quobrina_command(quobrina, work, folder, url, state_root, connections=1):
    """A command made anew for every run: the configuration and an empty ledger."""
    return lambda: [quobrina, f"-configFile={write_config(work, folder, url, state_root, connections)}"]


def measure(sinks, commands, files, runs, timeout, side_by_side=True):
    """files/s of each command (median of runs), and the connections and resumed TLS
    sessions the sink saw for it (in the last run)."""
    def stats(sink):  # a server other than the sink (nginx) counts nothing: the exit code tells
        return sink.stats() if sink else {}

    def since(before, sink):
        if not sink:
            return {"requests": files}
        return {name: count - before[name] for name, count in stats(sink).items()}

    rates = {who: [] for who in commands}
    for _ in range(runs):
        now = {who: command() if callable(command) else command for who, command in commands.items()}
        if side_by_side:
            before = {who: stats(sinks[who]) for who in now}
            walls = run_side_by_side(now, timeout)
            seen = {who: since(before[who], sinks[who]) for who in now}
        else:
            walls, seen = {}, {}
            for who, command in now.items():
                before = stats(sinks[who])
                walls[who] = timed(command, timeout=timeout)[0]
                seen[who] = since(before, sinks[who])
        for who, wall in walls.items():
            if seen[who]["requests"] != files:
                raise RuntimeError(f"{who}: the sink answered {seen[who]['requests']} requests for {files} files")
            rates[who].append(files / wall)
    return {who: statistics.median(r) for who, r in rates.items()}, seen


def bench_latency(args, quobrina, sink_binary, tls, work):
    shm = tempfile.mkdtemp(prefix="quobrina-state-", dir="/dev/shm")
    disk = os.path.join(work, "disk-state")
    os.makedirs(disk)
    kinds = {"http": None, "https": tls}
    sinks = {(layer, who): Sink(sink_binary, kinds[layer], keep_alive=True) for layer in kinds for who in WHO}
    folders = {}
    for label, count, size in LATENCY_SETS:
        folder = os.path.join(work, f"latency{count}")
        folders[label] = folder, make_folder(folder, count, size)
    timeout = 600
    started = time.monotonic()
    try:
        realtime = os.sched_getscheduler(0) == os.SCHED_RR
        print(f"\nload average at the start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}; scheduling: "
              + ("real-time (--realtime)" if realtime else
                 "normal (other work on this machine delays every wake-up by up to milliseconds; see --realtime)"))
        check_emulator(sinks[("http", "quobrina")], min(args.runs, 3))
        how = "one after another" if args.one_at_a_time else "side by side"
        print(f"\n== files per second through the emulator (100 Mbit/s per direction, slow start from 10 segments)"
              f" to a sink that keeps connections; the three {how}, each with its own emulator and sink;"
              f" quobrina's ledger on {shm}; medians of {args.runs} runs at {LATENCY_RTTS[0]} ms, one at"
              f" {LATENCY_RTTS[1]} ms")
        print(f"{'files':12} {'proto':5} {'rtt':>6} {'quobrina':>9} {'curl new':>9} {'curl one':>9} {'q/one':>6}"
              f"   connections q/new/one   resumed q/new/one")
        for rtt in LATENCY_RTTS:
            for label, count, _ in LATENCY_SETS:
                folder, paths = folders[label]
                for layer in kinds:
                    own = {who: sinks[(layer, who)] for who in WHO}
                    proxies = {who: Proxy(own[who], rtt) for who in WHO}
                    try:
                        commands = latency_commands(quobrina, work, folder, paths,
                                                    {who: p.url for who, p in proxies.items()}, shm)
                        rates, seen = measure(own, commands, count, args.runs if rtt == LATENCY_RTTS[0] else 1,
                                              timeout, not args.one_at_a_time)
                    finally:
                        for proxy in proxies.values():
                            proxy.stop()
                    print(f"{label:12} {layer:5} {rtt:3} ms" + "".join(f" {rates[who]:9.1f}" for who in WHO)
                          + f" {rates['quobrina'] / rates['curl one']:6.2f}   " + counts(seen, WHO, layer), flush=True)
        bench_loopback(args, quobrina, sinks, work, folders[LATENCY_SETS[0][0]], shm, disk)
        print(f"\nload average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())};"
              f" {time.monotonic() - started:.0f} s")
    finally:
        for sink in sinks.values():
            sink.stop()
        shutil.rmtree(shm, ignore_errors=True)


def counts(seen, who, layer):
    """What the sink saw of each: connections, and over TLS resumed sessions."""
    line = f"{'/'.join(str(seen[w]['connections']) for w in who):>21}"
    return line + (f"   {'/'.join(str(seen[w]['resumed']) for w in who):>17}" if layer == "https" else "")


def file_system(path):
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()


def bench_loopback(args, quobrina, sinks, work, folder_paths, shm, disk):
    folder, paths = folder_paths
    files = len(paths)
    print(f"\n== loopback, no emulator: {files} files of 4 KiB per second to a sink that keeps connections,"
          f" one after another, medians of {args.runs} runs; quobrina's ledger on {shm} ({file_system(shm)}) and on"
          f" {disk} ({file_system(disk)})")
    print(f"{'proto':5} {'q memory':>9} {'q disk':>9} {'curl new':>9} {'curl one':>9} {'q mem/one':>10}"
          f" {'q disk/one':>10}   connections q/new/one   resumed q/new/one")
    for layer in ("http", "https"):
        own = {who: sinks[(layer, who)] for who in WHO}
        commands = latency_commands(quobrina, work, folder, paths, {who: own[who].url for who in WHO}, shm)
        on_disk = os.path.join(work, "disk-run")
        os.makedirs(on_disk, exist_ok=True)
        commands = {"q memory": commands["quobrina"],
                    "q disk": quobrina_command(quobrina, on_disk, folder, own["quobrina"].url, disk),
                    "curl new": commands["curl new"], "curl one": commands["curl one"]}
        counted = {"q memory": own["quobrina"], "q disk": own["quobrina"], "curl new": own["curl new"],
                   "curl one": own["curl one"]}
        rates, seen = measure(counted, commands, files, args.runs, 120, side_by_side=False)
        print(f"{layer:5}" + "".join(f" {rates[who]:9.0f}" for who in commands)
              + f" {rates['q memory'] / rates['curl one']:10.2f} {rates['q disk'] / rates['curl one']:10.2f}   "
              + counts(seen, ("q memory", "curl new", "curl one"), layer), flush=True)


PARALLEL_SETS = (("200 x 4 KiB", 200, 4096, 8), ("16 x 1 MiB", 16, 1 << 20, 4))
PARALLEL_WHO = ("quobrina N", "curl -Z N", "quobrina 1")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NginxPhp:
    """nginx in front of PHP-FPM, from the real-server tests' configuration
    (tests/e2e/servers/), with `children` PHP workers: a server users run, which reads the
    whole body, stores the file and keeps HTTP/1.0 connections that ask for it."""

    SERVERS = os.path.join(ROOT, "tests", "e2e", "servers")

    def __init__(self, work, children):
        self.dir = tempfile.mkdtemp(prefix="quobrina-nginx-", dir=work)
        for sub in ("php-files", "php-tmp", "nginx-body"):
            os.makedirs(os.path.join(self.dir, sub))
        root = os.geteuid() == 0
        self.ports = {name: free_port() for name in ("HTTP", "TLS12", "TLS13", "SMALL")}
        marks = {"@DIR@": self.dir, "@SERVERS@": self.SERVERS, "@USER@": "user root root;" if root else "",
                 "@PHP_USER@": "user = root\ngroup = root" if root else ""}
        marks.update({f"@{name}_PORT@": str(port) for name, port in self.ports.items()})
        for name in ("nginx.conf", "locations.conf", "php-fpm.conf"):
            with open(os.path.join(self.SERVERS, name)) as f:
                text = f.read()
            for mark, value in marks.items():
                text = text.replace(mark, value)
            text = text.replace("pm.max_children = 2", f"pm.max_children = {children}")
            text = text.replace("worker_connections 64", "worker_connections 512")
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
           "-keyout", os.path.join(self.dir, "key.pem"), "-out", os.path.join(self.dir, "cert.pem"),
           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        php = next((os.path.join("/usr/sbin", n) for n in sorted(os.listdir("/usr/sbin")) if n.startswith("php-fpm")),
                   None)
        if not os.path.exists("/usr/sbin/nginx") or not php:
            raise RuntimeError("nginx or php-fpm is not installed (scripts/setup installs them)")
        self.processes = [
            subprocess.Popen([php, "-F", "-y", os.path.join(self.dir, "php-fpm.conf")] + (["-R"] if root else []),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
            subprocess.Popen(["/usr/sbin/nginx", "-e", os.path.join(self.dir, "nginx-error.log"), "-c",
                              os.path.join(self.dir, "nginx.conf"), "-g", "daemon off;"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        deadline = time.monotonic() + 20
        while not self._accepts():
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("nginx and PHP-FPM did not start")
            time.sleep(0.1)

    def _accepts(self):
        if not os.path.exists(os.path.join(self.dir, "php-fpm.sock")):
            return False
        try:
            socket.create_connection(("127.0.0.1", self.ports["HTTP"]), timeout=1).close()
            return True
        except OSError:
            return False

    def port(self, layer):
        return self.ports["HTTP" if layer == "http" else "TLS13"]

    def stop(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class FixedTarget:
    """What a Proxy needs of a sink: the port and the scheme of a server started elsewhere."""

    def __init__(self, port, scheme):
        self.port, self.scheme = port, scheme


def bench_parallel(args, quobrina, sink_binary, tls, work):
    """Several connections: quobrina with Connections N, curl -Z --parallel-max N and
    quobrina with one connection, side by side through the emulator; then loopback, N = 8
    against N = 1; then the resident memory of eight 64 MiB files at once."""
    shm = tempfile.mkdtemp(prefix="quobrina-state-", dir="/dev/shm")
    kinds = {"http": None, "https": tls}
    folders = {}
    for label, count, size, _ in PARALLEL_SETS:
        folder = os.path.join(work, f"parallel{count}")
        folders[label] = folder, make_folder(folder, count, size)
    # Each run side by side has a configuration and a ledger of its own.
    works = {who: os.path.join(work, f"run-{i}") for i, who in enumerate(PARALLEL_WHO)}
    states = {who: os.path.join(shm, f"run-{i}") for i, who in enumerate(PARALLEL_WHO)}
    for path in (*works.values(), *states.values()):
        os.makedirs(path, exist_ok=True)
    started = time.monotonic()
    realtime = os.sched_getscheduler(0) == os.SCHED_RR
    print(f"\nload average at the start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}; scheduling: "
          + ("real-time (--realtime)" if realtime else "normal (see --realtime)"))
    servers = args.parallel_servers.split(",")
    try:
        for server in servers:
            nginx = NginxPhp(work, 2 * max(n for *_, n in PARALLEL_SETS) + 2) if server == "nginx" else None
            sinks = {} if nginx else {(layer, who): Sink(sink_binary, kinds[layer], keep_alive=True)
                                      for layer in kinds for who in PARALLEL_WHO}
            try:
                print(f"\n== files per second through the emulator (100 Mbit/s per direction and connection, slow start"
                      f" from 10 segments) to {'nginx with PHP-FPM' if nginx else 'the sink'}; the three side by side,"
                      f" each through its own emulator; quobrina's ledger on {shm}; medians of {args.runs} runs at"
                      f" {LATENCY_RTTS[0]} ms, one at {LATENCY_RTTS[1]} ms")
                print(f"{'files':12} {'proto':5} {'rtt':>6} {'N':>2} {'quobrina N':>11} {'curl -Z N':>10}"
                      f" {'quobrina 1':>11} {'q N/curl':>9} {'q N/q 1':>8}" + ("   connections qN/curl/q1" if sinks else ""))
                for rtt in LATENCY_RTTS:
                    for label, count, _, n in PARALLEL_SETS:
                        folder, paths = folders[label]
                        for layer in kinds:
                            targets = ({who: FixedTarget(nginx.port(layer), layer) for who in PARALLEL_WHO} if nginx
                                       else {who: sinks[(layer, who)] for who in PARALLEL_WHO})
                            proxies = {who: Proxy(targets[who], rtt) for who in PARALLEL_WHO}
                            try:
                                curl = write_curl_config(os.path.join(work, "curl-parallel.cfg"),
                                                         proxies["curl -Z N"].url, paths, ['header = "Expect:"'])
                                commands = {
                                    "quobrina N": quobrina_command(quobrina, works["quobrina N"], folder,
                                                                   proxies["quobrina N"].url, states["quobrina N"], n),
                                    "curl -Z N": ["curl", "-s", "-Z", "--parallel-max", str(n),
                                                  "--parallel-immediate", "-K", curl],
                                    "quobrina 1": quobrina_command(quobrina, works["quobrina 1"], folder,
                                                                   proxies["quobrina 1"].url, states["quobrina 1"])}
                                counted = {who: (None if nginx else targets[who]) for who in PARALLEL_WHO}
                                rates, seen = measure(counted, commands, count,
                                                      args.runs if rtt == LATENCY_RTTS[0] else 1, 600)
                            finally:
                                for proxy in proxies.values():
                                    proxy.stop()
                            line = (f"{label:12} {layer:5} {rtt:3} ms {n:2}" + f" {rates['quobrina N']:11.1f}"
                                    f" {rates['curl -Z N']:10.1f} {rates['quobrina 1']:11.1f}"
                                    f" {rates['quobrina N'] / rates['curl -Z N']:9.2f}"
                                    f" {rates['quobrina N'] / rates['quobrina 1']:8.2f}")
                            if sinks:
                                line += "   " + "/".join(str(seen[w]["connections"]) for w in PARALLEL_WHO)
                            print(line, flush=True)
            finally:
                if nginx:
                    nginx.stop()
                for sink in sinks.values():
                    sink.stop()
        bench_parallel_loopback(args, quobrina, sink_binary, work, shm)
        bench_parallel_memory(quobrina, sink_binary, work)
        print(f"\nload average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())};"
              f" {time.monotonic() - started:.0f} s")
    finally:
        shutil.rmtree(shm, ignore_errors=True)


def bench_parallel_loopback(args, quobrina, sink_binary, work, shm):
    folder = os.path.join(work, "parallel-loopback")
    paths = make_folder(folder, args.files, 4096)
    disk = os.path.join(work, "parallel-disk-state")
    os.makedirs(disk, exist_ok=True)
    print(f"\n== loopback, no emulator: {len(paths)} files of 4 KiB per second to the sink, one run after"
          f" another, medians of {args.runs} runs; ledger on {shm} ({file_system(shm)}) and on {disk}"
          f" ({file_system(disk)})")
    print(f"{'proto':5} {'ledger':7} {'N = 1':>7} {'N = 8':>7} {'8 / 1':>6}")
    for layer, tls in (("http", None), ("https", SINK_TLS)):
        sink = Sink(sink_binary, tls, keep_alive=True)
        try:
            for where, state in (("memory", shm), ("disk", disk)):
                # Each with a configuration and a ledger of its own: both are made before either runs.
                for n in (1, 8):
                    os.makedirs(os.path.join(work, f"loop-{n}"), exist_ok=True)
                    os.makedirs(os.path.join(state, f"loop-{n}"), exist_ok=True)
                commands = {n: quobrina_command(quobrina, os.path.join(work, f"loop-{n}"), folder, sink.url,
                                                os.path.join(state, f"loop-{n}"), n) for n in (1, 8)}
                rates, _ = measure({n: sink for n in commands}, commands, len(paths), args.runs, 300,
                                   side_by_side=False)
                print(f"{layer:5} {where:7} {rates[1]:7.0f} {rates[8]:7.0f} {rates[8] / rates[1]:6.2f}", flush=True)
        finally:
            sink.stop()


def bench_parallel_memory(quobrina, sink_binary, work):
    folder = os.path.join(work, "parallel-big")
    os.makedirs(folder, exist_ok=True)
    for i in range(8):
        with open(os.path.join(folder, f"big{i}.bin"), "wb") as f:
            f.truncate(64 << 20)  # sparse: the bytes read are zeros, no disk is needed
    sink = Sink(sink_binary, keep_alive=True)
    try:
        print("\n== peak resident memory, 8 files of 64 MiB to the sink on loopback")
        for n in (1, 8):
            run = os.path.join(work, f"big-{n}")
            os.makedirs(run, exist_ok=True)
            wall, peak = timed(quobrina_command(quobrina, run, folder, sink.url, None, n)())
            print(f"quobrina, N = {n}: {peak / 1024:.1f} MiB, {8 * 64 / wall:.0f} MiB/s")
        paths = [os.path.join(folder, f"big{i}.bin") for i in range(8)]
        curl = write_curl_config(os.path.join(work, "curl-big.cfg"), sink.url, paths, ['header = "Expect:"'])
        wall, peak = timed(["curl", "-s", "-Z", "--parallel-max", "8", "--parallel-immediate", "-K", curl])
        print(f"curl -Z --parallel-max 8: {peak / 1024:.1f} MiB, {8 * 64 / wall:.0f} MiB/s")
    finally:
        sink.stop()


SINK_TLS = None  # (certificate, key) of the sink, set by main


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--step-sizes", type=int, nargs="+", default=[10000, 20000, 40000])
    parser.add_argument("--ledger-sizes", type=int, nargs="+", default=[0, 10000, 100000, 1000000])
    parser.add_argument("--folder-files", type=int, default=100000)
    parser.add_argument("--only", default="big,many,step,ledger,folder,latency,parallel")
    parser.add_argument("--parallel-servers", default="sink,nginx",
                        help="parallel: the servers to measure against, sink and/or nginx (with PHP-FPM)")
    parser.add_argument("--realtime", action="store_true",
                        help="run the sinks, emulators and programs at round-robin real-time priority 1 (root):"
                        " wakes them within a fraction of a millisecond however busy the machine is")
    parser.add_argument("--one-at-a-time", action="store_true",
                        help="latency: run quobrina and the two curls one after another, not side by side")
    parser.add_argument("--quobrina", help="the program to measure instead of a release build of this tree")
    parser.add_argument("--state-dir", help="folder for the ledger (default: the work folder); /dev/shm shows the"
                        " cost without the disk's flush latency")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        sys.exit("bench/upload/run.py measures peak memory with /usr/bin/time: apt-get install time")
    global STATE_DIR
    STATE_DIR = tempfile.mkdtemp(prefix="quobrina-state-", dir=args.state_dir) if args.state_dir else None
    quobrina, sink_binary, cert, key = build(program=not args.quobrina)
    global SINK_TLS
    SINK_TLS = (cert, key)
    if args.realtime:
        # After the build, which would take the machine from everyone else; everything
        # started from here on inherits it.
        try:
            os.sched_setscheduler(0, os.SCHED_RR, os.sched_param(1))
        except PermissionError:
            sys.exit("--realtime needs root (or CAP_SYS_NICE)")
    if args.quobrina:
        quobrina = os.path.abspath(args.quobrina)
    work = tempfile.mkdtemp(prefix="quobrina-bench-", dir=os.environ.get("BENCH_DIR", "/tmp"))
    sinks = {"http": Sink(sink_binary), "https": Sink(sink_binary, (cert, key))}
    if "many" in args.only.split(","):
        sinks["http-da"] = Sink(sink_binary, delay_ack=True)
        sinks["https-da"] = Sink(sink_binary, (cert, key), delay_ack=True)
    try:
        only = args.only.split(",")
        if "big" in only:
            bench_big(args, quobrina, sinks, work)
        if "many" in only:
            bench_many(args, quobrina, sinks, work)
        if "step" in only:
            bench_step(args, quobrina, work)
        if "ledger" in only:
            bench_ledger(args, quobrina, sinks, work)
        if "folder" in only:
            bench_folder(args, quobrina, sinks, work)
        if "latency" in only:
            bench_latency(args, quobrina, sink_binary, (cert, key), work)
        if "parallel" in only:
            bench_parallel(args, quobrina, sink_binary, (cert, key), work)
    finally:
        for sink in sinks.values():
            sink.stop()
        shutil.rmtree(work, ignore_errors=True)
        if STATE_DIR:
            shutil.rmtree(STATE_DIR, ignore_errors=True)


if __name__ == "__main__":
    main()
