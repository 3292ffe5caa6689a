#include "module/args.hpp"

#include <cstdint>

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

bool offsetArg(const Args& a, Py_ssize_t i, std::uint64_t* out) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > static_cast<unsigned long long>(INT64_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "file offset out of range");
    return false;
  }
  *out = v;
  return true;
}

bool sizeArg(const Args& a, Py_ssize_t i, Py_ssize_t* out) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  Py_ssize_t v = PyLong_AsSsize_t(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v < 0 ? 0 : v;
  return true;
}

bool longArg(const Args& a, Py_ssize_t i, long* out) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool longLongArg(const Args& a, Py_ssize_t i, long long* out) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool utf8Arg(const Args& a, Py_ssize_t i, const char** out, Py_ssize_t* len) noexcept {
  PyObject* obj = a.at(i);
  if (obj == nullptr) return false;
  *out = PyUnicode_AsUTF8AndSize(obj, len);
  return *out != nullptr;
}

bool bufferArg(const Args& a, Py_ssize_t i, Py_buffer* out) noexcept {
  PyObject* obj = a.at(i);
  return obj != nullptr && PyObject_GetBuffer(obj, out, PyBUF_SIMPLE) == 0;
}

}  // namespace ombrel
