#include "ev/heap.hpp"

#include "ev/timer.hpp"
#include "os/assert.hpp"

namespace vorn::ev {

bool timerDeadlineLess(const Timer* a, const Timer* b) noexcept { return a->deadline < b->deadline; }

// Joins two heap-ordered trees: the strictly earlier root wins, on a tie the
// second argument. The loser becomes the winner's first child. The winner's
// own sibling links are left to the caller, which knows the list they belong to.
Timer* heapMeld(Timer* a, Timer* b) noexcept {
  Timer* winner = timerDeadlineLess(a, b) ? a : b;
  Timer* loser = winner == a ? b : a;
  loser->heap.prev = winner;
  loser->heap.next = winner->heap.child;
  if (winner->heap.child != nullptr) winner->heap.child->heap.prev = loser;
  winner->heap.child = loser;
  return winner;
}

// Two-pass pairing of a sibling list. Pass 1 melds neighbours left to right
// (on a tie the right one wins) and keeps the winners, in order, linked
// backwards through `prev`; pass 2 melds them right to left into one tree (on
// a tie the accumulated tree wins).
Timer* heapCombineSiblings(Timer* first) noexcept {
  first->heap.prev = nullptr;
  Timer* last = nullptr;  // last winner of pass 1
  Timer* cur = first;
  while (cur != nullptr) {
    Timer* right = cur->heap.next;
    Timer* winner = cur;
    Timer* rest = nullptr;
    if (right != nullptr) {
      rest = right->heap.next;
      cur->heap.prev = cur->heap.next = nullptr;
      right->heap.prev = right->heap.next = nullptr;
      winner = heapMeld(cur, right);
    }
    winner->heap.prev = last;
    winner->heap.next = nullptr;
    last = winner;
    cur = rest;
  }

  Timer* acc = last;
  Timer* earlier = acc->heap.prev;
  acc->heap.prev = nullptr;
  while (earlier != nullptr) {
    Timer* before = earlier->heap.prev;
    earlier->heap.prev = nullptr;
    acc = heapMeld(earlier, acc);
    earlier = before;
  }
  acc->heap.prev = acc->heap.next = nullptr;
  return acc;
}

void Heap::insert(Timer* t) noexcept {
  VORN_ASSERT(t->heap.child == nullptr && t->heap.prev == nullptr && t->heap.next == nullptr);
  Timer* r = root.load(std::memory_order_relaxed);
  root.store(r == nullptr ? t : heapMeld(t, r), std::memory_order_relaxed);
}

Timer* Heap::deleteMin() noexcept {
  Timer* r = root.load(std::memory_order_relaxed);
  if (r == nullptr) return nullptr;
  root.store(r->heap.child != nullptr ? heapCombineSiblings(r->heap.child) : nullptr, std::memory_order_relaxed);
  r->heap = HeapNode{};
  return r;
}

void Heap::remove(Timer* t) noexcept {
  if (t->heap.prev == nullptr) {
    VORN_ASSERT(root.load(std::memory_order_relaxed) == t);
    deleteMin();
    return;
  }
  Timer* prev = t->heap.prev;
  if (t->heap.next != nullptr) t->heap.next->heap.prev = prev;
  if (prev->heap.child == t) {
    prev->heap.child = t->heap.next;
  } else {
    prev->heap.next = t->heap.next;
  }
  t->heap.prev = t->heap.next = nullptr;
  if (t->heap.child != nullptr) {
    Timer* sub = heapCombineSiblings(t->heap.child);
    t->heap.child = nullptr;
    root.store(heapMeld(sub, root.load(std::memory_order_relaxed)), std::memory_order_relaxed);
  }
}

}  // namespace vorn::ev
