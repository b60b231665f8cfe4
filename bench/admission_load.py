#!/usr/bin/env python3
"""Native (Linux) load for bench/admission.sh, running until it is sent SIGTERM.

flood <port>: connects to 127.0.0.1:<port> and closes, one connection after another, as fast as
it can; on SIGTERM prints the number of connections that got through and the seconds it ran.
resets <port>: as flood, but every other connection is closed with a reset (SO_LINGER 0) right
after its connect, while it still waits in the Helper's backlog; prints as flood.
hold <count>: opens <count> loopback connections to a listener of its own (accepted by a child
process, so that neither process needs more than <count> descriptors) and holds them; prints
"ready" once all are open.
"""
import os
import resource
import signal
import socket
import struct
import sys
import time

stop = False


def on_term(*_):
    global stop
    stop = True


def flood(port, resets=False):
    signal.signal(signal.SIGTERM, on_term)
    done = 0
    started = time.monotonic()
    while not stop:
        s = socket.socket()
        s.settimeout(5)
        try:
            s.connect(("127.0.0.1", port))
            done += 1
            if resets and done % 2 == 0:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        finally:
            s.close()
    print(done, time.monotonic() - started, flush=True)


def resets(port):
    flood(port, resets=True)


def hold(count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4096)
    port = listener.getsockname()[1]
    child = os.fork()
    if child == 0:  # accepts and holds the server ends until its parent ends it
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        held = [listener.accept()[0] for _ in range(count)]
        signal.pause()
        os._exit(len(held) and 0)
    listener.close()
    signal.signal(signal.SIGTERM, on_term)
    held = []
    for _ in range(count):
        s = socket.socket()
        s.connect(("127.0.0.1", port))
        held.append(s)
    print("ready", flush=True)
    while not stop:
        signal.pause()
    os.kill(child, signal.SIGTERM)
    os.waitpid(child, 0)


if __name__ == "__main__":
    {"flood": flood, "resets": resets, "hold": hold}[sys.argv[1]](int(sys.argv[2]))
