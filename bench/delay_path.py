#!/usr/bin/python3
"""The pieces of a network path with a provider's delay, for bench/run.py.

    delay_path.py delay MS TARGET_PORT
        A forwarding proxy on 127.0.0.1 that holds every byte MS milliseconds
        in each direction before passing it on (the kernel's netem is not
        available on these machines).
    delay_path.py stage CERT KEY SINK_PORT
        The submission server's front: greeting, EHLO (PIPELINING, STARTTLS;
        after the handshake PIPELINING and AUTH PLAIN LOGIN), STARTTLS, any
        login accepted; then it says EHLO to the sink (Postfix's smtp-sink)
        and passes everything on both ways, so that the sink answers every
        mail transaction.

Each prints "port N" once it listens (the kernel's choice) and serves until
it is killed.
"""
import queue
import select
import socket
import ssl
import sys
import threading
import time


def listen():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    print("port", s.getsockname()[1], flush=True)
    return s


def connect(port):
    c = socket.create_connection(("127.0.0.1", port))
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return c


def hold(src, dst, delay):
    """Bytes from src reach dst delay seconds after they arrived: one thread
    reads and stamps, one sleeps until each stamp and writes."""
    q = queue.Queue()

    def reader():
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            q.put((time.monotonic() + delay, data))
            if not data:
                return

    def writer():
        while True:
            due, data = q.get()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if not data:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            try:
                dst.sendall(data)
            except OSError:
                return

    threading.Thread(target=reader, daemon=True).start()
    threading.Thread(target=writer, daemon=True).start()


def delay_main(ms, target):
    server = listen()
    while True:
        client, _ = server.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        upstream = connect(target)
        hold(client, upstream, ms / 1000)
        hold(upstream, client, ms / 1000)


class Lines:
    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def line(self):
        while b"\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return line.rstrip(b"\r")


def read_reply(lines):
    while True:
        line = lines.line()
        if len(line) < 4 or line[3:4] != b"-":
            return line


def front(client, context, sink_port):
    lines = Lines(client)
    client.sendall(b"220 stage.example ESMTP\r\n")
    tls = False
    while True:
        words = lines.line().split()
        verb = words[0].upper() if words else b""
        if verb in (b"EHLO", b"HELO"):
            offer = b"250-AUTH PLAIN LOGIN\r\n" if tls else b"250-STARTTLS\r\n"
            client.sendall(b"250-stage.example\r\n" + offer + b"250 PIPELINING\r\n")
        elif verb == b"STARTTLS" and not tls:
            client.sendall(b"220 ready\r\n")
            client = context.wrap_socket(client, server_side=True)
            lines, tls = Lines(client), True
        elif verb == b"AUTH" and tls:
            if words[1].upper() == b"LOGIN":
                for prompt in (b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n"):
                    client.sendall(prompt)
                    lines.line()
            elif len(words) < 3:
                client.sendall(b"334 \r\n")
                lines.line()
            client.sendall(b"235 2.7.0 accepted\r\n")
            break
        elif verb == b"QUIT":
            client.sendall(b"221 bye\r\n")
            return
        else:
            client.sendall(b"503 5.5.1 log in first\r\n")
    sink = connect(sink_port)
    sink_lines = Lines(sink)
    read_reply(sink_lines)
    sink.sendall(b"EHLO stage.example\r\n")
    read_reply(sink_lines)
    pending = [lines.buf, sink_lines.buf]
    if pending[0]:
        sink.sendall(pending[0])
    if pending[1]:
        client.sendall(pending[1])
    while True:
        # Bytes the TLS layer has decrypted already wake no select.
        ready = [client] if client.pending() else select.select([client, sink], [], [])[0]
        if client in ready:
            data = client.recv(65536)
            if not data:
                return
            sink.sendall(data)
        if sink in ready:
            data = sink.recv(65536)
            if not data:
                return
            client.sendall(data)


def stage_main(cert, key, sink_port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = listen()
    while True:
        client, _ = server.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=lambda c=client: serve_front(c, context, sink_port), daemon=True).start()


def serve_front(client, context, sink_port):
    try:
        front(client, context, sink_port)
    except (EOFError, OSError):
        pass
    finally:
        client.close()


if __name__ == "__main__":
    if sys.argv[1:2] == ["delay"]:
        delay_main(float(sys.argv[2]), int(sys.argv[3]))
    elif sys.argv[1:2] == ["stage"]:
        stage_main(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(__doc__)
