#!/usr/bin/python3
# Stands in for ssh in the forwarding tests. Reads the options the client
# passes, appends "<pid> stdin=<what fd 0 is> <arguments>" to $FAKE_SSH_LOG,
# then acts by the destination's name:
#   ...unreachable...  never answers (no sockets); with $FAKE_SSH_START_DELAY
#                      it first waits that many seconds, as an ssh slow to
#                      start on a loaded machine, whose record may then never
#                      be written
#   ...refused...      fails as ssh does when nobody listens on port 22
#   anything else      listens on each -L local socket and relays every
#                      connection to the remote path, as ssh's forwarding does
import os
import signal
import socket
import sys
import threading
import time


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        source.close()
        sink.close()


def relay(listener, remote):
    while True:
        client, _ = listener.accept()
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            server.connect(remote)
        except OSError:
            client.close()  # as ssh does when the channel cannot be opened
            continue
        threading.Thread(target=pump, args=(client, server), daemon=True).start()
        threading.Thread(target=pump, args=(server, client), daemon=True).start()


def main():
    args = sys.argv[1:]
    forwards = []
    destination = ""
    i = 0
    while i < len(args):
        if args[i] == "--":
            destination = args[i + 1]
            break
        if args[i] == "-L":
            local, remote = args[i + 1].split(":", 1)
            forwards.append((local, remote))
        i += 2 if args[i] in ("-L", "-o", "-F") else 1
    if "unreachable" in destination:
        time.sleep(float(os.environ.get("FAKE_SSH_START_DELAY", "0")))
    log = os.environ.get("FAKE_SSH_LOG")
    if log:
        with open(log, "a") as f:
            f.write("%d stdin=%s %s\n" % (os.getpid(), os.readlink("/proc/self/fd/0"), " ".join(args)))
    if "unreachable" in destination:
        while True:
            signal.pause()
    if "refused" in destination:
        sys.stderr.write("ssh: connect to host %s port 22: Connection refused\n" % destination)
        return 255
    for local, remote in forwards:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(local)
        listener.listen(16)
        threading.Thread(target=relay, args=(listener, remote), daemon=True).start()
    while True:
        signal.pause()


sys.exit(main())
