#include "server/users/userstat.h"

#include <cstring>

uint32_t Tqms_user::Get(Counter c) const {
  if (c < 0 || c >= kCounters) return 0;
  const unsigned char* p = bytes_.data() + 4 * static_cast<size_t>(c);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Tqms_user::Set(Counter c, uint32_t value) {
  if (c < 0 || c >= kCounters) return;
  unsigned char* p = bytes_.data() + 4 * static_cast<size_t>(c);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

void Tqms_user::Load(const void* data, size_t size) {
  Clear();
  if (data && size) std::memcpy(bytes_.data(), data, size < kSize ? size : kSize);
}
