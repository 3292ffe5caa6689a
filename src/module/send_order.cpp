#include "module/send_order.hpp"

#include <new>

namespace ombrel {

bool SendOrder::enqueue(std::int32_t fd, SendTurn* t, bool* first) noexcept {
  t->next = nullptr;
  try {
    auto [it, fresh] = lines.try_emplace(fd, Line{t, t});
    *first = fresh;
    if (!fresh) {
      it->second.tail->next = t;
      it->second.tail = t;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

SendTurn* SendOrder::dequeue(std::int32_t fd) noexcept {
  auto it = lines.find(fd);
  if (it == lines.end()) return nullptr;  // cleared by close meanwhile
  SendTurn* next = it->second.head->next;
  if (next == nullptr) {
    lines.erase(it);
  } else {
    it->second.head = next;
  }
  return next;
}

}  // namespace ombrel
