// Threads and condition variables. Every condition test runs in each mode the
// platform has: native, and on Windows also the emulated condition. Waits that
// a bug could make endless are bounded here; the ctest time-out bounds the rest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ff.h"
#include "ff_calloc_internal.h"
#include "ff_thread.h"
#include "ff_thread_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point since) {
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Polls pred for up to limit_ms; true as soon as it holds.
bool eventually(const std::function<bool()> &pred, int limit_ms = 5000) {
  Clock::time_point start = Clock::now();
  while (!pred()) {
    if (elapsed_ms(start) > limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What the waiter threads share with the test.
struct Shared {
  hnd_t cond = nullptr;
  hnd_t mutex = nullptr;
  std::atomic<int> registered{0};  // holding the mutex, about to wait
  std::atomic<int> woken{0};       // back from the wait, mutex re-entered
};

int waiter(void *arg) {
  Shared *s = (Shared *)arg;
  ff_mutex_lock(s->mutex);
  s->registered++;
  ff_cond_wait(s->cond, s->mutex);
  s->woken++;
  ff_mutex_unlock(s->mutex);
  return 0;
}

enum class Mode { Native, Emulated };

std::vector<Mode> platform_modes() {
  std::vector<Mode> modes{Mode::Native};
  if (ff_cond_force_emulation(1) == 0) modes.push_back(Mode::Emulated);
  ff_cond_force_emulation(0);
  return modes;
}

std::string mode_name(const testing::TestParamInfo<Mode> &info) {
  return info.param == Mode::Native ? "Native" : "Emulated";
}

// Messages of the platform unit, and of the portable one (thread records).
const char *kTagPrefix = "ff_thread_(win32|posix)\\([0-9]+\\): ";
const char *kPortablePrefix = "ff_thread\\([0-9]+\\): ";

class Cond : public testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    ASSERT_EQ(ff_cond_force_emulation(emulated() ? 1 : 0), 0);
    ASSERT_EQ(ff_mutex_open(&s.mutex), 0);
    ASSERT_EQ(ff_cond_open(&s.cond), 0);
    ASSERT_EQ(ff_cond_is_native(), emulated() ? 0 : 1);
  }

  void TearDown() override {
    // Threads still blocked on the condition were leaked by a failed test;
    // closing it under them would turn a failure into a crash.
    if (stuck) return;
    for (hnd_t t : threads) {
      ff_thread_join(t);
      ff_thread_close(t);
    }
    EXPECT_EQ(ff_cond_close(s.cond), 0);
    EXPECT_EQ(ff_mutex_close(s.mutex), 0);
    ff_cond_force_emulation(0);
  }

  bool emulated() const { return GetParam() == Mode::Emulated; }

  // Starts n waiters and returns once all of them sleep on the condition:
  // each registers while holding the mutex, and the wait releases it.
  void start_waiters(int n) {
    for (int i = 0; i < n; i++) {
      hnd_t t = nullptr;
      ASSERT_EQ(ff_thread_open(&t, waiter, &s), 0) << ff_get_msg();
      threads.push_back(t);
    }
    ASSERT_TRUE(eventually([&] { return s.registered == n; }));
    ff_mutex_lock(s.mutex);
    ff_mutex_unlock(s.mutex);
  }

  // Wakes whoever still waits, so the threads can be joined.
  void release_all(int n) {
    ff_cond_broadcast(s.cond);
    stuck = !eventually([&] { return s.woken == n; });
    EXPECT_FALSE(stuck) << "woken " << s.woken;
  }

  Shared s;
  std::vector<hnd_t> threads;
  bool stuck = false;
};

TEST_P(Cond, WakeWithNoWaiterWakesNobodyLater) {
  EXPECT_EQ(ff_cond_signal(s.cond), 0);
  EXPECT_EQ(ff_cond_broadcast(s.cond), 0);
  start_waiters(1);
  pause_ms(100);
  EXPECT_EQ(s.woken, 0);
  if (emulated()) EXPECT_EQ(ff_cond_waiter_count(s.cond), 1);
  EXPECT_EQ(ff_cond_signal(s.cond), 0);
  stuck = !eventually([&] { return s.woken == 1; });
  EXPECT_FALSE(stuck);
}

TEST_P(Cond, SignalWakesExactlyOneOfThree) {
  start_waiters(3);
  ff_mutex_lock(s.mutex);
  EXPECT_EQ(ff_cond_signal(s.cond), 0);
  // Emulated, the signal returns only after the woken waiter counted itself
  // out, though it cannot have the mutex yet.
  if (emulated()) EXPECT_EQ(ff_cond_waiter_count(s.cond), 2);
  EXPECT_EQ(s.woken, 0);
  ff_mutex_unlock(s.mutex);
  EXPECT_TRUE(eventually([&] { return s.woken == 1; }));
  pause_ms(100);
  EXPECT_EQ(s.woken, 1);
  if (emulated()) EXPECT_EQ(ff_cond_waiter_count(s.cond), 2);
  release_all(3);
}

TEST_P(Cond, BroadcastReturnsAfterAllThreeLeft) {
  start_waiters(3);
  // The broadcaster holds the mutex: the woken waiters must be able to let it
  // go on without the mutex.
  ff_mutex_lock(s.mutex);
  EXPECT_EQ(ff_cond_broadcast(s.cond), 0);
  if (emulated()) {
    EXPECT_EQ(ff_cond_waiter_count(s.cond), 0);
    EXPECT_EQ(ff_cond_is_broadcast(s.cond), 0);
  }
  EXPECT_EQ(s.woken, 0);
  ff_mutex_unlock(s.mutex);
  stuck = !eventually([&] { return s.woken == 3; });
  EXPECT_FALSE(stuck) << "woken " << s.woken;
}

TEST_P(Cond, RepeatedSignalsEachWakeOne) {
  start_waiters(3);
  for (int expected = 1; expected <= 3; expected++) {
    EXPECT_EQ(ff_cond_signal(s.cond), 0);
    EXPECT_TRUE(eventually([&] { return s.woken == expected; })) << expected;
  }
  stuck = s.woken != 3;
}

// After a timed wait the caller holds the mutex again: another thread cannot
// take it until the caller lets it go.
void expect_mutex_held_by_caller(hnd_t mutex) {
  std::atomic<bool> taken{false};
  std::thread other([&] {
    ff_mutex_lock(mutex);
    taken = true;
    ff_mutex_unlock(mutex);
  });
  pause_ms(100);
  EXPECT_FALSE(taken);
  ff_mutex_unlock(mutex);
  EXPECT_TRUE(eventually([&] { return taken.load(); }));
  other.join();
}

TEST_P(Cond, TimedWaitRunsOutOrRefusesByMode) {
  ff_set_msg(nullptr, 0, "before");
  ff_mutex_lock(s.mutex);
  Clock::time_point start = Clock::now();
  // Emulated, a long limit: returning well before it proves no wait happened.
  EXPECT_EQ(ff_cond_timedwait(s.cond, s.mutex, emulated() ? 10000 : 200), 0);
  int waited = elapsed_ms(start);
  if (emulated()) {
    EXPECT_LT(waited, 5000);
    EXPECT_TRUE(std::regex_match(ff_get_msg(), std::regex(std::string(kTagPrefix) +
                                                          "no support ff_cond_timedwait currently ")))
        << ff_get_msg();
  } else {
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 5000);
    EXPECT_STREQ(ff_get_msg(), "before");
  }
  expect_mutex_held_by_caller(s.mutex);
}

