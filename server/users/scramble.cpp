#include "server/users/scramble.h"

#include <cstdint>

#include "toolbox/platform.h"

namespace {

// Changing the key invalidates every stored password (they must then be set again through
// the "-" form) and the two built-in defaults below, which a test recomputes.
constexpr char kProgramKey[] = "Qm5!k9Zr#2Lw";
static_assert(sizeof(kProgramKey) - 1 == 12, "the program key has 12 characters");

// FNV-1a over the key gives the generator's seed.
uint64_t Seed() {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i + 1 < sizeof(kProgramKey); ++i) {
    h ^= static_cast<unsigned char>(kProgramKey[i]);
    h *= 0x100000001b3ull;
  }
  return h;
}

// splitmix64: small, well mixed and fully deterministic.
uint64_t Next(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* const kQmsDefaultAdminPasswordHex = "BC382D0D24127179686BB82380";
const char* const kQmsDefaultUserPasswordHex = "BC2037343B1A623A";

std::string qmsScramble(std::string_view bytes) {
  std::string out(bytes);
  uint64_t state = Seed();
  uint64_t word = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (i % 8 == 0) word = Next(state);
    out[i] =
        static_cast<char>(static_cast<unsigned char>(out[i]) ^ ((word >> (8 * (i % 8))) & 0xFF));
  }
  return out;
}

std::string qmsHexEncode(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool qmsHexDecode(std::string_view hex, std::string& out) {
  out.clear();
  if (hex.size() > kQmsMaxPasswordHex) hex = hex.substr(0, kQmsMaxPasswordHex);
  for (size_t i = 0; i < hex.size(); ++i) {
    if (HexValue(hex[i]) < 0) return false;
  }
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(HexValue(hex[i]) * 16 + HexValue(hex[i + 1]));
  return true;
}

std::string qmsDefaultPassword(const std::string& account) {
  const std::string lower = jvb::AsciiLower(account);
  std::string bytes;
  if (lower == "admin")
    qmsHexDecode(kQmsDefaultAdminPasswordHex, bytes);
  else if (lower == "user")
    qmsHexDecode(kQmsDefaultUserPasswordHex, bytes);
  return bytes;
}
