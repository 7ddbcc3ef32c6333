// The byte buffer: growth and shrink cases, formatted appends of any length,
// refused growth, and random operation sequences checked step by step against
// a model.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "ff_buffer.h"
#include "ff_buffer_internal.h"

namespace {

std::string data_of(ff_buffer *p) { return std::string(ff_buffer_data(p), (size_t)ff_buffer_data_size(p)); }

bool without_storage(ff_buffer *p) {
  return !p->buf_head && !p->buf_tail && !p->data_head && !p->data_tail && ff_buffer_data_size(p) == 0 &&
         ff_buffer_buf_size(p) == 0;
}

struct BufferDeleter {
  void operator()(ff_buffer *p) const { ff_buffer_free(p); }
};
using Buffer = std::unique_ptr<ff_buffer, BufferDeleter>;

Buffer make(int block_size) {
  Buffer b(ff_buffer_new(block_size));
  EXPECT_NE(b, nullptr);
  return b;
}

TEST(Buffer, GrowsInBlocksStrictlyAboveDataPlusRequest) {
  Buffer b = make(16);
  EXPECT_EQ(ff_buffer_push(b.get(), "0123456789", 10), 10);
  EXPECT_EQ(ff_buffer_buf_size(b.get()), 16);
  EXPECT_EQ(ff_buffer_data(b.get())[10], '\0');
  EXPECT_EQ(ff_buffer_push(b.get(), "abcdef", 6), 6);  // free room 6 is not enough
  EXPECT_EQ(ff_buffer_buf_size(b.get()), 32);
  EXPECT_EQ(data_of(b.get()), "0123456789abcdef");

  Buffer k = make(1024);
  std::string kib(1024, 'k');
  ff_buffer_push(k.get(), kib.data(), 1024);
  EXPECT_EQ(ff_buffer_buf_size(k.get()), 2048);
  Buffer e = make(1024);
  EXPECT_EQ(ff_buffer_increase_buf(e.get(), 1023), 1024);
  EXPECT_EQ(ff_buffer_increase_buf(e.get(), 0), 0);

  // A zero-byte append to a buffer without storage gives an empty text.
  Buffer z = make(8);
  EXPECT_EQ(ff_buffer_push(z.get(), "", 0), 0);
  EXPECT_EQ(ff_buffer_buf_size(z.get()), 8);
  EXPECT_STREQ(ff_buffer_data(z.get()), "");
}

TEST(Buffer, GrowthReclaimsTheConsumedFrontAndMayShrink) {
  Buffer b = make(8);
  ff_buffer_push(b.get(), "abcdef", 6);
  EXPECT_EQ(ff_buffer_remove(b.get(), 3), 3);
  ff_buffer_push(b.get(), "ghi", 3);  // 2 bytes of room: grows, compacting
  EXPECT_EQ(ff_buffer_buf_size(b.get()), 8);
  EXPECT_EQ(ff_buffer_data(b.get()), ff_buffer_buf(b.get()));
  EXPECT_STREQ(ff_buffer_data(b.get()), "defghi");

  Buffer s = make(16);
  std::string forty(40, 'x');
  for (int i = 36; i < 40; i++) forty[(size_t)i] = (char)('A' + i - 36);
  ff_buffer_push(s.get(), forty.data(), 40);
  EXPECT_EQ(ff_buffer_buf_size(s.get()), 48);
  ff_buffer_remove(s.get(), 36);
  ff_buffer_push(s.get(), "0123456789", 10);
  EXPECT_EQ(ff_buffer_buf_size(s.get()), 16);
  EXPECT_STREQ(ff_buffer_data(s.get()), "ABCD0123456789");
}

TEST(Buffer, PopRemoveAndResets) {
  Buffer b = make(16);
  ff_buffer_push(b.get(), "0123456789", 10);
  char out[16] = {0};
  EXPECT_EQ(ff_buffer_pop(b.get(), out, 4), 4);
  EXPECT_STREQ(out, "0123");
  EXPECT_EQ(data_of(b.get()), "456789");
  EXPECT_EQ(ff_buffer_remove(b.get(), 0), 0);
  EXPECT_EQ(data_of(b.get()), "456789");
  EXPECT_EQ(ff_buffer_pop(b.get(), out, 100), 6);
  EXPECT_TRUE(without_storage(b.get()));
  EXPECT_EQ(ff_buffer_pop(b.get(), nullptr, 5), 0);

  ff_buffer_push(b.get(), "x", 1);
  ff_buffer_reset_light(b.get());
  EXPECT_EQ(ff_buffer_buf_size(b.get()), 16);
  EXPECT_EQ(ff_buffer_data_size(b.get()), 0);
  EXPECT_EQ(ff_buffer_remove(b.get(), 0), 0);  // storage but no data: released
  EXPECT_TRUE(without_storage(b.get()));
  ff_buffer_reset_light(b.get());
  EXPECT_TRUE(without_storage(b.get()));

  ff_buffer_push(b.get(), "y", 1);
  EXPECT_EQ(ff_buffer_reset(b.get()), 0);
  EXPECT_TRUE(without_storage(b.get()));
  EXPECT_EQ(b->block_size, 16);

  EXPECT_EQ(ff_buffer_reset(nullptr), -1);
  EXPECT_EQ(ff_buffer_free(nullptr), 0);
  EXPECT_EQ(ff_buffer_free(ff_buffer_new(4)), 1);
  EXPECT_EQ(ff_buffer_new(0), nullptr);
  EXPECT_EQ(ff_buffer_new(-8), nullptr);
}

TEST(Buffer, CopyAppendsAndLeavesTheSourceAlone) {
  Buffer src = make(4), dst = make(4);
  ff_buffer_push(src.get(), "source", 6);
  ff_buffer_push(dst.get(), "dst:", 4);
  EXPECT_EQ(ff_buffer_copy(dst.get(), src.get()), 0);
  EXPECT_STREQ(ff_buffer_data(dst.get()), "dst:source");
  EXPECT_STREQ(ff_buffer_data(src.get()), "source");
  EXPECT_EQ(ff_buffer_copy(nullptr, src.get()), -1);
  EXPECT_EQ(ff_buffer_copy(dst.get(), nullptr), -1);
  EXPECT_EQ(ff_buffer_copy(dst.get(), dst.get()), -1);
  EXPECT_STREQ(ff_buffer_data(dst.get()), "dst:source");
}

TEST(Buffer, FormattedAppendOfAnyLength) {
  Buffer b = make(32);
  EXPECT_EQ(ff_buffer_push_sprintf(b.get(), "%d%c", 42, 'x'), 3);
  EXPECT_STREQ(ff_buffer_data(b.get()), "42x");
  for (size_t len : {4095u, 4096u, 5000u, 100000u}) {
    std::string text(len, 'a');
    text.back() = 'z';
    ff_buffer_reset(b.get());
    ff_buffer_push(b.get(), "<", 1);
    EXPECT_EQ(ff_buffer_push_sprintf(b.get(), "%s|%d", text.c_str(), 7), (int)len + 2) << len;
    EXPECT_EQ(data_of(b.get()), "<" + text + "|7");
    EXPECT_EQ(ff_buffer_data(b.get())[len + 3], '\0');
  }
}

// Everything a caller can see, to show a refused operation changed nothing.
struct Snapshot {
  explicit Snapshot(ff_buffer *p)
      : data(p->data_head), size(ff_buffer_data_size(p)), buf_size(ff_buffer_buf_size(p)), content(data_of(p)),
        terminator(p->data_tail ? *p->data_tail : 'N') {}
  bool operator==(const Snapshot &o) const {
    return data == o.data && size == o.size && buf_size == o.buf_size && content == o.content &&
           terminator == o.terminator;
  }
  char *data;
  int size, buf_size;
  std::string content;
  char terminator;
};

TEST(Buffer, RefusedGrowthLeavesTheBufferExactlyAsItWas) {
  Buffer src = make(8);
  ff_buffer_push(src.get(), "0123456789", 10);
  std::string long_text(6000, 'L');
  for (int consumed : {0, 3}) {
    Buffer b = make(8);
    ff_buffer_push(b.get(), "abcdefg", 7);
    ff_buffer_remove(b.get(), consumed);
    Snapshot before(b.get());
    ff_buffer_fail_after(0);
    EXPECT_EQ(ff_buffer_push(b.get(), "0123456789", 10), -1);
    ff_buffer_fail_after(0);
    EXPECT_EQ(ff_buffer_copy(b.get(), src.get()), -1);
    ff_buffer_fail_after(0);
    EXPECT_EQ(ff_buffer_push_sprintf(b.get(), "%s", "short but too long"), -1);
    ff_buffer_fail_after(0);
    EXPECT_EQ(ff_buffer_push_sprintf(b.get(), "%s", long_text.c_str()), -1);
    ff_buffer_fail_after(0);
    EXPECT_EQ(ff_buffer_set_buf_size(b.get(), 100), -1);
    ff_buffer_fail_after(-1);
    EXPECT_TRUE(Snapshot(b.get()) == before) << "consumed " << consumed;
    // Sizes the int counts cannot hold are refused without allocating.
    EXPECT_EQ(ff_buffer_push(b.get(), "x", INT_MAX - 2), -1);
    EXPECT_EQ(ff_buffer_push(b.get(), "x", -1), -1);
    EXPECT_EQ(ff_buffer_set_buf_size(b.get(), -1), -1);
    EXPECT_EQ(ff_buffer_pop(b.get(), nullptr, -1), 0);
    EXPECT_EQ(ff_buffer_remove(b.get(), -1), 0);
    EXPECT_TRUE(Snapshot(b.get()) == before) << "consumed " << consumed;
    EXPECT_EQ(ff_buffer_push(b.get(), "!", 1), 1);
  }
  Buffer empty = make(8);
  ff_buffer_fail_after(0);
  EXPECT_EQ(ff_buffer_push(empty.get(), "x", 1), -1);
  EXPECT_TRUE(without_storage(empty.get()));
  ff_buffer_fail_after(0);
  EXPECT_EQ(ff_buffer_new(8), nullptr);
  ff_buffer_fail_after(-1);
}

// What the buffer should show, following the growth rule on its own terms.
struct Model {
  explicit Model(int block) : block(block) {}
  int increase(int size) {
    int remain = storage ? buf_size - front - (int)data.size() : 0;
    if (size < remain) return 0;
    buf_size = block * (((int)data.size() + size) / block + 1);
    front = 0;
    storage = true;
    return buf_size - (int)data.size() - remain;
  }
  void append(const std::string &s) {
    increase((int)s.size());
    data += s;
    terminated = true;
  }
  int consume(int size) {
    int n = (int)data.size();
    if (size < n) {
      front += size;
      data.erase(0, (size_t)size);
      return size;
    }
    release();
    return n;
  }
  void release() {
    storage = false;
    buf_size = front = 0;
    data.clear();
    terminated = false;  // a new block holds nothing yet
  }
  int block;
  bool storage = false;
  int buf_size = 0, front = 0;
  std::string data;
  bool terminated = false;  // a 0 byte stands behind the data
};

void expect_matches(ff_buffer *p, const Model &m, const std::string &step) {
  ASSERT_EQ(ff_buffer_data_size(p), (int)m.data.size()) << step;
  ASSERT_EQ(ff_buffer_buf_size(p), m.buf_size) << step;
  if (!m.storage) {
    ASSERT_TRUE(without_storage(p)) << step;
    return;
  }
  ASSERT_EQ(ff_buffer_data(p) - ff_buffer_buf(p), m.front) << step;
  ASSERT_LE(p->data_tail, p->buf_tail) << step;
  ASSERT_EQ(data_of(p), m.data) << step;
  if (m.terminated) {
    ASSERT_LT(p->data_tail, p->buf_tail) << step;
    ASSERT_EQ(*p->data_tail, '\0') << step;
  }
}

TEST(Buffer, RandomOperationsFollowTheModel) {
  std::mt19937 rng(874);
  auto text = [&](int max_len) {
    std::string s((size_t)(rng() % (unsigned)(max_len + 1)), '\0');
    for (char &c : s) c = (char)('a' + rng() % 26);
    return s;
  };
  for (int block : {1, 8, 16, 1024}) {
    for (int run = 0; run < 40; run++) {
      Buffer b = make(block), other = make(block);
      Model m(block);
      int max_len = (int)(rng() % 3 == 0 ? 3000 : 40);
      for (int step = 0; step < 200; step++) {
        std::string what;
        switch (rng() % 9) {
          case 0:
          case 1: {
            std::string s = text(max_len);
            what = "push " + std::to_string(s.size());
            ASSERT_EQ(ff_buffer_push(b.get(), s.data(), (int)s.size()), (int)s.size());
            m.append(s);
            break;
          }
          case 2: {
            std::string s = text(max_len);
            what = "sprintf " + std::to_string(s.size());
            ASSERT_EQ(ff_buffer_push_sprintf(b.get(), "<%s>", s.c_str()), (int)s.size() + 2);
            m.append("<" + s + ">");
            break;
          }
          case 3: {
            int n = (int)(rng() % (m.data.size() + 3));
            what = "pop " + std::to_string(n);
            std::string out((size_t)n, '#');
            int taken = std::min(n, (int)m.data.size());
            std::string expected = m.data.substr(0, (size_t)taken);
            bool into_area = rng() % 4 != 0;
            ASSERT_EQ(ff_buffer_pop(b.get(), into_area ? &out[0] : nullptr, n), taken);
            if (into_area) ASSERT_EQ(out.substr(0, (size_t)taken), expected) << what;
            m.consume(taken);
            break;
          }
          case 4: {
            int n = (int)(rng() % (m.data.size() + 3));
            what = "remove " + std::to_string(n);
            ASSERT_EQ(ff_buffer_remove(b.get(), n), m.consume(n));
            break;
          }
          case 5:
            what = rng() % 2 ? "reset" : "reset_light";
            if (what == "reset") {
              ASSERT_EQ(ff_buffer_reset(b.get()), 0);
              m.release();
            } else {
              ASSERT_EQ(ff_buffer_reset_light(b.get()), 0);
              m.front = 0;
              m.data.clear();
              m.terminated = false;  // nothing is written
            }
            break;
          case 6: {
            std::string s = text(max_len);
            what = "copy " + std::to_string(s.size());
            ff_buffer_reset(other.get());
            ff_buffer_push(other.get(), s.data(), (int)s.size());
            ASSERT_EQ(ff_buffer_copy(b.get(), other.get()), 0);
            ASSERT_EQ(data_of(other.get()), s);
            m.append(s);
            break;
          }
          case 7: {
            std::string s = text(max_len);
            what = "set_buf_size " + std::to_string(s.size());
            int old_size = ff_buffer_data_size(b.get());
            ASSERT_EQ(ff_buffer_set_buf_size(b.get(), (int)s.size()), (int)s.size());
            if (!s.empty()) memcpy(ff_buffer_data(b.get()) + old_size, s.data(), s.size());
            m.increase((int)s.size());
            m.data += s;
            m.terminated = false;
            break;
          }
          default: {
            int n = (int)(rng() % 50);
            what = "increase " + std::to_string(n);
            ASSERT_EQ(ff_buffer_increase_buf(b.get(), n), m.increase(n));
            break;
          }
        }
        expect_matches(b.get(), m, "block " + std::to_string(block) + " step " + std::to_string(step) + ": " + what);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
