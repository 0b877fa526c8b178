#!/usr/bin/env python3
"""A TCP proxy that makes loopback look like a real line: every byte is delivered half a
round trip after it was sent, each new connection costs one round trip before it
carries data (the handshake), and the server-to-client direction can be held to a
bandwidth shared by all connections (one line).

    latency_proxy.py LISTEN_PORT TARGET_PORT RTT_MS [MBIT_PER_S]
"""
import asyncio
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


async def pipe(reader, writer, delay, line):
    """Copies reader to writer, each chunk delivered `delay` seconds (and the line's
    queue) after it was read."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    task = asyncio.ensure_future(deliver())
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
    except (ConnectionError, OSError):
        task.cancel()
    finally:
        writer.close()


async def main():
    listen_port, target_port, rtt_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    mbit = float(sys.argv[4]) if len(sys.argv) > 4 else 0
    half = rtt_ms / 2000
    line = Line(mbit)

    async def handle(client_reader, client_writer):
        await asyncio.sleep(2 * half)  # the handshake's round trip
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, half, None),
                             pipe(server_reader, client_writer, half, line),
                             return_exceptions=True)

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=256)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
