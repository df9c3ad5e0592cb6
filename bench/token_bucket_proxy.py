#!/usr/bin/env python3
"""TCP proxy for bench/compare.sh: forwards each listening port on 127.0.0.1 to its target and
limits everything the targets send back to the clients, all connections together, to one rate
(a token bucket shared by every connection of every port). Counts those bytes and the
connections.

  token_bucket_proxy.py --rate BYTES_PER_S --control PORT --listen PORT=HOST:PORT [...]

A rate of 0 forwards without limit. A connection to the control port is answered with one line
"<bytes sent to clients> <connections>" and closed.
"""

import argparse
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


def pump(source, sink, bucket, counters):
    try:
        while True:
            data = source.recv(CHUNK)
            if not data:
                break
            if bucket:
                bucket.take(len(data))
                counters.add(sent=len(data))
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(port, target, bucket, counters):
    listener = socket.create_server(("127.0.0.1", port))
    while True:
        client, _ = listener.accept()
        upstream = socket.create_connection(target)
        for s in (client, upstream):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        counters.add(connections=1)
        threading.Thread(target=pump, args=(client, upstream, None, counters), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, bucket, counters), daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rate", type=int, required=True)
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--listen", action="append", required=True)
    args = parser.parse_args()
    bucket, counters = Bucket(args.rate), Counters()
    for item in args.listen:
        port, target = item.split("=")
        host, target_port = target.rsplit(":", 1)
        threading.Thread(target=serve, args=(int(port), (host, int(target_port)), bucket, counters),
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
