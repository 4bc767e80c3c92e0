#!/usr/bin/env python3
"""A loopback TCP proxy that puts a wide-area path between a client and a server.

The kernel's traffic shaper is not always there, so the path is made in user space:
every connection accepted on 127.0.0.1 is relayed to --to PORT on 127.0.0.1, and each
direction goes through a model of one sender and one link:

  round trip   each byte arrives half a round trip after it left; the client's first
               byte leaves only one round trip after its connect (the TCP handshake)
  bandwidth    bytes leave one after another at --mbit (payload bytes; 0: no limit)
  slow start   the sender keeps at most a congestion window in flight: --initial-window
               segments of --mss bytes, growing by every acknowledged byte (doubling per
               round trip, no loss), and shrinking back after an idle of a retransmission
               timeout (round trip + 200 ms) as a Linux sender does; 0 turns it off

An acknowledgement returns a full round trip after its segment left the link. The
connection's end (and a reset) travels behind its data. The proxy reads ahead at most
4 MiB per direction, so that a stalled receiver holds the sender back.

What it does not model: loss, headers (the rate is of payload), the receiver's window,
and the ACKs the client's own kernel sees: those come from the proxy at once over the
loopback, so a client whose small writes wait for an ACK (Nagle's algorithm) pays
nothing here where a real path would cost it a round trip. Every wake-up of the proxy
is late by what the machine's other work makes it wait for a processor; on a busy
machine run it at real-time priority (chrt -r 1) so that it stays within a fraction of
a millisecond.

    latency_proxy.py --to PORT [--rtt-ms 20] [--mbit 100] [--initial-window 10]
                     [--port-file FILE] [--time-limit 600]

With --port-file it writes the port it listens on there (by rename, so that the file
appears whole). It stops by itself after --time-limit seconds, or when killed.
"""
import argparse
import asyncio
import collections
import os
import selectors
import socket
import sys

READ_SIZE = 256 * 1024
READ_AHEAD = 4 << 20
# A burst of segments is handed on at most this late, so that a link at full rate costs
# one wake-up per millisecond instead of one per segment; the last segment queued is
# always handed on at its own time, so a request or an answer is never early or late.
BATCH = 0.001
RTO_MIN = 0.2
EOF, RESET = object(), object()
# The event loop holds its tasks weakly; a task that waits on an event of its own
# connection is reachable from nothing else and would be collected half-way.
RUNNING = set()


def keep(task):
    RUNNING.add(task)
    task.add_done_callback(RUNNING.discard)
    return task


class Link:
    """One direction of the path: returns when each segment handed over arrives."""

    def __init__(self, options, not_before):
        self.rtt = options.rtt_ms / 1000
        self.byte_time = 8 / (options.mbit * 1e6) if options.mbit > 0 else 0.0
        self.mss = options.mss
        self.initial = options.initial_window * options.mss  # 0: no congestion window
        self.cwnd = self.initial
        self.link_free = not_before
        self.last_sent = not_before
        self.unacked = collections.deque()  # (time the acknowledgement is back, bytes)
        self.in_flight = 0

    def segment(self, now, size):
        start = max(now, self.link_free)
        if self.initial:
            self._acknowledge(start)
            if not self.in_flight and start - self.last_sent > self.rtt + RTO_MIN:
                # Linux halves the window for every timeout of idle, down to the initial one.
                idle, restart = start - self.last_sent, min(self.initial, self.cwnd)
                while idle > self.rtt + RTO_MIN and self.cwnd > restart:
                    self.cwnd //= 2
                    idle -= self.rtt + RTO_MIN
                self.cwnd = max(self.cwnd, restart)
            while self.in_flight + size > self.cwnd and self.unacked:
                start = max(start, self.unacked[0][0])
                self._acknowledge(start)
        end = start + size * self.byte_time
        self.link_free = end
        self.last_sent = start
        if self.initial:
            self.unacked.append((end + self.rtt, size))
            self.in_flight += size
        return end + self.rtt / 2

    def _acknowledge(self, moment):
        while self.unacked and self.unacked[0][0] <= moment:
            acked = self.unacked.popleft()[1]
            self.in_flight -= acked
            self.cwnd += acked  # slow start without loss: doubles every round trip

    def end(self, now):
        """When the end of the stream (FIN or reset), sent now behind the data, arrives."""
        return max(now, self.link_free) + self.rtt / 2


