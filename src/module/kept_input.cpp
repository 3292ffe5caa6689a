#include "module/kept_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ev/ops.hpp"
#include "os/assert.hpp"
#include "os/fd.hpp"

namespace ombrel {

namespace {

bool fileIdOf(std::int32_t fd, FileId* id) noexcept {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *id = FileId{st.st_dev, st.st_ino};
  return true;
}

bool sameFile(std::int32_t fd, const KeptInput& in) noexcept {
  FileId now;
  return fileIdOf(fd, &now) && now == in.id;
}

// Whether a kept connection's number still names the file it was kept as.
bool stillOurs(const KeptConn& conn) noexcept {
  FileId now;
  return fileIdOf(conn.fd, &now) && now == conn.id;
}

void freeContents(KeptInput& in) noexcept {
  std::free(in.bytes);
  for (std::size_t i = in.conn_head; i < in.conn_tail; ++i) {
    if (stillOurs(in.conns[i])) vorn::os::closeOwned(in.conns[i].fd);
  }
  std::free(in.conns);
  in.bytes = nullptr;
  in.conns = nullptr;
  in.head = in.tail = in.cap = 0;
  in.conn_head = in.conn_tail = in.conn_cap = 0;
}

bool isEmpty(const KeptInput& in) noexcept { return in.head == in.tail && in.conn_head == in.conn_tail; }

// Room for n more elements at the back of [head, tail) in a buffer of cap;
// the live part moves to the front first.
template <class T>
bool reserveBack(T** buf, std::size_t* head, std::size_t* tail, std::size_t* cap, std::size_t n) noexcept {
  std::size_t live = *tail - *head;
  if (*head > 0) {
    std::memmove(*buf, *buf + *head, live * sizeof(T));
    *head = 0;
    *tail = live;
  }
  if (live + n <= *cap) return true;
  std::size_t want = std::max(live + n, *cap * 2);
  auto* grown = static_cast<T*>(std::realloc(*buf, want * sizeof(T)));
  if (grown == nullptr) return false;
  *buf = grown;
  *cap = want;
  return true;
}

// Room for n more elements before head.
template <class T>
bool reserveFront(T** buf, std::size_t* head, std::size_t* tail, std::size_t* cap, std::size_t n) noexcept {
  if (*head >= n) return true;
  std::size_t live = *tail - *head;
  std::size_t want = live + n;
  auto* fresh = static_cast<T*>(std::malloc(want * sizeof(T)));
  if (fresh == nullptr) return false;
  if (live > 0) std::memcpy(fresh + n, *buf + *head, live * sizeof(T));
  std::free(*buf);
  *buf = fresh;
  *head = n;
  *tail = want;
  *cap = want;
  return true;
}

}  // namespace

KeptTable& keptTable() noexcept {
  // Built on first use, in place, and never destroyed: exit may come while a
  // thread still runs Python code.
  alignas(KeptTable) static unsigned char storage[sizeof(KeptTable)];
  static KeptTable* table = new (storage) KeptTable();
  VORN_ASSERT(PyGILState_Check());
  return *table;
}

KeptInput* KeptTable::find(std::int32_t fd) noexcept {
  if (by_fd.empty()) return nullptr;
  auto it = by_fd.find(fd);
  if (it == by_fd.end()) return nullptr;
  if (!sameFile(fd, it->second)) {
    freeContents(it->second);
    by_fd.erase(it);
    return nullptr;
  }
  return &it->second;
}

KeptInput* KeptTable::entryFor(std::int32_t fd, const FileId* from) noexcept {
  FileId now;
  if (!fileIdOf(fd, &now)) {
    drop(fd);
    return nullptr;
  }
  if (from != nullptr && !(*from == now)) return nullptr;  // read from a file closed since
  auto it = by_fd.find(fd);
  if (it != by_fd.end()) {
    KeptInput& in = it->second;
    if (!(in.id == now)) {
      freeContents(in);
      in.id = now;
    }
    return &in;
  }
  if (by_fd.size() >= sweep_at) {
    // Amortised: the next sweep waits until the table has doubled again, so
    // stale entries never outnumber live ones by much.
    sweepStale();
    sweep_at = std::max<std::size_t>(64, by_fd.size() * 2);
  }
  try {
    KeptInput& in = by_fd[fd];
    in = KeptInput{};
    in.id = now;
    return &in;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void KeptStore::noteCancel(vorn::ev::Completion* c) noexcept {
  std::int32_t fd;
  switch (c->op) {
    case vorn::ev::Op::net_recv: fd = vorn::ev::containerOf<vorn::ev::NetRecv>(c)->handle; break;
    case vorn::ev::Op::net_accept: fd = vorn::ev::containerOf<vorn::ev::NetAccept>(c)->handle; break;
    case vorn::ev::Op::file_read_streaming: fd = vorn::ev::containerOf<vorn::ev::FileReadStreaming>(c)->handle; break;
    default: return;
  }
  FileId id;
  if (!fileIdOf(fd, &id)) return;  // closed already: nothing read can be kept for it
  try {
    noted[c] = id;
  } catch (const std::bad_alloc&) {
    // Kept by the file the number names at reaping time instead.
  }
}

bool KeptStore::takeNote(const vorn::ev::Completion* c, FileId* id) noexcept {
  if (noted.empty()) return false;
  auto it = noted.find(c);
  if (it == noted.end()) return false;
  *id = it->second;
  noted.erase(it);
  return true;
}

void KeptTable::drop(std::int32_t fd) noexcept {
  if (by_fd.empty()) return;
  auto it = by_fd.find(fd);
  if (it == by_fd.end()) return;
  freeContents(it->second);
  by_fd.erase(it);
}

void KeptTable::dropIfEmpty(std::int32_t fd, const KeptInput* in) noexcept {
  if (isEmpty(*in)) drop(fd);
}

void KeptTable::sweepStale() noexcept {
  std::erase_if(by_fd, [](auto& entry) {
    if (sameFile(entry.first, entry.second)) return false;
    freeContents(entry.second);
    return true;
  });
}

void KeptStore::drop(std::int32_t fd) noexcept { keptTable().drop(fd); }

bool KeptStore::keepBytes(std::int32_t fd, const char* data, std::size_t n, bool front, const FileId* from) noexcept {
  if (n == 0) return true;
  KeptTable& table = keptTable();
  KeptInput* in = table.entryFor(fd, from);
  if (in == nullptr) return false;
  bool ok;
  if (front) {
    ok = reserveFront(&in->bytes, &in->head, &in->tail, &in->cap, n);
    if (ok) {
      in->head -= n;
      std::memcpy(in->bytes + in->head, data, n);
    }
  } else {
    ok = reserveBack(&in->bytes, &in->head, &in->tail, &in->cap, n);
    if (ok) {
      std::memcpy(in->bytes + in->tail, data, n);
      in->tail += n;
    }
  }
  if (!ok) table.dropIfEmpty(fd, in);
  return ok;
}

bool KeptStore::takeBytes(std::int32_t fd, std::size_t max, PyObject** out) noexcept {
  KeptTable& table = keptTable();
  *out = nullptr;
  KeptInput* in = table.find(fd);
  if (in == nullptr || in->head == in->tail || max == 0) return true;
  std::size_t k = std::min(max, in->tail - in->head);
  PyObject* obj = PyBytes_FromStringAndSize(in->bytes + in->head, static_cast<Py_ssize_t>(k));
  if (obj == nullptr) return false;
  in->head += k;
  if (in->head == in->tail) {
    in->head = in->tail = 0;
    table.dropIfEmpty(fd, in);
  }
  *out = obj;
  return true;
}

PyObject* KeptStore::deliver(std::int32_t fd, const char* fresh, std::size_t n, std::size_t max) noexcept {
  KeptTable& table = keptTable();
  KeptInput* in = table.find(fd);
  if (in == nullptr || in->head == in->tail) return PyBytes_FromStringAndSize(fresh, static_cast<Py_ssize_t>(n));
  if (!keepBytes(fd, fresh, n, false)) return PyErr_NoMemory();
  PyObject* out;
  if (!takeBytes(fd, max, &out)) return nullptr;
  return out;
}

bool KeptStore::keepConn(std::int32_t listener, int conn, bool front, const FileId* from) noexcept {
  KeptConn kept{conn, {}};
  if (!fileIdOf(conn, &kept.id)) return false;
  KeptTable& table = keptTable();
  KeptInput* in = table.entryFor(listener, from);
  if (in == nullptr) return false;
  bool ok;
  if (front) {
    ok = reserveFront(&in->conns, &in->conn_head, &in->conn_tail, &in->conn_cap, 1);
    if (ok) in->conns[--in->conn_head] = kept;
  } else {
    ok = reserveBack(&in->conns, &in->conn_head, &in->conn_tail, &in->conn_cap, 1);
    if (ok) in->conns[in->conn_tail++] = kept;
  }
  if (!ok) table.dropIfEmpty(listener, in);
  return ok;
}

int KeptStore::takeConn(std::int32_t listener) noexcept {
  KeptTable& table = keptTable();
  KeptInput* in = table.find(listener);
  if (in == nullptr) return -1;
  int conn = -1;
  while (conn < 0 && in->conn_head != in->conn_tail) {
    const KeptConn& next = in->conns[in->conn_head++];
    if (stillOurs(next)) conn = next.fd;
  }
  table.dropIfEmpty(listener, in);
  return conn;
}

bool KeptStore::has(std::int32_t fd) noexcept { return keptTable().find(fd) != nullptr; }

PyObject* KeptStore::release(std::int32_t fd) noexcept {
  KeptTable& table = keptTable();
  KeptInput* in = table.find(fd);
  PyObject* out = in != nullptr
                      ? PyBytes_FromStringAndSize(in->bytes + in->head, static_cast<Py_ssize_t>(in->tail - in->head))
                      : PyBytes_FromStringAndSize(nullptr, 0);
  table.drop(fd);
  return out;
}

void KeptStore::clear() noexcept {
  // Only stale entries go: a live one's socket outlives this loop, and
  // whichever loop reads it next must get its bytes and connections first.
  KeptTable& table = keptTable();
  if (!table.by_fd.empty()) table.sweepStale();
  noted.clear();
}

}  // namespace ombrel
