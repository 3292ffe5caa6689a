"""os.path's queries as coroutine functions (the names of aiofiles.ospath).
The stat-based ones (samefile too) take the ring on an ombrel loop (see
ombrel.os); the rest run on the loop's default executor."""

from __future__ import annotations

import os as _os
import stat as _st
from typing import Any

from ._run import in_executor
from ._run import stat

__all__ = [
    "abspath",
    "exists",
    "getatime",
    "getctime",
    "getmtime",
    "getsize",
    "isdir",
    "isfile",
    "islink",
    "ismount",
    "samefile",
    "sameopenfile",
]


async def _mode(path: Any, follow: bool) -> int | None:
    """The mode, or None where os.path answers False (OSError, ValueError)."""
    try:
        return (await stat(path, follow_symlinks=follow)).st_mode
    except (OSError, ValueError):
        return None


async def exists(path: Any) -> bool:
    return await _mode(path, True) is not None


async def isfile(path: Any) -> bool:
    m = await _mode(path, True)
    return m is not None and _st.S_ISREG(m)


async def isdir(path: Any) -> bool:
    m = await _mode(path, True)
    return m is not None and _st.S_ISDIR(m)


async def islink(path: Any) -> bool:
    m = await _mode(path, False)
    return m is not None and _st.S_ISLNK(m)


async def getsize(path: Any) -> int:
    return (await stat(path)).st_size


async def getatime(path: Any) -> float:
    return (await stat(path)).st_atime


async def getmtime(path: Any) -> float:
    return (await stat(path)).st_mtime


async def getctime(path: Any) -> float:
    return (await stat(path)).st_ctime


async def ismount(path: Any) -> bool:
    return await in_executor(_os.path.ismount, path)


async def samefile(f1: Any, f2: Any) -> bool:
    # os.path.samefile is two stats, the first one's error first.
    s1 = await stat(f1)
    return _os.path.samestat(s1, await stat(f2))


async def sameopenfile(fp1: int, fp2: int) -> bool:
    return await in_executor(_os.path.sameopenfile, fp1, fp2)


async def abspath(path: Any) -> Any:
    return await in_executor(_os.path.abspath, path)
