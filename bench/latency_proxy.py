#!/usr/bin/env python3
"""A TCP proxy that makes loopback look like a real line: every byte is delivered half a
round trip after it was sent, each new connection costs one round trip before it
carries data (the handshake), and the server-to-client direction can be held to a
bandwidth shared by all connections (one line). With RESET_MB each connection is reset
once it has carried that many megabytes to the client (a flaky link).

    latency_proxy.py LISTEN_PORT TARGET_PORT RTT_MS [MBIT_PER_S [RESET_MB]]
"""
import asyncio
import socket
import struct
import sys
import time


class Line:
    """The downstream bandwidth, shared by every connection."""

    def __init__(self, mbit):
        self.bytes_per_s = mbit * 1e6 / 8 if mbit else 0
        self.free_at = 0.0

    def send_time(self, now, n):
        if not self.bytes_per_s:
            return now
        self.free_at = max(self.free_at, now) + n / self.bytes_per_s
        return self.free_at


class Reset(Exception):
    """The link broke: the connection is reset, both ways."""


def reset(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def pipe(reader, writer, delay, line, budget=None, on_reset=None):
    """Copies reader to writer, each chunk delivered `delay` seconds (and the line's
    queue) after it was read; with a budget (a one-item list of bytes left), the
    connection is reset when the budget is spent, and on_reset called. At most 512 KiB
    wait on the way (a line holds what its rate times its delay allows, not a whole
    file)."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(maxsize=8)

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            if budget is not None:
                if len(data) >= budget[0]:
                    writer.write(data[:budget[0]])
                    raise Reset()
                budget[0] -= len(data)
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    task = asyncio.ensure_future(deliver())
    me = asyncio.current_task()

    def on_done(t):
        if not t.cancelled() and isinstance(t.exception(), Reset):
            reset(writer)
            if on_reset:
                on_reset()
            me.cancel()  # the reading side may wait on a full queue nobody empties now
    task.add_done_callback(on_done)
    try:
        while True:
            data = await reader.read(65536)
            now = loop.time()
            if not data:
                await queue.put((now + delay, None))
                break
            due = now + delay
            if line is not None:
                due = max(due, line.send_time(now, len(data)) + delay)
            await queue.put((due, data))
        await task
    except (ConnectionError, OSError, Reset, asyncio.CancelledError):
        task.cancel()
    finally:
        writer.close()


async def main():
    listen_port, target_port, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    mbit = float(sys.argv[4]) if len(sys.argv) > 4 else 0
    reset_bytes = int(float(sys.argv[5]) * 1e6) if len(sys.argv) > 5 else 0
    half = rtt_ms / 2000
    line = Line(mbit)

    async def handle(client_reader, client_writer):
        await asyncio.sleep(2 * half)  # the handshake's round trip
        try:
            # A small receive buffer: the server's bytes wait at the server, as behind a
            # slow line, not in this end's buffers.
            upstream = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 128 * 1024)
            upstream.setblocking(False)
            await asyncio.get_running_loop().sock_connect(upstream, ("127.0.0.1", target_port))
            server_reader, server_writer = await asyncio.open_connection(sock=upstream)
        except OSError:
            client_writer.close()
            return
        budget = [reset_bytes] if reset_bytes else None
        # The server's side ends with the link: what it has not sent yet, it never sends.
        await asyncio.gather(pipe(client_reader, server_writer, half, None),
                             pipe(server_reader, client_writer, half, line, budget,
                                  lambda: reset(server_writer)),
                             return_exceptions=True)

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=256)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