TEST_P(Cond, TimedWaitEndsEarlyOnSignal) {
  if (emulated()) GTEST_SKIP() << "the emulated condition has no timed wait";
  std::atomic<bool> waiting{false};
  std::thread signaller([&] {
    eventually([&] { return waiting.load(); });
    ff_mutex_lock(s.mutex);  // free only once the timed wait has released it
    ff_cond_signal(s.cond);
    ff_mutex_unlock(s.mutex);
  });
  ff_mutex_lock(s.mutex);
  waiting = true;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ff_cond_timedwait(s.cond, s.mutex, 20000), 0);
  EXPECT_LT(elapsed_ms(start), 5000);
  ff_mutex_unlock(s.mutex);
  signaller.join();
}

// A thread function that runs until the test opens its gate (or 5 s pass).
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> done{false};
};

int gated(void *arg) {
  Gate *g = (Gate *)arg;
  eventually([&] { return g->open.load(); });
  g->done = true;
  return 42;
}

TEST_P(Cond, JoinOfEndedThreadReturnsAtOnce) {
  Gate g;
  g.open = true;
  hnd_t t = nullptr;
  ASSERT_EQ(ff_thread_open(&t, gated, &g), 0) << ff_get_msg();
  ASSERT_TRUE(eventually([&] { return g.done.load(); }));
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ff_thread_join(t), 0);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(ff_thread_join(t), 0);  // joining again is harmless
  EXPECT_EQ(ff_thread_close(t), 0);
}

