#!/usr/bin/env python3
"""A TCP proxy on loopback that makes a link slow or frozen on command, to
imitate a real network: every byte is delayed, or held, per direction, and
always delivered in order.

    kolvaro-delay-proxy LISTEN_PORT TARGET_PORT

Prints "listening PORT" once ready. Commands on standard input, each answered
"ok": delay up|down|both MS, hold up|down|both, release up|down|both, drop
(closes every connection). "up" is what the connecting side sends, "down"
what the target answers.
"""

import asyncio
import sys

DIRS = ("up", "down")
delay = {d: 0.0 for d in DIRS}
released = {d: asyncio.Event() for d in DIRS}
writers = set()


async def pipe(direction, reader, writer):
    loop = asyncio.get_running_loop()
    waiting = asyncio.Queue()

    async def send():
        while (item := await waiting.get()) is not None:
            due, data = item
            await asyncio.sleep(max(0.0, due - loop.time()))
            await released[direction].wait()
            writer.write(data)
            await writer.drain()
        writer.write_eof()

    sender = asyncio.create_task(send())
    last_due = 0.0
    try:
        while data := await reader.read(65536):
            # A shorter delay given meanwhile must not overtake bytes already waiting.
            last_due = max(last_due, loop.time() + delay[direction])
            waiting.put_nowait((last_due, data))
    finally:
        waiting.put_nowait(None)
        await asyncio.gather(sender, return_exceptions=True)


async def serve(target, client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
    except OSError:
        client_writer.close()
        return
    writers.update((client_writer, server_writer))
    await asyncio.gather(pipe("up", client_reader, server_writer),
                         pipe("down", server_reader, client_writer), return_exceptions=True)
    for w in (client_writer, server_writer):
        writers.discard(w)
        w.close()


def command(line):
    words = line.split()
    if words == ["drop"]:
        for w in list(writers):
            w.transport.abort()
        return True
    if len(words) < 2 or words[1] not in DIRS + ("both",):
        return False
    for d in DIRS if words[1] == "both" else (words[1],):
        if words[0] == "delay" and len(words) == 3:
            delay[d] = float(words[2]) / 1000
        elif words[0] in ("hold", "release"):
            (released[d].clear if words[0] == "hold" else released[d].set)()
        else:
            return False
    return True


async def main(listen, target):
    for d in DIRS:
        released[d].set()
    server = await asyncio.start_server(lambda r, w: serve(target, r, w), "127.0.0.1", listen)
    print(f"listening {listen}", flush=True)
    stdin = asyncio.StreamReader()
    await asyncio.get_running_loop().connect_read_pipe(
        lambda: asyncio.StreamReaderProtocol(stdin), sys.stdin)
    while line := await stdin.readline():
        print("ok" if command(line.decode()) else "error: unknown command", flush=True)
    server.close()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: kolvaro-delay-proxy LISTEN_PORT TARGET_PORT")
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2])))
