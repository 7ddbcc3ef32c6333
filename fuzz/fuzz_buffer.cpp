// The byte buffer driven by arbitrary operation sequences and checked after
// each step against a std::string holding what the buffer should hold.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ff_buffer.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

struct Input {
  const uint8_t *data;
  size_t size;
  uint8_t byte() {
    if (!size) return 0;
    size--;
    return *data++;
  }
  // Mostly short sizes, now and then one past the 4096-byte scratch area.
  int length() {
    int n = byte();
    return n & 0x80 ? (n | (byte() << 8)) % 4200 : n;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in{data, size};
  int block = 1 + in.byte() % 64;
  ff_buffer *b = ff_buffer_new(block);
  ff_buffer *other = ff_buffer_new(1 + in.byte() % 64);
  check(b && other);
  std::string model;
  bool terminated = false;
  char scratch[70000];
  while (in.size) {
    int n = in.length();
    switch (in.byte() % 8) {
      case 0: {
        std::string s((size_t)n, (char)('a' + n % 26));
        check(ff_buffer_push(b, s.data(), n) == n);
        model += s;
        terminated = true;
        break;
      }
      case 1: {
        int taken = ff_buffer_pop(b, scratch, n);
        check(taken == (n < (int)model.size() ? n : (int)model.size()));
        check(model.compare(0, (size_t)taken, scratch, (size_t)taken) == 0);
        model.erase(0, (size_t)taken);
        break;
      }
      case 2:
        check(ff_buffer_remove(b, n) == (n < (int)model.size() ? n : (int)model.size()));
        model.erase(0, (size_t)n);
        break;
      case 3:
        if (n % 2) {
          ff_buffer_reset(b);
        } else {
          ff_buffer_reset_light(b);
        }
        model.clear();
        terminated = false;
        break;
      case 4: {
        std::string s((size_t)n, 'f');
        int appended = ff_buffer_push_sprintf(b, "%s|%d", s.c_str(), n);
        std::string text = s + "|" + std::to_string(n);
        check(appended == (int)text.size());
        model += text;
        terminated = true;
        break;
      }
      case 5: {
        ff_buffer_reset(other);
        std::string s((size_t)n, 'c');
        ff_buffer_push(other, s.data(), n);
        check(ff_buffer_copy(b, other) == 0);
        model += s;
        terminated = true;
        break;
      }
      case 6: {
        int old_size = ff_buffer_data_size(b);
        check(ff_buffer_set_buf_size(b, n) == n);
        memset(ff_buffer_data(b) + old_size, 's', (size_t)n);
        model += std::string((size_t)n, 's');
        terminated = false;
        break;
      }
      default:
        check(ff_buffer_increase_buf(b, n) >= 0);
        check(ff_buffer_buf_size(b) - (int)(b->data_tail - b->buf_head) > n);
        break;
    }
    int data_size = ff_buffer_data_size(b);
    check(data_size == (int)model.size());
    check(ff_buffer_buf_size(b) % block == 0);
    if (!b->buf_head) {
      check(!b->data_head && !b->data_tail && !b->buf_tail);
      terminated = false;
      continue;
    }
    check(b->buf_head <= b->data_head && b->data_head <= b->data_tail && b->data_tail <= b->buf_tail);
    check(memcmp(ff_buffer_data(b), model.data(), model.size()) == 0);
    if (terminated) check(b->data_tail < b->buf_tail && *b->data_tail == '\0');
  }
  ff_buffer_free(b);
  ff_buffer_free(other);
  return 0;
}
