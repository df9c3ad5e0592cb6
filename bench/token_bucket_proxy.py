#!/usr/bin/env python3
"""TCP proxy for bench/compare.sh: a model of one shared link between clients and servers.
Forwards each listening port on 127.0.0.1 to its target, limits everything the targets send
back to the clients, all connections together, to one rate (a token bucket shared by every
connection of every port), and delays the bytes of both directions by half a round trip each.
Counts the bytes sent to clients and the connections.

  token_bucket_proxy.py --rate BYTES_PER_S [--rtt MS] --control PORT --listen PORT=HOST:PORT [...]

A rate of 0 forwards without limit. With a round trip of MS milliseconds a request reaches the
server MS/2 ms after the client sent it and the answer reaches the client MS/2 ms after it
passed the bucket; a new connection costs one round trip more before its first bytes go out
(the TCP handshake). A connection to the control port is answered with one line
"<bytes sent to clients> <connections>" and closed.
"""

import argparse
import collections
import socket
import threading
import time

CHUNK = 16384


class Bucket:
    """Tokens are bytes; they refill at `rate` per second up to `burst`."""

    def __init__(self, rate):
        self.rate = rate
        self.burst = max(CHUNK, rate // 50)  # at most 20 ms of traffic at once
        self.tokens = self.burst
        self.stamp = time.monotonic()
        self.lock = threading.Lock()

    def take(self, count):
        if self.rate <= 0:
            return
        while True:
            with self.lock:
                now = time.monotonic()
                self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
                self.stamp = now
                if self.tokens >= count:
                    self.tokens -= count
                    return
                wait = (count - self.tokens) / self.rate
            time.sleep(wait)


class Counters:
    def __init__(self):
        self.bytes = 0
        self.connections = 0
        self.lock = threading.Lock()

    def add(self, sent=0, connections=0):
        with self.lock:
            self.bytes += sent
            self.connections += connections


class DelayLine:
    """Sends what it is given to a socket `delay` seconds later, in order. The bytes in flight
    are at most what the bucket lets through during the delay."""

    def __init__(self, sink, delay):
        self.sink = sink
        self.delay = delay
        self.queue = collections.deque()
        self.cond = threading.Condition()
        threading.Thread(target=self.run, daemon=True).start()

    def put(self, data, extra=0.0):
        with self.cond:
            self.queue.append((time.monotonic() + self.delay + extra, data))
            self.cond.notify()

    def run(self):
        while True:
            with self.cond:
                while not self.queue:
                    self.cond.wait()
                due, data = self.queue.popleft()
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            try:
                if data is None:
                    self.sink.shutdown(socket.SHUT_WR)
                    return
                self.sink.sendall(data)
            except OSError:
                return


def pump(source, sink, bucket, counters, delay, handshake):
    line = DelayLine(sink, delay) if delay > 0 else None
    extra = handshake
    try:
        while True:
            data = source.recv(CHUNK)
            if not data:
                break
            if bucket:
                bucket.take(len(data))
                counters.add(sent=len(data))
            if line:
                line.put(data, extra)
                extra = 0.0
            else:
                sink.sendall(data)
    except OSError:
        pass
    finally:
        if line:
            line.put(None)
        else:
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass


def serve(port, target, bucket, counters, rtt):
    listener = socket.create_server(("127.0.0.1", port))
    while True:
        client, _ = listener.accept()
        upstream = socket.create_connection(target)
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        counters.add(connections=1)
        threading.Thread(target=pump, args=(client, upstream, None, counters, rtt / 2, rtt),
                         daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, bucket, counters, rtt / 2, 0.0),
                         daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rate", type=int, required=True)
    parser.add_argument("--rtt", type=float, default=0.0, help="round trip in milliseconds")
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--listen", action="append", required=True)
    args = parser.parse_args()
    bucket, counters = Bucket(args.rate), Counters()
    for item in args.listen:
        port, target = item.split("=")
        host, target_port = target.rsplit(":", 1)
        threading.Thread(target=serve,
                         args=(int(port), (host, int(target_port)), bucket, counters, args.rtt / 1000),
                         daemon=True).start()
    control = socket.create_server(("127.0.0.1", args.control))
    while True:
        conn, _ = control.accept()
        with counters.lock:
            line = "%d %d\n" % (counters.bytes, counters.connections)
        conn.sendall(line.encode())
        conn.close()


if __name__ == "__main__":
    main()
