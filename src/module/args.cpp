#include "module/args.hpp"

#include <cstdint>
#include <cstring>

namespace ombrel {

PyObject* Args::at(Py_ssize_t i) const noexcept {
  if (i < n) return items[i];
  PyErr_Format(PyExc_IndexError, "%s(): argument %zd is missing", name, i + 1);
  return nullptr;
}

bool fdArg(const Args& a, Py_ssize_t i, std::int32_t* out) noexcept {
  long long v;
  if (!longLongArg(a, i, &v)) return false;
  // Cutting a larger number to 32 bits would name some other descriptor.
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "file descriptor out of range");
    return false;
  }
  *out = static_cast<std::int32_t>(v);
  return true;
}

namespace {

// Argument i converted by one of the PyLong_As* functions (whose failure is
// -1 with an exception set) into *out.
template <class T>
bool integerArg(const Args& a, Py_ssize_t i, T (*convert)(PyObject*), T* out) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  T v = convert(obj);
  if (v == static_cast<T>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

}  // namespace

bool offsetArg(const Args& a, Py_ssize_t i, std::uint64_t* out) noexcept {
  unsigned long long v;
  if (!integerArg(a, i, PyLong_AsUnsignedLongLong, &v)) return false;
  if (v > static_cast<unsigned long long>(INT64_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "file offset out of range");
    return false;
  }
  *out = v;
  return true;
}

bool sizeArg(const Args& a, Py_ssize_t i, Py_ssize_t* out) noexcept {
  if (!integerArg(a, i, PyLong_AsSsize_t, out)) return false;
  if (*out < 0) *out = 0;
  return true;
}

bool longArg(const Args& a, Py_ssize_t i, long* out) noexcept { return integerArg(a, i, PyLong_AsLong, out); }

bool longLongArg(const Args& a, Py_ssize_t i, long long* out) noexcept {
  return integerArg(a, i, PyLong_AsLongLong, out);
}

bool utf8Arg(const Args& a, Py_ssize_t i, const char** out, Py_ssize_t* len) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  *out = PyUnicode_AsUTF8AndSize(obj, len);
  return *out != nullptr;
}

bool pathBytesArg(const Args& a, Py_ssize_t i, const char** out, Py_ssize_t* len) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  char* data;
  if (PyBytes_AsStringAndSize(obj, &data, len) < 0) return false;  // TypeError
  if (std::memchr(data, 0, static_cast<std::size_t>(*len)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  *out = data;
  return true;
}

bool bufferArg(const Args& a, Py_ssize_t i, Py_buffer* out) noexcept {
  PyObject* obj = a.at(i);
  return obj != nullptr && PyObject_GetBuffer(obj, out, PyBUF_SIMPLE) == 0;
}

}  // namespace ombrel
