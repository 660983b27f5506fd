// CallsAtEnd: the functions a thread calls when something of its own ends (its KeepSpares, the
// thread itself): each frees what a cache of the thread keeps in a plain thread_local pointer.
// A plain aggregate, so that a thread_local one has nothing destroyed at the thread's end.
// Internal to the engine.
#pragma once

#include <cstddef>

namespace engine {

struct CallsAtEnd {
  static constexpr size_t kMost = 4;
  void (*calls[kMost])() = {};
  size_t count = 0;

  // Adds `call` (once, however often it is given); false when the list is full.
  bool Add(void (*call)()) {
    for (size_t i = 0; i < count; ++i)
      if (calls[i] == call) return true;
    if (count == kMost) return false;
    calls[count++] = call;
    return true;
  }
  // Calls each, in the order added, and empties the list.
  void CallAll() {
    for (size_t i = 0; i < count; ++i) calls[i]();
    count = 0;
  }
};

}  // namespace engine
