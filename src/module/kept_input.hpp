// What the kernel produced for receives and accepts that were reaped as
// cancelled, kept for the next operation of the same kind instead of being
// lost: received bytes and accepted connections per descriptor. (Exit
// statuses of cancelled child waits: child_statuses.hpp.)
//
// A receive or accept can finish in the kernel after its future was
// cancelled; the bytes are then gone from the socket and the client believes
// it is connected, so dropping them would lose data. The next receive (or
// streaming read) on the descriptor hands the kept bytes out first, in order
// and once; the next accept on the listener hands out the kept connection.
//
// Bytes and connections belong to the socket, not to the loop that took them:
// a socket may move to a loop in another thread, whose next receive must get
// them before what the kernel holds. They live in one table for the process
// (KeptTable; descriptor numbers are process-wide) that every loop's store
// consults. What depends on one loop's records stays in its store: the cancel
// notes.
//
// Identity: descriptor numbers are reused once their owner closes them behind
// the loop's back. Each entry remembers the file it was kept from (st_dev and
// st_ino); whenever the entry is looked up and the number no longer names that
// file (or nothing), the entry is dropped, its connections closed. The file an
// operation read from is the one its descriptor named when its cancellation
// was asked for (noteCancel): the owner may close the socket and open another
// on the same number before the loop reaps the operation.
//
// Ownership: the table owns its buffers and the kept connection descriptors;
// entries end when handed out, when dropped (the descriptor closed through a
// loop, a stale identity). A loop's close keeps the entries of descriptors
// that still name their file (the socket lives on and another loop may read
// it, as the kernel would still hold the bytes and the client) and sweeps the
// stale ones; growth sweeps them too, so forgotten entries stay bounded.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "ev/completion.hpp"

namespace ombrel {

struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FileId&) const = default;
};

// A kept connection: the descriptor and the file it named when it was kept.
// Nobody else knows the number, but a program may close every descriptor it
// does not know of (daemons do) and reuse the numbers: once fd names another
// file (or none) the connection is gone, and the number is not ours to hand
// out or close.
struct KeptConn {
  int fd;
  FileId id;
};

struct KeptInput {
  FileId id;    // the file the input was taken from
  char* bytes;  // bytes[head, tail): received and not handed out, stream order
  std::size_t head;
  std::size_t tail;
  std::size_t cap;
  KeptConn* conns;  // conns[conn_head, conn_tail): accepted descriptors, owned
  std::size_t conn_head;
  std::size_t conn_tail;
  std::size_t conn_cap;
};

// Bytes and connections kept per descriptor, one table for the process.
// Thread rule: the interpreter lock guards it. Module code of every loop runs
// holding the lock (the module is single-phase: one interpreter, no
// subinterpreters), and no function here releases it or runs Python code
// between a lookup and the use of what it found; checked builds assert that
// the lock is held (keptTable).
struct KeptTable {
  // Invariant: every entry holds at least one byte or connection (an entry
  // emptied by a hand-out is dropped), so an empty map answers every lookup
  // without a system call.
  std::unordered_map<std::int32_t, KeptInput> by_fd;
  // Entry count at which a new entry first sweeps the stale ones (those of
  // descriptors closed behind every loop's back, never looked up again).
  std::size_t sweep_at = 64;

  // The entry of fd if it still names the file it was kept from; a stale
  // entry is dropped. entryFor also makes one (null: fd names no file, or
  // not `from`, or memory ran out).
  KeptInput* find(std::int32_t fd) noexcept;
  KeptInput* entryFor(std::int32_t fd, const FileId* from) noexcept;
  // Drops fd's entry whatever its identity (fd closed through a loop).
  void drop(std::int32_t fd) noexcept;
  void dropIfEmpty(std::int32_t fd, const KeptInput* in) noexcept;
  // Drops every entry whose descriptor no longer names its file.
  void sweepStale() noexcept;
};

// The process's table; never destroyed (a thread may still run at exit).
// Interpreter lock held.
KeptTable& keptTable() noexcept;

// One loop's view of what is kept, and its cancel notes. The loop's thread,
// interpreter lock held (the byte and connection calls go to keptTable()).
struct KeptStore {
  // The file each cancelled receive, accept or streaming read was reading
  // when its cancellation was asked for, until its done function takes it.
  std::unordered_map<const vorn::ev::Completion*, FileId> noted;
  KeptStore() = default;
  KeptStore(const KeptStore&) = delete;
  KeptStore& operator=(const KeptStore&) = delete;
  ~KeptStore() = default;

  // SockFuture.cancel of an operation in flight: remembers which file its
  // descriptor names now (operations that keep nothing are ignored).
  void noteCancel(vorn::ev::Completion* c) noexcept;
  // The done function's side: the identity noted for c, if any (then
  // forgotten). Called on every completion of those kinds, so that no note
  // outlives its record (whose address a later record may reuse).
  bool takeNote(const vorn::ev::Completion* c, FileId* id) noexcept;

  // Keeps n bytes read from fd, after what is kept (a reaped receive) or
  // before it (a result given back). `from` is the file they were read from
  // when known (null: the file fd names now). False when they cannot be
  // kept: fd no longer names that file, or memory ran out.
  bool keepBytes(std::int32_t fd, const char* data, std::size_t n, bool front, const FileId* from = nullptr) noexcept;

  // Takes up to max kept bytes of fd as a new bytes object into *out (null
  // when nothing is kept). False with an exception set when the object
  // cannot be made (the bytes stay kept).
  bool takeBytes(std::int32_t fd, std::size_t max, PyObject** out) noexcept;

  // The result of a receive that was not cancelled: its n fresh bytes come
  // after whatever was kept for fd meanwhile (a cancelled receive that
  // finished first), so they are appended and the result is taken from the
  // front, up to max bytes. A new bytes object, or null with an exception.
  PyObject* deliver(std::int32_t fd, const char* fresh, std::size_t n, std::size_t max) noexcept;

  // Keeps a connection accepted on listener; false when it cannot be kept
  // (the caller still owns conn and must close it; conn names no file).
  bool keepConn(std::int32_t listener, int conn, bool front, const FileId* from = nullptr) noexcept;
  // The next kept connection of listener that still names its file (now the
  // caller's), or -1. Those whose number was closed behind the store's back
  // are dropped unclosed.
  int takeConn(std::int32_t listener) noexcept;

  // Whether anything is kept for fd (its identity checked).
  bool has(std::int32_t fd) noexcept;

  // Drops what is kept for fd: closes its connections and returns its bytes
  // (a new bytes object, empty when none; null with an exception when it
  // cannot be made, the bytes are dropped anyway).
  PyObject* release(std::int32_t fd) noexcept;

  // Loop close: forgets this loop's notes and sweeps the stale entries of
  // the table. What is kept for descriptors that still name their file stays
  // for whichever loop reads them next.
  void clear() noexcept;

  // Whether a cancelled receive, accept or streaming read of this loop is
  // still in flight (its note not taken yet): what it read may still have
  // to be kept.
  bool reaping() const noexcept { return !noted.empty(); }

  // Drops fd's entry whatever its identity (fd closed through the loop).
  void drop(std::int32_t fd) noexcept;
};

}  // namespace ombrel
