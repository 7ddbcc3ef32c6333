// UTF-8 <-> UTF-16 on arbitrary input. The first byte picks the direction and
// a bound; the areas are sized exactly, so a write past the bound is caught.
//   UTF-16 -> UTF-8 -> UTF-16 gives the input without its lone surrogates.
//   UTF-8 -> UTF-16 -> UTF-8 is stable after the first round.
//   A bounded conversion writes a prefix of the unbounded one.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ff.h"
#include "ff_text.h"

namespace {

using U16 = std::vector<uint16_t>;

void check(bool ok) {
  if (!ok) abort();
}

U16 to16(const std::string &s) {
  int len = -1;
  uint16_t *area = ff_utf8_to_utf16_2(s.data(), (int)s.size(), &len);
  check(area && len >= 0 && len <= (int)s.size() && area[len] == 0);
  U16 out(area, area + len);
  ff_free(area);
  return out;
}

std::string to8(const U16 &u) {
  int len = -1;
  char *area = ff_utf16_to_utf8_2(u.data(), (int)u.size(), &len);
  check(area && len >= 0 && len <= 3 * (int)u.size() && area[len] == 0);
  std::string out(area, (size_t)len);
  ff_free(area);
  return out;
}

// The units that belong to no well-ordered surrogate pair are dropped.
U16 without_lone_surrogates(const U16 &u) {
  U16 out;
  for (size_t i = 0; i < u.size(); i++) {
    bool high = u[i] >= 0xD800 && u[i] <= 0xDBFF;
    bool low = u[i] >= 0xDC00 && u[i] <= 0xDFFF;
    if (high && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      out.push_back(u[i]);
      out.push_back(u[++i]);
    } else if (!high && !low) {
      out.push_back(u[i]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t control = data[0];
  data++;
  size--;
  int bound = control >> 1;
  if (control & 1) {
    U16 units(size / 2);
    if (!units.empty()) memcpy(units.data(), data, units.size() * 2);
    std::string utf8 = to8(units);
    check(to16(utf8) == without_lone_surrogates(units));
    std::vector<char> area((size_t)bound);
    int len = -1;
    ff_utf16_to_utf8(units.data(), (int)units.size(), area.data(), &len, bound);
    check(len >= 0 && len <= bound && utf8.compare(0, (size_t)len, area.data(), (size_t)len) == 0);
  } else {
    std::string in((const char *)data, size);
    U16 once = to16(in);
    std::string back = to8(once);
    check(to8(to16(back)) == back);
    U16 area((size_t)bound);
    int len = -1;
    ff_utf8_to_utf16(in.data(), (int)in.size(), area.data(), &len, bound);
    check(len >= 0 && len <= bound && std::equal(area.begin(), area.begin() + len, once.begin()));
  }
  return 0;
}
