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

    bench/upload/run.py [--runs 5] [--only big,many,step,ledger,folder] [--quobrina BINARY]

--quobrina runs another build of the program (an older one, say) in the same setting.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build-bench-upload")


def sh(*args, **kw):
    return subprocess.run(args, check=True, **kw)


def build():
    sh("cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DQUOBRINA_TESTS=OFF",
       stdout=subprocess.DEVNULL)
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


class Sink:
    def __init__(self, binary, tls=None, delay_ack=False):
        self.port_file = tempfile.mktemp(prefix="quobrina-sink-")
        args = [binary, "--port-file", self.port_file] + (["--tls", *tls] if tls else [])
        args += ["--delay-ack"] if delay_ack else []
        self.process = subprocess.Popen(args)
        while not os.path.exists(self.port_file):
            time.sleep(0.02)
        with open(self.port_file) as f:
            self.port = int(f.read())
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{self.port}/upload"

    def stop(self):
        self.process.kill()
        self.process.wait()
        os.remove(self.port_file)


def timed(args, cwd=None):
    """Runs a command; returns (wall seconds, peak resident KiB).

    The peak is taken by /usr/bin/time: Linux carries a process's peak across exec, so a
    child started from this interpreter would report the interpreter's own peak if it was
    higher (as it is after building a ledger of a million lines here)."""
    report = tempfile.mktemp(prefix="quobrina-rss-")
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report, *args], cwd=cwd,
                               stdout=subprocess.DEVNULL)
    status = process.wait()
    wall = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"{args[0]} failed with status {status}")
    with open(report) as f:
        peak = int(f.read().split()[-1])
    os.remove(report)
    return wall, peak


STATE_DIR = None  # where the configuration folder (the ledger) goes; --state-dir


def state_folder(work):
    return os.path.join(STATE_DIR or work, "state")


def write_config(work, source, url):
    state = state_folder(work)
    shutil.rmtree(state, ignore_errors=True)
    config = os.path.join(work, "upload.xml")
    with open(config, "w") as f:
        f.write(f"<c><configData><SourceFolder>{source}</SourceFolder><ConfigFolder>{state}</ConfigFolder>"
                f"<UploadServer><UploadAT>{url}</UploadAT></UploadServer></configData></c>")
    return config


def run_quobrina(quobrina, work, source, url):
    config = write_config(work, source, url)
    return timed([quobrina, f"-configFile={config}"])


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
        config_file = os.path.join(work, "curl.cfg")
        with open(config_file, "w") as f:
            for i, name in enumerate(names):
                if i:
                    f.write("next\n")
                f.write(f'url = "{sink.url}"\nform = "file=@{os.path.join(folder, name)}"\n'
                        'output = "/dev/null"\nsilent\ninsecure\n')
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--step-sizes", type=int, nargs="+", default=[10000, 20000, 40000])
    parser.add_argument("--ledger-sizes", type=int, nargs="+", default=[0, 10000, 100000, 1000000])
    parser.add_argument("--folder-files", type=int, default=100000)
    parser.add_argument("--only", default="big,many,step,ledger,folder")
    parser.add_argument("--quobrina", help="the program to measure instead of a release build of this tree")
    parser.add_argument("--state-dir", help="folder for the ledger (default: the work folder); /dev/shm shows the"
                        " cost without the disk's flush latency")
    args = parser.parse_args()
    if not os.path.exists("/usr/bin/time"):
        sys.exit("bench/upload/run.py measures peak memory with /usr/bin/time: apt-get install time")
    global STATE_DIR
    STATE_DIR = tempfile.mkdtemp(prefix="quobrina-state-", dir=args.state_dir) if args.state_dir else None
    quobrina, sink_binary, cert, key = build()
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
    finally:
        for sink in sinks.values():
            sink.stop()
        shutil.rmtree(work, ignore_errors=True)
        if STATE_DIR:
            shutil.rmtree(STATE_DIR, ignore_errors=True)


if __name__ == "__main__":
    main()
