// Intrusive two-pass pairing heap of timers, ordered by absolute deadline.
//
// Invariants (every node reachable from root):
//   - heap order: no child's deadline is smaller than its parent's;
//   - a first child's `prev` is its parent, a later sibling's `prev` is the
//     previous sibling; the root's `prev` and `next` are null;
//   - a node outside any heap has all three links null.
// Ties are broken by position only: meld(a, b) returns a only when a is
// strictly earlier, so among equal deadlines the second argument wins; a run
// of equal deadlines inserted into an empty heap pops in insertion order.
//
// Not synchronised: the loop guards each heap with its timer_mutex. `root` is
// atomic only so that the loop may test for emptiness without the mutex.
#pragma once

#include <atomic>

namespace vorn::ev {

struct Timer;

struct HeapNode {
  Timer* child;  // first child
  Timer* prev;   // previous sibling, or the parent for a first child; null for the root
  Timer* next;   // next sibling
};

// Strict: a's deadline is smaller than b's.
bool timerDeadlineLess(const Timer* a, const Timer* b) noexcept;

struct Heap {
  std::atomic<Timer*> root{nullptr};

  bool isEmpty() const noexcept { return root.load(std::memory_order_relaxed) == nullptr; }
  Timer* peek() const noexcept { return root.load(std::memory_order_relaxed); }
  // O(1): one meld. t becomes the root only when strictly earlier.
  void insert(Timer* t) noexcept;
  // Removes and returns the root (links cleared), or null when empty.
  Timer* deleteMin() noexcept;
  // Removes any member.
  void remove(Timer* t) noexcept;
};

// Exposed for the heap's own tests; the heap's operations are built on them.
Timer* heapMeld(Timer* a, Timer* b) noexcept;
Timer* heapCombineSiblings(Timer* first) noexcept;

}  // namespace vorn::ev
