// The pairing heap against a reference model: random inserts, removals and
// delete-mins with many equal deadlines, checking the structure after each step.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "ev/heap.hpp"
#include "ev/timer.hpp"

using namespace vorn::ev;

namespace {

struct Node : Timer {
  Node() { init(Timeout::never()); }
};

// Walks the tree: heap order, link consistency; returns the node count.
std::size_t checkTree(Timer* node, Timer* expected_prev) {
  std::size_t count = 0;
  for (Timer* t = node; t != nullptr; t = t->heap.next) {
    EXPECT_EQ(t->heap.prev, expected_prev);
    if (t->heap.child != nullptr) {
      EXPECT_FALSE(timerDeadlineLess(t->heap.child, t));
      for (Timer* c = t->heap.child; c != nullptr; c = c->heap.next) EXPECT_FALSE(timerDeadlineLess(c, t));
    }
    count += 1 + checkTree(t->heap.child, t);
    expected_prev = t;
  }
  return count;
}

void checkHeap(const Heap& heap, std::size_t expected) {
  Timer* root = heap.peek();
  if (root == nullptr) {
    EXPECT_EQ(expected, 0u);
    return;
  }
  EXPECT_EQ(root->heap.prev, nullptr);
  EXPECT_EQ(root->heap.next, nullptr);
  EXPECT_EQ(checkTree(root, nullptr), expected);
}

}  // namespace

TEST(PairingHeap, MatchesAReferenceModel) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 20; ++round) {
    std::deque<Node> nodes(300);
    Heap heap;
    std::multiset<std::uint64_t> model;
    std::vector<Node*> members;
    std::vector<Node*> free_nodes;
    for (auto& n : nodes) free_nodes.push_back(&n);
    // A small deadline range forces many ties.
    std::uniform_int_distribution<std::uint64_t> deadline(0, round % 2 == 0 ? 8 : 1'000'000);
    for (int step = 0; step < 2000; ++step) {
      int op = static_cast<int>(rng() % 3);
      if (op == 0 && !free_nodes.empty()) {
        Node* n = free_nodes.back();
        free_nodes.pop_back();
        n->deadline = deadline(rng);
        heap.insert(n);
        model.insert(n->deadline);
        members.push_back(n);
      } else if (op == 1 && !members.empty()) {
        Timer* min = heap.deleteMin();
        ASSERT_NE(min, nullptr);
        ASSERT_EQ(min->deadline, *model.begin());
        model.erase(model.begin());
        EXPECT_EQ(min->heap.child, nullptr);
        EXPECT_EQ(min->heap.prev, nullptr);
        auto it = std::find(members.begin(), members.end(), static_cast<Node*>(min));
        ASSERT_NE(it, members.end());
        members.erase(it);
        free_nodes.push_back(static_cast<Node*>(min));
      } else if (op == 2 && !members.empty()) {
        std::size_t i = rng() % members.size();
        Node* n = members[i];
        heap.remove(n);
        model.erase(model.find(n->deadline));
        members.erase(members.begin() + static_cast<std::ptrdiff_t>(i));
        n->heap = HeapNode{};
        free_nodes.push_back(n);
      }
      checkHeap(heap, model.size());
      if (::testing::Test::HasFailure()) return;
    }
    while (Timer* t = heap.deleteMin()) {
      ASSERT_EQ(t->deadline, *model.begin());
      model.erase(model.begin());
    }
    EXPECT_TRUE(model.empty());
  }
}

TEST(PairingHeap, TieRules) {
  // Equal deadlines inserted into an empty heap pop in insertion order, also
  // when removals from the middle reshape the tree.
  std::deque<Node> nodes(10);
  Heap heap;
  for (auto& n : nodes) {
    n.deadline = 7;
    heap.insert(&n);
  }
  heap.remove(&nodes[4]);
  heap.remove(&nodes[7]);
  std::vector<Timer*> got;
  while (Timer* t = heap.deleteMin()) got.push_back(t);
  std::vector<Timer*> want;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i != 4 && i != 7) want.push_back(&nodes[i]);
  }
  EXPECT_EQ(got, want);

  // A new node becomes the root only when strictly earlier.
  Node a, b, c;
  a.deadline = 5;
  b.deadline = 5;
  c.deadline = 4;
  heap.insert(&a);
  heap.insert(&b);
  EXPECT_EQ(heap.peek(), &a);
  heap.insert(&c);
  EXPECT_EQ(heap.peek(), &c);
  EXPECT_EQ(heapMeld(&b, &a), &a);  // on a tie the second argument wins
}
