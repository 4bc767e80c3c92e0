#!/usr/bin/env python3
"""The receiver most users run, through a wide-area path: nginx in front of PHP-FPM with a
script that stores the file and answers with a plain echo, whose length nginx cannot
tell. An HTTP/1.0 answer of unknown length can only end with the connection, so
quobrina's default requests cost a connection per file there; with HttpVersion 1.1 nginx
chunks the answer and keeps the connection.

Side by side in one run, each through its own path emulator (latency_proxy.py, as in
run.py's latency case) to its own port of the same nginx: quobrina with HttpVersion 1.1,
quobrina with its default (1.0), and curl keeping one connection for all files (`curl -K`
with `next`, `Expect:` removed). Files per second, medians of --runs runs, the ratios to
curl, and the connections each made (from nginx's log).

    bench/upload/nginx_php.py [--rtt-ms 50] [--files 100] [--size 4096] [--runs 3] [--quobrina BINARY]

Needs nginx and php-fpm (scripts/setup installs them); runs as root or as the user that
owns the work folder. Everything listens on 127.0.0.1 and is stopped at the end.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  the shared pieces: build, Proxy, timed, curl configurations

STORE_PHP = os.path.join(run.ROOT, "tests", "e2e", "servers", "store.php")
WHO = ("quobrina 1.1", "quobrina 1.0", "curl one")

NGINX_CONF = """
{user}
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/nginx-error.log warn;
events {{ worker_connections 256; }}
http {{
  log_format connections '$server_port $connection $server_protocol';
  access_log {dir}/access.log connections;
  client_body_temp_path {dir}/body;
  fastcgi_temp_path {dir}/fastcgi;
  proxy_temp_path {dir}/proxy;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  {servers}
}}
"""
SERVER = """
  server {{
    listen 127.0.0.1:{port};
    location / {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {script};
      fastcgi_param QB_STORE {dir}/files;
      fastcgi_pass unix:{dir}/php-fpm.sock;
    }}
  }}
"""
PHP_FPM_CONF = """
[global]
error_log = {dir}/php-fpm-error.log
[store]
{user}
listen = {dir}/php-fpm.sock
pm = static
pm.max_children = 4
"""


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def php_fpm():
    for name in sorted(os.listdir("/usr/sbin")):
        if name.startswith("php-fpm"):
            return os.path.join("/usr/sbin", name)
    raise SystemExit("php-fpm is not installed (scripts/setup installs it)")


class NginxPhp:
    """nginx and PHP-FPM in a folder of their own, one nginx port per client."""

    def __init__(self, folder, clients):
        if not shutil.which("nginx") and not os.path.exists("/usr/sbin/nginx"):
            raise SystemExit("nginx is not installed (scripts/setup installs it)")
        self.dir = folder
        for sub in ("files", "body"):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        root = os.geteuid() == 0
        self.ports = {who: free_port() for who in clients}
        servers = "".join(SERVER.format(port=port, script=STORE_PHP, dir=folder) for port in self.ports.values())
        with open(os.path.join(folder, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(user="user root root;" if root else "", dir=folder, servers=servers))
        with open(os.path.join(folder, "php-fpm.conf"), "w") as f:
            f.write(PHP_FPM_CONF.format(user="user = root\ngroup = root" if root else "", dir=folder))
        log = open(os.path.join(folder, "servers.log"), "w")
        self.processes = [
            subprocess.Popen([php_fpm(), "-F", "-y", os.path.join(folder, "php-fpm.conf")] + (["-R"] if root else []),
                             stdout=log, stderr=log),
            subprocess.Popen(["/usr/sbin/nginx", "-e", os.path.join(folder, "nginx-error.log"), "-c",
                              os.path.join(folder, "nginx.conf"), "-g", "daemon off;"], stdout=log, stderr=log)]
        deadline = time.monotonic() + 20
        while not (os.path.exists(os.path.join(folder, "php-fpm.sock")) and all(map(self.accepts, self.ports.values()))):
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.processes):
                self.stop()
                raise SystemExit("nginx and PHP-FPM did not start; see " + os.path.join(folder, "servers.log"))
            time.sleep(0.05)

    @staticmethod
    def accepts(port):
        import socket
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def connections(self):
        """Per port: the connections of the log, and the versions of the request lines."""
        seen = {}
        with open(os.path.join(self.dir, "access.log")) as f:
            for line in f:
                port, connection, version = line.split()
                entry = seen.setdefault(int(port), (set(), set()))
                entry[0].add(connection)
                entry[1].add(version)
        return seen

    def clear_log(self):
        # nginx logs a request once it is done with it, which may be after its client ended.
        time.sleep(0.5)
        open(os.path.join(self.dir, "access.log"), "w").close()

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def quobrina_command(quobrina, work, folder, url, version):
    def command():
        state = os.path.join(work, f"state-{version}")
        shutil.rmtree(state, ignore_errors=True)
        config = os.path.join(work, f"upload-{version}.xml")
        element = f"<HttpVersion>{version}</HttpVersion>" if version != "1.0" else ""
        with open(config, "w") as f:
            f.write(f"<c><configData><SourceFolder>{folder}</SourceFolder><ConfigFolder>{state}</ConfigFolder>"
                    f"<UploadServer><UploadAT>{url}</UploadAT>{element}</UploadServer></configData></c>")
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
    servers = NginxPhp(os.path.join(work, "servers"), WHO)
    proxies = {}
    try:
        folder = os.path.join(work, "files")
        paths = run.make_folder(folder, args.files, args.size)
        for who, port in servers.ports.items():
            proxies[who] = run.Proxy(types.SimpleNamespace(port=port, scheme="http"), args.rtt_ms)
        urls = {who: proxies[who].url.replace("/upload", "/store.php?answer=echo") for who in WHO}
        curl = run.write_curl_config(os.path.join(work, "curl-one.cfg"), urls["curl one"], paths,
                                     ['header = "Expect:"'])
        commands = {"quobrina 1.1": quobrina_command(quobrina, work, folder, urls["quobrina 1.1"], "1.1"),
                    "quobrina 1.0": quobrina_command(quobrina, work, folder, urls["quobrina 1.0"], "1.0"),
                    "curl one": ["curl", "-s", "-o", "/dev/null", "-K", curl]}
        rates = {who: [] for who in WHO}
        for _ in range(args.runs):
            servers.clear_log()
            now = {who: command() if callable(command) else command for who, command in commands.items()}
            walls = run.run_side_by_side(now, 600)
            for who, wall in walls.items():
                rates[who].append(args.files / wall)
            seen = servers.connections()
        medians = {who: statistics.median(r) for who, r in rates.items()}
        print(f"\n== {args.files} files of {args.size} bytes to nginx + PHP-FPM (a plain echo answer) through the"
              f" path emulator, {args.rtt_ms} ms round trip, 100 Mbit/s, side by side; files per second, medians"
              f" of {args.runs} runs; connections and request versions of the last run from nginx's log")
        print(f"{'client':14} {'files/s':>8} {'/ curl one':>10} {'connections':>12}  requests")
        for who in WHO:
            connections, versions = seen.get(servers.ports[who], (set(), set()))
            print(f"{who:14} {medians[who]:8.1f} {medians[who] / medians['curl one']:10.2f} {len(connections):12}"
                  f"  {', '.join(sorted(versions))}")
    finally:
        for proxy in proxies.values():
            proxy.stop()
        servers.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
