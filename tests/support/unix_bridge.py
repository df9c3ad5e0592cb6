#!/usr/bin/env python3
"""Starts Linux programs for a Windows test binary running under Wine.

The Windows tests use the same Linux fixtures as the Linux ones (nginx, the fault server, the
Python game generators, zip and unzip, a shell). A Windows program cannot wait for or signal a
Linux process, so scripts/wine.sh starts this bridge beside each test binary, and the test
support code asks it to run, wait for and signal programs by their process id.

The bridge listens on 127.0.0.1 and writes its port to the port file. Each request is one line
of JSON that must carry the token given in the environment variable QMH_UNIX_BRIDGE_TOKEN; the
answer is one line, "ok N" or "error TEXT":
  {"op": "run", "argv": [...], "cwd": "/dir" or "", "env": {"NAME": "value"},
   "output": "/file" or ""}           starts a program (stdout and stderr appended to output, or
                                      discarded); N is its process id
  {"op": "wait", "pid": N, "seconds": S}
                                      N is the exit code, 128 + signal when a signal ended it,
                                      or -1 when the program still runs after S seconds
  {"op": "signal", "pid": N, "signal": SIG}   sends a signal to a program started here
The tests keep their files under Z:/tmp, Wine's name of /tmp: "Z:/" in the arguments, the
working directory, the environment values and the output path reads as "/". Programs still running when the bridge ends (SIGTERM from wine.sh) are killed.
"""

import json
import os
import re
import signal
import socketserver
import subprocess
import sys
import threading

TOKEN = os.environ.get("QMH_UNIX_BRIDGE_TOKEN", "")
_children = {}
_lock = threading.Lock()


def linux(text):
    """Wine's drive Z: is the Linux root."""
    return re.sub(r"(?i)(?<![A-Za-z0-9])z:/", "/", text)


def run(request):
    env = dict(os.environ)
    env.pop("QMH_UNIX_BRIDGE_TOKEN", None)
    env.update({name: linux(value) for name, value in (request.get("env") or {}).items()})
    output = linux(request.get("output") or os.devnull)
    with open(output, "ab") as out:
        child = subprocess.Popen([linux(arg) for arg in request["argv"]],
                                 cwd=linux(request.get("cwd") or "") or None, env=env,
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    with _lock:
        _children[child.pid] = child
    return child.pid


def child_of(request):
    with _lock:
        child = _children.get(request["pid"])
    if child is None:
        raise ValueError(f"no program {request['pid']} was started here")
    return child


def wait(request):
    child = child_of(request)
    try:
        code = child.wait(timeout=max(0.0, float(request.get("seconds", 0))))
    except subprocess.TimeoutExpired:
        return -1
    with _lock:
        _children.pop(child.pid, None)
    return 128 - code if code < 0 else code


def send_signal(request):
    child = child_of(request)
    if child.poll() is None:
        child.send_signal(int(request["signal"]))
    return 0


OPERATIONS = {"run": run, "wait": wait, "signal": send_signal}


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        for line in self.rfile:
            try:
                request = json.loads(line)
                if not TOKEN or request.get("token") != TOKEN:
                    raise PermissionError("wrong token")
                answer = "ok %d" % OPERATIONS[request["op"]](request)
            except Exception as error:  # the test sees the reason
                answer = "error " + " ".join(str(error).split())
            self.wfile.write((answer + "\n").encode())
            self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def stop_children(*_):
    with _lock:
        children = list(_children.values())
    for child in children:
        if child.poll() is None:
            child.kill()
    os._exit(0)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: unix_bridge.py PORT_FILE")
    signal.signal(signal.SIGTERM, stop_children)
    server = Server(("127.0.0.1", 0), Handler)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
