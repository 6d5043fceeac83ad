#include "toolbox/md5.h"

#include <openssl/evp.h>

std::string qmsMD5Hex(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), md, &size, EVP_md5(), nullptr) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}