def model_exchanges(options, request, answer, count):
    """What the path should cost: the seconds from a client's connect to the end of each of
    `count` answers of `answer` bytes to requests of `request` bytes, one after another on
    one connection (the first includes the handshake)."""
    up, down = (Link(options, options.rtt_ms / 1000) for _ in range(2))
    now, times = 0.0, []
    for _ in range(count):
        start = now
        arrived = max(up.segment(now, min(options.mss, request - at)) for at in range(0, request, options.mss))
        now = max(down.segment(arrived, min(options.mss, answer - at)) for at in range(0, answer, options.mss))
        times.append(now - start)
    return times


class Direction:
    """Relays one direction of a connection through its Link."""

    def __init__(self, reader, writer, link):
        self.reader, self.writer, self.link = reader, writer, link
        self.queue = collections.deque()  # (arrival time, bytes or EOF or RESET)
        self.queued = 0
        self.arrived = asyncio.Event()
        self.drained = asyncio.Event()

    async def read(self):
        loop = asyncio.get_running_loop()
        while True:
            try:
                data = await self.reader.read(READ_SIZE)
            except (ConnectionError, OSError):
                self.queue.append((self.link.end(loop.time()), RESET))
                self.arrived.set()
                return
            now = loop.time()
            if not data:
                self.queue.append((self.link.end(now), EOF))
                self.arrived.set()
                return
            view = memoryview(data)
            for at in range(0, len(view), self.link.mss):
                piece = view[at:at + self.link.mss]
                self.queue.append((self.link.segment(now, len(piece)), piece))
            self.queued += len(data)
            self.arrived.set()
            while self.queued > READ_AHEAD:
                self.drained.clear()
                await self.drained.wait()

    async def write(self):
        loop = asyncio.get_running_loop()
        while True:
            while not self.queue:
                self.arrived.clear()
                await self.arrived.wait()
            wake = min(self.queue[0][0] + BATCH, self.queue[-1][0])
            if wake > loop.time():
                await asyncio.sleep(wake - loop.time())
            now = loop.time()
            parts, final = [], None
            while self.queue and self.queue[0][0] <= now:
                item = self.queue.popleft()[1]
                if item is EOF or item is RESET:
                    final = item
                    break
                parts.append(item)
            if parts:
                data = b"".join(parts)
                self.queued -= len(data)
                self.drained.set()
                self.writer.write(data)
                await self.writer.drain()
            if final is EOF:
                if self.writer.can_write_eof():
                    self.writer.write_eof()
                return
            if final is RESET:
                self.writer.transport.abort()
                return


async def relay(options, client_reader, client_writer):
    loop = asyncio.get_running_loop()
    accepted = loop.time()
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", options.to)
    except OSError:
        client_writer.transport.abort()
        return
    for writer in (client_writer, server_writer):
        writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    # The client's connect takes one round trip on the path; it got its socket at once
    # from the loopback, so nothing it sends leaves before then.
    upstream = Direction(client_reader, server_writer, Link(options, accepted + options.rtt_ms / 1000))
    downstream = Direction(server_reader, client_writer, Link(options, accepted + options.rtt_ms / 1000))
    tasks = [keep(asyncio.ensure_future(work())) for work in
             (upstream.read, upstream.write, downstream.read, downstream.write)]
    try:
        await asyncio.gather(*tasks)
    except (ConnectionError, OSError):
        pass
    finally:
        for task in tasks:
            task.cancel()
        for writer in (client_writer, server_writer):
            writer.transport.abort()


async def serve(options):
    server = await asyncio.start_server(lambda r, w: keep(asyncio.ensure_future(relay(options, r, w))),
                                        "127.0.0.1", 0, backlog=512)
    port = server.sockets[0].getsockname()[1]
    if options.port_file:
        with open(options.port_file + ".tmp", "w") as f:
            f.write(str(port))
        os.replace(options.port_file + ".tmp", options.port_file)
    async with server:
        try:
            await asyncio.wait_for(server.serve_forever(), options.time_limit)
        except asyncio.TimeoutError:
            print(f"latency_proxy: time limit of {options.time_limit} s reached", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--to", type=int, required=True, help="port on 127.0.0.1 to relay to")
    parser.add_argument("--rtt-ms", type=float, default=20)
    parser.add_argument("--mbit", type=float, default=100, help="bandwidth per direction; 0: no limit")
    parser.add_argument("--initial-window", type=int, default=10, help="segments; 0: no congestion window")
    parser.add_argument("--mss", type=int, default=1448)
    parser.add_argument("--port-file")
    parser.add_argument("--time-limit", type=float, default=600)
    options = parser.parse_args()
    # select() waits to the microsecond; epoll and poll round up to whole milliseconds,
    # which would lengthen every round trip by up to two of them.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        loop.run_until_complete(serve(options))
    finally:
        loop.close()


if __name__ == "__main__":
    main()
