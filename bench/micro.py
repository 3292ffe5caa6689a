"""Micro-benchmarks of one event loop, one benchmark per process. Prints one
JSON line: {"value": rate, "unit": ..., ...}; higher is better.

    python3.14 bench/micro.py --loop ombrel|uvloop|asyncio --bench NAME
        [--duration SEC] [--warmup SEC] [--data DIR] [--mode native|thread]

Benchmarks:
  call_soon       callbacks scheduled with call_soon and run, in bursts of 1000
  timers_fire     100,000 call_later timers (random delays under 1 ms) scheduled, then all fired
  timers_cancel   100,000 call_later timers (10 to 20 s away) scheduled, then all cancelled
  tasks           trivial coroutines wrapped in tasks and awaited, 1000 at a time
  sock_roundtrip  64-byte sock_sendall / sock_recv round trips over a socketpair, echoed by a task
  reader_pingpong one byte bounced over a socketpair by add_reader callbacks on both ends, each
                  reading its byte and writing one back (pyzmq-style readiness, no tasks)
  loop_startup    a new loop made, one call_soon callback run on it (run_forever until it
                  stops the loop), the loop closed; loops per second
  file_pread      4 KiB random reads of a 256 MiB file, 64 at a time; --mode native uses the
                  loop's own files (ombrel.open(...).pread), thread uses asyncio.to_thread(os.pread)
  file_pwrite     1 MiB sequential writes over a 256 MiB file kept from run to run (wrapping
                  around); native: ombrel.open(...).pwrite, thread: asyncio.to_thread(os.pwrite)
  fs_stat         stat of existing files, 64 tasks at a time; native: ombrel.os on ombrel's
                  loop, aiofiles.os elsewhere (or, without aiofiles, the executor call it makes);
                  thread: asyncio.to_thread(os.stat) on every loop
  fs_create_unlink  a file created, 4 KiB written, closed, removed, 64 tasks at a time; native:
                  ombrel.open + ombrel.os.remove on ombrel's loop, aiofiles elsewhere (or the
                  executor calls it makes)
  fs_listdir      listdir of a directory of 10,000 entries; native as fs_stat

Fixed-count benchmarks repeat until --duration has passed and report the median.
"""

import argparse
import asyncio
import functools
import os
import random
import socket
import statistics
import time

from benchlib import LOOPS, Skip, emit, guarded, loop_factory, run

perf = time.perf_counter

FILE_SIZE = 256 * 1024 * 1024
BLOCK = 4096
CONCURRENCY = 64
WRITE_SIZE = 1024 * 1024


async def timed(step, warmup, duration):
    """Runs `await step(deadline)` -> ops for a warm-up, then for the
    duration; returns ops per second of the measured part."""
    if warmup > 0:
        await step(perf() + warmup)
    t0 = perf()
    ops = await step(t0 + duration)
    return ops / (perf() - t0)


async def repeated(once, warmup, duration, max_reps=9):
    """Runs `await once()` -> (ops, seconds) once to warm up, then again until
    the duration has passed (at least once); the median rate."""
    if warmup > 0:
        await once(warm=True)
    rates = []
    t_end = perf() + duration
    while not rates or (perf() < t_end and len(rates) < max_reps):
        ops, secs = await once(warm=False)
        rates.append(ops / secs)
    return statistics.median(rates), len(rates)


async def b_call_soon(args):
    loop = asyncio.get_running_loop()
    ran = 0

    def cb():
        nonlocal ran
        ran += 1

    async def step(deadline):
        done = 0
        call_soon = loop.call_soon
        while True:
            for _ in range(1000):
                call_soon(cb)
            await asyncio.sleep(0)
            done += 1000
            if perf() >= deadline:
                return done

    rate = await timed(step, args.warmup, args.duration)
    await asyncio.sleep(0)
    return {"value": rate, "unit": "calls/s", "ran": ran}


def _delays(n, low, high, seed=1):
    rnd = random.Random(seed)
    return [low + rnd.random() * (high - low) for _ in range(n)]


