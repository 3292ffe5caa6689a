"""A 1 GiB file copied sequentially through ombrel.open, on a disk-backed
folder under build/ (not /tmp, which may live in memory), then read back
through ombrel.open: every byte as it was."""

import hashlib
import os
import shutil

import ombrel

from conftest import TOP, record, scaled

SIZE = scaled(1 << 30, 1 << 20) >> 20 << 20  # whole MiB
CHUNK = 1 << 20


def test_one_gib_sequential_copy_is_byte_exact():
    where = os.path.join(TOP, "build", "stress-files")
    os.makedirs(where, exist_ok=True)
    src, dst = os.path.join(where, "source.bin"), os.path.join(where, "copy.bin")
    try:
        want = hashlib.sha256()
        with open(src, "wb") as f:
            for i in range(SIZE // CHUNK):
                block = os.urandom(CHUNK)
                want.update(block)
                f.write(block)

        async def copy():
            copied = 0
            async with await ombrel.open(src, "rb") as fi, await ombrel.open(dst, "wb") as fo:
                # Odd sizes: reads and writes that do not line up with pages.
                sizes = [CHUNK, 4096 * 3 + 7, CHUNK * 2 - 1, 65536 + 1]
                i = 0
                while chunk := await fi.read(sizes[i % len(sizes)]):
                    await fo.write(chunk)
                    copied += len(chunk)
                    i += 1
                await fo.fsync()
            return copied

        async def hash_back():
            h = hashlib.sha256()
            async with await ombrel.open(dst, "rb") as f:
                while chunk := await f.read(CHUNK):
                    h.update(chunk)
            return h.hexdigest()

        copied = ombrel.run(copy())
        assert copied == SIZE and os.path.getsize(dst) == SIZE
        assert ombrel.run(hash_back()) == want.hexdigest()
        with open(dst, "rb") as f:  # and through the plain file API
            h = hashlib.sha256()
            while chunk := f.read(CHUNK):
                h.update(chunk)
        assert h.hexdigest() == want.hexdigest()
        record("file-copy", bytes_copied=copied, sha256=want.hexdigest()[:16])
    finally:
        shutil.rmtree(where, ignore_errors=True)
