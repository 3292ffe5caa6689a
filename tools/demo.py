"""make demo: shows that the native engine loads."""

import _ombrel

print(f"_ombrel from {_ombrel.__file__}")
print(_ombrel.__doc__)
