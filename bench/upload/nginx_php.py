#!/usr/bin/env python3
"""The receiver most users run, through a wide-area path: nginx in front of PHP-FPM with a
script that stores the file and answers with a plain echo, whose length nginx cannot
tell. An HTTP/1.0 answer of unknown length can only end with the connection, so
quobrina's default requests cost a connection per file there; with HttpVersion 1.1 nginx
chunks the answer and keeps the connection.

Side by side in one run, each through its own path emulator (latency_proxy.py, as in
run.py's latency case) to the same nginx (run.py's, with the real-server tests'
configuration and store.php): quobrina with HttpVersion 1.1, quobrina with its default
(1.0), and curl keeping one connection for all files (`curl -K` with `next`, `Expect:`
removed). Files per second, medians of --runs runs, the ratios to curl, and the
connections each made (from nginx's log, where the query's "client" tells them apart).

    bench/upload/nginx_php.py [--rtt-ms 50] [--files 100] [--size 4096] [--runs 3] [--quobrina BINARY]

Needs nginx and php-fpm (scripts/setup installs them); runs as root or as the user that
owns the work folder. Everything listens on 127.0.0.1 and is stopped at the end.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  the shared pieces: build, Proxy, timed, curl configurations

WHO = ("quobrina 1.1", "quobrina 1.0", "curl one")


# nginx logs a request once it is done with it, which may be after its client ended: the
# log is read or cleared only after this pause.
LOG_SETTLES = 0.5


def clear_log(servers):
    time.sleep(LOG_SETTLES)
    open(os.path.join(servers.dir, "access.log"), "w").close()


def connections(servers):
    """Per client (the query's "client"): the connections of nginx's log, and the versions
    of the request lines."""
    time.sleep(LOG_SETTLES)
    seen = {}
    with open(os.path.join(servers.dir, "access.log")) as f:
        for line in f:
            _, connection, version, client = line.split()
            entry = seen.setdefault(client, (set(), set()))
            entry[0].add(connection)
            entry[1].add(version)
    return seen


def quobrina_command(quobrina, work, folder, url, version):
    def command():
        state = os.path.join(work, f"state-{version}")
        shutil.rmtree(state, ignore_errors=True)
        config = os.path.join(work, f"upload-{version}.xml")
        element = f"<HttpVersion>{version}</HttpVersion>" if version != "1.0" else ""
        with open(config, "w") as f:
            f.write(f"<c><configData><SourceFolder>{folder}</SourceFolder><ConfigFolder>{state}</ConfigFolder>"
                    f"<UploadServer><UploadAT>{url.replace('&', '&amp;')}</UploadAT>{element}</UploadServer>"
                    f"</configData></c>")
        return [quobrina, f"-configFile={config}"]
    return command


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rtt-ms", type=int, default=50)
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quobrina", help="the program to measure instead of a release build of this tree")
    args = parser.parse_args()

    quobrina = run.build(program=not args.quobrina)[0]
    quobrina = os.path.abspath(args.quobrina) if args.quobrina else quobrina
    work = tempfile.mkdtemp(prefix="quobrina-nginx-bench-")
    servers = run.NginxPhp(work, 4)
    proxies = {}
    try:
        folder = os.path.join(work, "files")
        paths = run.make_folder(folder, args.files, args.size)
        tags = {who: who.replace(" ", "-").replace(".", "") for who in WHO}
        for who in WHO:
            proxies[who] = run.Proxy(types.SimpleNamespace(port=servers.ports["HTTP"], scheme="http"), args.rtt_ms)
        urls = {who: proxies[who].url.replace("/upload", f"/store.php?answer=echo&client={tags[who]}") for who in WHO}
        curl = run.write_curl_config(os.path.join(work, "curl-one.cfg"), urls["curl one"], paths,
                                     ['header = "Expect:"'])
        commands = {"quobrina 1.1": quobrina_command(quobrina, work, folder, urls["quobrina 1.1"], "1.1"),
                    "quobrina 1.0": quobrina_command(quobrina, work, folder, urls["quobrina 1.0"], "1.0"),
                    "curl one": ["curl", "-s", "-o", "/dev/null", "-K", curl]}
        rates = {who: [] for who in WHO}
        for _ in range(args.runs):
            clear_log(servers)
            now = {who: command() if callable(command) else command for who, command in commands.items()}
            walls = run.run_side_by_side(now, 600)
            for who, wall in walls.items():
                rates[who].append(args.files / wall)
            seen = connections(servers)
        medians = {who: statistics.median(r) for who, r in rates.items()}
        print(f"\n== {args.files} files of {args.size} bytes to nginx + PHP-FPM (a plain echo answer) through the"
              f" path emulator, {args.rtt_ms} ms round trip, 100 Mbit/s, side by side; files per second, medians"
              f" of {args.runs} runs; connections and request versions of the last run from nginx's log")
        print(f"{'client':14} {'files/s':>8} {'/ curl one':>10} {'connections':>12}  requests")
        for who in WHO:
            made, versions = seen.get(tags[who], (set(), set()))
            print(f"{who:14} {medians[who]:8.1f} {medians[who] / medians['curl one']:10.2f} {len(made):12}"
                  f"  {', '.join(sorted(versions))}")
    finally:
        for proxy in proxies.values():
            proxy.stop()
        servers.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
