// RC5-32/r/b after Rivest: key table seeded from P32/Q32, 3 * max(t, c) mixing steps,
// data-dependent rotations by the low five bits. Words are little-endian in memory.
#include "excpack/er_ce5.h"

#include <algorithm>
#include <stdexcept>

namespace ostrel::excpack {

namespace {

constexpr uint32_t kP32 = 0xB7E15163u;
constexpr uint32_t kQ32 = 0x9E3779B9u;

uint32_t rotl(uint32_t v, uint32_t n) {
  n &= 31u;
  return n == 0 ? v : (v << n) | (v >> (32u - n));
}

uint32_t rotr(uint32_t v, uint32_t n) {
  n &= 31u;
  return n == 0 ? v : (v >> n) | (v << (32u - n));
}

uint32_t load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Writes through a volatile pointer so the wipe is not optimised away.
template <typename T>
void wipe(T* data, std::size_t count) {
  volatile T* p = data;
  for (std::size_t i = 0; i < count; ++i) p[i] = T{};
}

}  // namespace

Rc5Cipher::Rc5Cipher(std::span<const uint8_t> key, unsigned rounds) {
  if (key.empty() || key.size() > 256)
    throw std::runtime_error("RC5: Key length must be between 1 and 256 bytes");
  if (rounds > 255) throw std::invalid_argument("RC5: at most 255 rounds");
  rounds_ = rounds;
  const std::size_t c = std::max<std::size_t>(1, (key.size() + 3) / 4);
  const std::size_t t = 2 * std::size_t(rounds) + 2;
  std::vector<uint32_t> l(c, 0);
  for (std::size_t i = key.size(); i-- > 0;) l[i / 4] = (l[i / 4] << 8) + key[i];
  table_.resize(t);
  table_[0] = kP32;
  for (std::size_t i = 1; i < t; ++i) table_[i] = table_[i - 1] + kQ32;
  uint32_t a = 0, b = 0;
  std::size_t i = 0, j = 0;
  for (std::size_t k = 0; k < 3 * std::max(t, c); ++k) {
    a = table_[i] = rotl(table_[i] + a + b, 3);
    b = l[j] = rotl(l[j] + a + b, a + b);
    i = (i + 1) % t;
    j = (j + 1) % c;
  }
  wipe(l.data(), l.size());
}

Rc5Cipher::~Rc5Cipher() { burn(); }

void Rc5Cipher::encryptBlock(uint8_t* block) const {
  if (table_.empty()) return;
  uint32_t a = load32(block) + table_[0];
  uint32_t b = load32(block + 4) + table_[1];
  for (unsigned r = 1; r <= rounds_; ++r) {
    a = rotl(a ^ b, b) + table_[2 * r];
    b = rotl(b ^ a, a) + table_[2 * r + 1];
  }
  store32(block, a);
  store32(block + 4, b);
}

void Rc5Cipher::decryptBlock(uint8_t* block) const {
  if (table_.empty()) return;
  uint32_t a = load32(block);
  uint32_t b = load32(block + 4);
  for (unsigned r = rounds_; r >= 1; --r) {
    b = rotr(b - table_[2 * r + 1], a) ^ a;
    a = rotr(a - table_[2 * r], b) ^ b;
  }
  store32(block, a - table_[0]);
  store32(block + 4, b - table_[1]);
}

void Rc5Cipher::encryptCbc(std::span<uint8_t> data) {
  for (std::size_t off = 0; off + kBlockSize <= data.size(); off += kBlockSize) {
    uint8_t* block = data.data() + off;
    for (std::size_t i = 0; i < kBlockSize; ++i) block[i] ^= chain_[i];
    encryptBlock(block);
    std::copy(block, block + kBlockSize, chain_.begin());
  }
}

void Rc5Cipher::decryptCbc(std::span<uint8_t> data) {
  for (std::size_t off = 0; off + kBlockSize <= data.size(); off += kBlockSize) {
    uint8_t* block = data.data() + off;
    Block cipher;
    std::copy(block, block + kBlockSize, cipher.begin());
    decryptBlock(block);
    for (std::size_t i = 0; i < kBlockSize; ++i) block[i] ^= chain_[i];
    chain_ = cipher;
  }
}

void Rc5Cipher::burn() {
  wipe(table_.data(), table_.size());
  table_.clear();
  wipe(chain_.data(), chain_.size());
  rounds_ = 0;
}

}  // namespace ostrel::excpack
