"""The native engine, seen from the package.

Every other module reaches `_ombrel` through here, so that the stub next to
this file (`_native.pyi`) types the whole package and an import failure of
the extension shows up in one place.
"""

from _ombrel import Loop as NativeLoop

__all__ = ["NativeLoop"]