TEST_P(Cond, JoinOfRunningThreadWaitsForItsFunction) {
  Gate g;
  hnd_t t = nullptr;
  ASSERT_EQ(ff_thread_open(&t, gated, &g), 0) << ff_get_msg();
  std::thread opener([&] {
    pause_ms(200);
    g.open = true;
  });
  Clock::time_point start = Clock::now();
  EXPECT_EQ(ff_thread_join(t), 0);
  EXPECT_TRUE(g.done);
  EXPECT_GE(elapsed_ms(start), 150);
  opener.join();
  EXPECT_EQ(ff_thread_close(t), 0);
}

TEST_P(Cond, FailedOpensLeaveHandleUntouched) {
  hnd_t *const sentinel = (hnd_t *)&s;
  struct Case {
    int skip;
    const char *message;
  };
  // ff_thread_open allocates its record, then its condition, then its mutex.
  for (Case c : {Case{0, "failed to ff_calloc ff_thread"}, Case{1, "failed to init 'p->thd_cond' .*"},
                 Case{2, "failed to init 'p->thd_mutex' .*"}}) {
    hnd_t h = sentinel;
    ff_calloc_fail_after(c.skip);
    EXPECT_EQ(ff_thread_open(&h, gated, nullptr), -1);
    ff_calloc_fail_after(-1);
    EXPECT_EQ(h, sentinel);
    EXPECT_TRUE(std::regex_match(ff_get_msg(), std::regex(std::string(kPortablePrefix) + c.message)))
        << c.skip << ": " << ff_get_msg();
  }
  hnd_t h = sentinel;
  ff_calloc_fail_after(0);
  EXPECT_EQ(ff_cond_open(&h), -1);
  ff_calloc_fail_after(-1);
  EXPECT_EQ(h, sentinel);
  EXPECT_TRUE(std::regex_match(ff_get_msg(), std::regex(std::string(kTagPrefix) + "failed to ff_calloc ff_cond")))
      << ff_get_msg();
}

INSTANTIATE_TEST_SUITE_P(Modes, Cond, testing::ValuesIn(platform_modes()), mode_name);

TEST(ThreadHandles, CloseOfNullHandlesFails) {
  EXPECT_EQ(ff_thread_close(nullptr), -1);
  EXPECT_EQ(ff_mutex_close(nullptr), -1);
  EXPECT_EQ(ff_cond_close(nullptr), -1);
}

// A thread whose end lags behind its function: the destructor of a
// thread-local object runs after the function has returned and the thread's
// lock is free, and before the thread has ended.
struct Lagging {
  std::atomic<bool> open{false};
  std::atomic<bool> ended{false};
};
Lagging lagging;
struct LateEnd {
  ~LateEnd() {
    pause_ms(200);
    lagging.ended = true;
  }
};
thread_local LateEnd late_end;

int lagging_thread(void *) {
  (void)&late_end;  // made on first use, in this thread
  eventually([] { return lagging.open.load(); });
  return 0;
}

// Two joins at once of one thread: each returns once the thread has ended,
// neither before.
TEST(ThreadHandles, ConcurrentJoinsBothWaitForTheEnd) {
  hnd_t t = nullptr;
  ASSERT_EQ(ff_thread_open(&t, lagging_thread, nullptr), 0) << ff_get_msg();
  std::atomic<int> ended_seen{0};
  std::vector<std::thread> joiners;
  for (int i = 0; i < 2; i++) {
    joiners.emplace_back([&] {
      EXPECT_EQ(ff_thread_join(t), 0);
      ended_seen += lagging.ended ? 1 : 0;
    });
  }
  pause_ms(50);  // both joiners wait for the function
  lagging.open = true;
  for (auto &j : joiners) j.join();
  EXPECT_EQ(ended_seen, 2);
  EXPECT_EQ(ff_thread_close(t), 0);
}

// Many short-lived threads: each is joined and closed without leaking (the
// sanitizer build checks the releases).
TEST(ThreadHandles, ManyThreadsOpenJoinClose) {
  std::atomic<int> runs{0};
  auto count = [](void *arg) -> int {
    (*(std::atomic<int> *)arg)++;
    return 0;
  };
  for (int i = 0; i < 50; i++) {
    hnd_t t = nullptr;
    ASSERT_EQ(ff_thread_open(&t, count, &runs), 0) << ff_get_msg();
    EXPECT_EQ(ff_thread_join(t), 0);
    EXPECT_EQ(ff_thread_close(t), 0);
  }
  EXPECT_EQ(runs, 50);
}

}  // namespace
