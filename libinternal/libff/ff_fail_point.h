// Test seam shared by the allocators: makes a chosen allocation fail, so tests
// can walk every out-of-memory path. Private to the library.
#ifndef FF_FAIL_POINT_H
#define FF_FAIL_POINT_H

#include <atomic>

struct ff_fail_point {
  std::atomic<int> countdown{-1};

  // The pass after `skip` successful ones fails, once; -1 disarms.
  void arm(int skip) { countdown.store(skip, std::memory_order_relaxed); }

  bool hit() {
    int n = countdown.load(std::memory_order_relaxed);
    if (n < 0) return false;
    countdown.store(n - 1, std::memory_order_relaxed);
    return n == 0;
  }
};

#endif
