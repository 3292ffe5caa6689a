// Intrusive containers of Completion records. None allocates: each threads
// the records through their own prev/next links, so a record is on at most
// one of them at a time.
#pragma once

#include <atomic>

#include "ev/completion.hpp"

namespace vorn::ev {

// Doubly linked FIFO through prev/next. Single-threaded: the owner's thread.
// Invariant: head == nullptr iff tail == nullptr; head->prev and tail->next
// are null; a record that is not a member has both links null.
struct Queue {
  Completion* head = nullptr;
  Completion* tail = nullptr;

  bool empty() const noexcept { return head == nullptr; }

  void push(Completion* c) noexcept {
    c->next = nullptr;
    c->prev = tail;
    if (tail != nullptr) {
      tail->next = c;
    } else {
      head = c;
    }
    tail = c;
  }

  // Removes and returns the head (links cleared), or null.
  Completion* pop() noexcept {
    Completion* c = head;
    if (c == nullptr) return nullptr;
    head = c->next;
    if (head != nullptr) {
      head->prev = nullptr;
    } else {
      tail = nullptr;
    }
    c->next = nullptr;
    return c;
  }

  // Unlinks a member and clears its links. A record with both links null
  // that is neither head nor tail is not a member: nothing happens.
  void remove(Completion* c) noexcept {
    if (c->prev == nullptr && c->next == nullptr && head != c) return;
    if (c->prev != nullptr) {
      c->prev->next = c->next;
    } else {
      head = c->next;
    }
    if (c->next != nullptr) {
      c->next->prev = c->prev;
    } else {
      tail = c->prev;
    }
    c->prev = nullptr;
    c->next = nullptr;
  }

  // Takes the whole content; the queue is empty afterwards.
  Queue detach() noexcept {
    Queue all = *this;
    head = tail = nullptr;
    return all;
  }
};

// Lock-free LIFO through next. push from any thread; popAll by the consumer.
// The pusher must not touch a record after pushing it.
struct AtomicStack {
  std::atomic<Completion*> head{nullptr};

  void push(Completion* c) noexcept {
    Completion* old = head.load(std::memory_order_relaxed);
    do {
      c->next = old;
      // release: the consumer must see the record's contents (its result)
      // once it sees the record on the stack.
    } while (!head.compare_exchange_weak(old, c, std::memory_order_release, std::memory_order_relaxed));
  }

  // acquire: pairs with push's release, so the records' contents are visible.
  Completion* popAll() noexcept { return head.exchange(nullptr, std::memory_order_acquire); }

  bool empty() const noexcept { return head.load(std::memory_order_relaxed) == nullptr; }
};

// Walks a chain returned by popAll, most recently pushed first.
struct SimpleStack {
  Completion* head = nullptr;

  Completion* pop() noexcept {
    Completion* c = head;
    if (c != nullptr) {
      head = c->next;
      c->next = nullptr;
    }
    return c;
  }
};

}  // namespace vorn::ev
