// Process-wide globals of the _ombrel module: set once by the module's init
// function and then only read (except the handle free list, which handle.cpp
// maintains). Every access happens with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

struct HandleObject;

inline constexpr int handle_freelist_max = 512;

extern PyTypeObject* loop_type;
extern PyTypeObject* handle_type;
extern PyTypeObject* sockfuture_type;
extern PyTypeObject* transport_type;
extern PyObject* future_cancel_super;  // unbound asyncio.Future.cancel
extern Py_ssize_t sockfuture_offset;   // byte offset of SockFuture's native tail
extern PyObject* loop_kwnames;         // ("loop",): the keyword of every future and task made here
extern PyObject* buffered_protocol_type;
extern PyObject* py_neg_one;

extern HandleObject* handle_freelist[handle_freelist_max];
extern int handle_freelist_len;

extern PyObject* str_set_result;
extern PyObject* str_set_exception;
extern PyObject* str_cancelled;
extern PyObject* str_call_exception_handler;
extern PyObject* str_connection_made;
extern PyObject* str_data_received;
extern PyObject* str_eof_received;
extern PyObject* str_connection_lost;
extern PyObject* str_pause_writing;
extern PyObject* str_resume_writing;
extern PyObject* str_get_buffer;
extern PyObject* str_buffer_updated;
extern PyObject* str_close;
extern PyObject* str_detach;        // "_detach" (servers)
extern PyObject* str_before_close;  // "_before_close" (the package's transport wrapper)
extern PyObject* str_sock_detach;   // "detach" (sockets)
extern PyObject* str_fileno;
extern PyObject* str_context;  // "context", the keyword of the call methods

}  // namespace ombrel
