// Positional arguments of the native methods (METH_FASTCALL), and their
// conversions to C values.
//
// Order rule: a method converts every argument before it reads its loop's
// runtime, because a conversion can run Python code (__index__, __float__,
// __buffer__, __str__ of a subclass) and that code may close the loop,
// freeing the runtime. Only what the conversion yields (C values, a pinned
// buffer) is carried past this point; the runtime is read afterwards, once.
//
// Extra arguments are ignored and a missing one raises IndexError, as the
// methods always have. Loop thread, interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace ombrel {

struct Args {
  PyObject* const* items;
  Py_ssize_t n;
  const char* name;  // the method, for error messages

  // Item i (borrowed), or null with IndexError when the call gave fewer.
  PyObject* at(Py_ssize_t i) const noexcept;
};

// A descriptor (or pid): PyLong_AsLongLong, stored as 32 bits (a value
// outside that range raises OverflowError). -1 without an exception is a
// value like any other.
bool fdArg(const Args& a, Py_ssize_t i, std::int32_t* out) noexcept;

// A file offset: PyLong_AsUnsignedLongLong, at most the largest file offset
// (2**63 - 1): a larger one would reach the kernel as a negative number, and
// -1 there means "the file position".
bool offsetArg(const Args& a, Py_ssize_t i, std::uint64_t* out) noexcept;

// A byte count: PyLong_AsSsize_t; negative counts read as 0.
bool sizeArg(const Args& a, Py_ssize_t i, Py_ssize_t* out) noexcept;

// PyLong_AsLong / PyLong_AsLongLong.
bool longArg(const Args& a, Py_ssize_t i, long* out) noexcept;
bool longLongArg(const Args& a, Py_ssize_t i, long long* out) noexcept;

// A str as UTF-8, borrowed from the string object (which the caller's
// argument array keeps alive for the call).
bool utf8Arg(const Args& a, Py_ssize_t i, const char** out, Py_ssize_t* len) noexcept;

// A path already encoded as the file system encodes it (bytes, as
// os.fsencode gives): borrowed from the bytes object. A NUL byte inside
// raises ValueError, as os does: the kernel would see a shorter path.
bool pathBytesArg(const Args& a, Py_ssize_t i, const char** out, Py_ssize_t* len) noexcept;

// A contiguous buffer pinned with PyBUF_SIMPLE; the caller releases it
// (PyBuffer_Release may run the exporter's Python code: release after the
// last use of the runtime, or before reading it).
bool bufferArg(const Args& a, Py_ssize_t i, Py_buffer* out) noexcept;

}  // namespace ombrel