async def b_timers_fire(args):
    loop = asyncio.get_running_loop()
    delays = _delays(args.timers, 0.0, 0.001)

    async def once(warm):
        todo = delays[: len(delays) // 10] if warm else delays
        left = len(todo)
        done = loop.create_future()

        def cb():
            nonlocal left
            left -= 1
            if left == 0:
                done.set_result(None)

        call_later = loop.call_later
        t0 = perf()
        for d in todo:
            call_later(d, cb)
        await done
        return len(todo), perf() - t0

    rate, reps = await repeated(once, args.warmup, args.duration)
    return {"value": rate, "unit": "timers/s", "timers": args.timers, "reps": reps}


async def b_timers_cancel(args):
    loop = asyncio.get_running_loop()
    delays = _delays(args.timers, 10.0, 20.0)

    def cb():
        raise AssertionError("a cancelled timer fired")

    async def once(warm):
        todo = delays[: len(delays) // 10] if warm else delays
        call_later = loop.call_later
        t0 = perf()
        handles = [call_later(d, cb) for d in todo]
        for h in handles:
            h.cancel()
        await asyncio.sleep(0)  # the loop may drop cancelled timers now
        return len(todo), perf() - t0

    rate, reps = await repeated(once, args.warmup, args.duration)
    return {"value": rate, "unit": "timers/s", "timers": args.timers, "reps": reps}


async def b_tasks(args):
    loop = asyncio.get_running_loop()

    async def noop():
        pass

    async def step(deadline):
        done = 0
        create_task = loop.create_task
        while True:
            tasks = [create_task(noop()) for _ in range(1000)]
            for t in tasks:
                await t
            done += 1000
            if perf() >= deadline:
                return done

    rate = await timed(step, args.warmup, args.duration)
    return {"value": rate, "unit": "tasks/s"}


async def b_sock_roundtrip(args):
    loop = asyncio.get_running_loop()
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    msg = b"x" * 64

    async def echo():
        while data := await loop.sock_recv(b, 65536):
            await loop.sock_sendall(b, data)

    server = loop.create_task(echo())
    try:

        async def step(deadline):
            done = 0
            while True:
                for _ in range(100):
                    await loop.sock_sendall(a, msg)
                    got = await loop.sock_recv(a, 64)
                    while len(got) < 64:
                        got += await loop.sock_recv(a, 64 - len(got))
                done += 100
                if perf() >= deadline:
                    return done

        rate = await timed(step, args.warmup, args.duration)
    finally:
        a.close()
        try:
            await asyncio.wait_for(server, 5)
        except (OSError, TimeoutError):
            pass
        b.close()
    return {"value": rate, "unit": "roundtrips/s"}


async def b_reader_pingpong(args):
    loop = asyncio.get_running_loop()
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    count = [0]
    state = {"deadline": 0.0, "done": None}

    def bounce(me):
        if not me.recv(1):
            return
        count[0] += 1
        if perf() >= state["deadline"] and me is a:
            state["done"].set_result(None)
            return
        me.send(b"x")

    async def step(deadline):
        start = count[0]
        state["deadline"] = deadline
        state["done"] = loop.create_future()
        a.send(b"x")
        await state["done"]
        return count[0] - start

    loop.add_reader(a, bounce, a)
    loop.add_reader(b, bounce, b)
    try:
        rate = await timed(step, args.warmup, args.duration)
    finally:
        loop.remove_reader(a)
        loop.remove_reader(b)
        a.close()
        b.close()
    return {"value": rate, "unit": "bounces/s"}


def data_file(data_dir, name="pread-256m.bin"):
    """A 256 MiB file of random-looking bytes, made once and kept."""
    path = os.path.join(data_dir, name)
    try:
        if os.stat(path).st_size == FILE_SIZE:
            return path
    except FileNotFoundError:
        pass
    os.makedirs(data_dir, exist_ok=True)
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        chunk = os.urandom(WRITE_SIZE)
        for i in range(FILE_SIZE // WRITE_SIZE):
            # Cheap variety without 256 MiB of urandom.
            f.write(chunk[i % 4096 :] + chunk[: i % 4096])
    os.replace(tmp, path)
    return path


async def native_open(loop, path, mode):
    """The loop's own asynchronous file (ombrel.open), unbuffered."""
    if not hasattr(loop, "_file_pread"):
        raise Skip("this loop has no asynchronous files")
    import ombrel

    return await ombrel.open(path, mode, buffering=0)


async def b_file_pread(args):
    loop = asyncio.get_running_loop()
    blocks = FILE_SIZE // BLOCK
    path = data_file(args.data)
    afile = None
    if args.mode == "native":
        afile = await native_open(loop, path, "rb")

        def read(off):
            return afile.pread(BLOCK, off)
    else:

        def read(off):
            return asyncio.to_thread(os.pread, fd, BLOCK, off)

    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)

    try:

        async def worker(seed, deadline):
            rnd = random.Random(seed)
            n = 0
            while perf() < deadline:
                for _ in range(16):
                    data = await read(rnd.randrange(blocks) * BLOCK)
                    if len(data) != BLOCK:
                        raise AssertionError(f"short read: {len(data)}")
                n += 16
            return n

        async def step(deadline):
            counts = await asyncio.gather(*(worker(i, deadline) for i in range(CONCURRENCY)))
            return sum(counts)

        rate = await timed(step, args.warmup, args.duration)
    finally:
        os.close(fd)
        if afile is not None:
            await afile.close()
    return {"value": rate, "unit": "reads/s", "mib_s": rate * BLOCK / 2**20, "mode": args.mode}


async def b_file_pwrite(args):
    loop = asyncio.get_running_loop()
    os.makedirs(args.data, exist_ok=True)
    data = os.urandom(WRITE_SIZE)
    # Overwrites a file kept from run to run: fresh pages (a new file, or
    # memory the machine has not touched yet) would cost more than the loop.
    path = data_file(args.data, "pwrite-256m.bin")
    afile = None
    if args.mode == "native":
        afile = await native_open(loop, path, "r+b")

        def write(off):
            return afile.pwrite(data, off)
    else:

        def write(off):
            return asyncio.to_thread(os.pwrite, fd, data, off)

    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)

    offset = 0
    try:

        async def step(deadline):
            nonlocal offset
            n = 0
            while perf() < deadline:
                written = await write(offset)
                if written != WRITE_SIZE:
                    raise AssertionError(f"short write: {written}")
                offset = (offset + WRITE_SIZE) % FILE_SIZE
                n += 1
            return n

        rate = await timed(step, args.warmup, args.duration)
    finally:
        os.close(fd)
        if afile is not None:
            await afile.close()
    return {"value": rate * WRITE_SIZE / 2**20, "unit": "MiB/s", "mode": args.mode}


class ExecutorOs:
    """What aiofiles.os and aiofiles.open run, for a machine without
    aiofiles: each call on the running loop's default executor."""

    @staticmethod
    def _call(fn, *a, **kw):
        return asyncio.get_running_loop().run_in_executor(None, functools.partial(fn, *a, **kw))

    def stat(self, path):
        return self._call(os.stat, path)

    def remove(self, path):
        return self._call(os.remove, path)

    def listdir(self, path):
        return self._call(os.listdir, path)

    async def write_new(self, path, data):
        f = await self._call(open, path, "wb")
        await self._call(f.write, data)
        await self._call(f.close)


class AiofilesOs:
    def __init__(self):
        import aiofiles
        import aiofiles.os

        self.aiofiles = aiofiles
        self.stat = aiofiles.os.stat
        self.remove = aiofiles.os.remove
        self.listdir = aiofiles.os.listdir

    async def write_new(self, path, data):
        f = await self.aiofiles.open(path, "wb")
        await f.write(data)
        await f.close()


class OmbrelOs:
    def __init__(self):
        import ombrel
        import ombrel.os

        self.open = ombrel.open
        self.stat = ombrel.os.stat
        self.remove = ombrel.os.remove
        self.listdir = ombrel.os.listdir

    async def write_new(self, path, data):
        f = await self.open(path, "wb", buffering=0)
        await f.write(data)
        await f.close()


def fs_api(loop, mode):
    """The file-system calls a row measures, and their label."""
    if mode == "thread":
        return None, "to_thread(os.*)"
    if hasattr(loop, "_fs_stat"):
        return OmbrelOs(), "ombrel.os"
    try:
        return AiofilesOs(), "aiofiles.os"
    except ImportError:
        return ExecutorOs(), "run_in_executor(os.*) as aiofiles.os"


async def concurrent_rate(call, warmup, duration):
    """`await call(task, i)` in CONCURRENCY tasks for the duration; calls/s."""

    async def worker(task, deadline):
        n = 0
        while perf() < deadline:
            for i in range(8):
                await call(task, i)
            n += 8
        return n

    async def step(deadline):
        return sum(await asyncio.gather(*(worker(t, deadline) for t in range(CONCURRENCY))))

    return await timed(step, warmup, duration)


def fs_dir(args, name, count, size=0):
    """A folder of `count` files under the data folder, made once and kept."""
    path = os.path.join(args.data, name)
    os.makedirs(path, exist_ok=True)
    have = set(os.listdir(path))
    for i in range(count):
        if f"f{i:05d}" not in have:
            with open(os.path.join(path, f"f{i:05d}"), "wb") as f:
                f.write(b"x" * size)
    return path


async def b_fs_stat(args):
    api, label = fs_api(asyncio.get_running_loop(), args.mode)
    names = [os.path.join(fs_dir(args, "stat-dir", 512, 100), f"f{i:05d}") for i in range(512)]

    if api is None:

        def call(task, i):
            return asyncio.to_thread(os.stat, names[(task * 8 + i) % len(names)])
    else:

        def call(task, i):
            return api.stat(names[(task * 8 + i) % len(names)])

    rate = await concurrent_rate(call, args.warmup, args.duration)
    return {"value": rate, "unit": "stats/s", "impl": label}


async def b_fs_create_unlink(args):
    api, label = fs_api(asyncio.get_running_loop(), args.mode)
    if api is None:
        raise Skip("native mode only")
    folder = os.path.join(args.data, "create-unlink")
    os.makedirs(folder, exist_ok=True)
    data = os.urandom(4096)

    async def call(task, i):
        path = os.path.join(folder, f"t{task}-{i}")
        await api.write_new(path, data)
        await api.remove(path)

    rate = await concurrent_rate(call, args.warmup, args.duration)
    return {"value": rate, "unit": "files/s", "impl": label}


async def b_fs_listdir(args):
    api, label = fs_api(asyncio.get_running_loop(), args.mode)
    if api is None:
        raise Skip("native mode only")
    path = fs_dir(args, "listdir-10k", 10_000)

    async def step(deadline):
        n = 0
        while perf() < deadline:
            if len(await api.listdir(path)) != 10_000:
                raise AssertionError("listing changed")
            n += 1
        return n

    rate = await timed(step, args.warmup, args.duration)
    return {"value": rate, "unit": "listings/s", "impl": label}


def b_loop_startup(args):
    """Runs outside any loop: a loop cannot be run inside another one."""
    factory = loop_factory(args.loop)

    def step(deadline):
        n = 0
        while True:
            for _ in range(10):
                loop = factory()
                loop.call_soon(loop.stop)
                loop.run_forever()
                loop.close()
            n += 10
            if perf() >= deadline:
                return n

    try:
        if args.warmup > 0:
            step(perf() + args.warmup)
        t0 = perf()
        rate = step(t0 + args.duration) / (perf() - t0)
    except NotImplementedError as exc:
        raise Skip(f"{args.loop}: not implemented: {exc or type(exc).__name__}") from None
    return {"value": rate, "unit": "loops/s", "us_per_loop": 1e6 / rate}


# Benchmarks that make their own loops instead of running on one.
OUTSIDE = {"loop_startup": b_loop_startup}

BENCHES = {
    "call_soon": b_call_soon,
    "timers_fire": b_timers_fire,
    "timers_cancel": b_timers_cancel,
    "tasks": b_tasks,
    "sock_roundtrip": b_sock_roundtrip,
    "reader_pingpong": b_reader_pingpong,
    "file_pread": b_file_pread,
    "file_pwrite": b_file_pwrite,
    "fs_stat": b_fs_stat,
    "fs_create_unlink": b_fs_create_unlink,
    "fs_listdir": b_fs_listdir,
}


@guarded
def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--loop", choices=LOOPS, required=True)
    p.add_argument("--bench", choices=sorted([*BENCHES, *OUTSIDE]), required=True)
    p.add_argument("--duration", type=float, default=1.0)
    p.add_argument("--warmup", type=float, default=0.3)
    p.add_argument("--timers", type=int, default=100_000)
    p.add_argument("--mode", choices=("native", "thread"), default="thread")
    p.add_argument("--data", default=os.path.join("build", "bench-data"))
    args = p.parse_args()
    if args.bench in OUTSIDE:
        result = OUTSIDE[args.bench](args)
    else:
        result = run(args.loop, BENCHES[args.bench], args)
    emit({"bench": args.bench, "loop": args.loop, **result})


if __name__ == "__main__":
    main()
