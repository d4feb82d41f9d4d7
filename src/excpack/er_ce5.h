// RC5-32 (64-bit blocks, 32-bit words) with a variable number of rounds, and its CBC mode.
// The cipher state is wiped by burn() and by the destructor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::excpack {

class Rc5Cipher {
 public:
  static constexpr std::size_t kBlockSize = 8;
  using Block = std::array<uint8_t, kBlockSize>;

  Rc5Cipher() = default;
  /// Expands the key; throws std::runtime_error for a key of 0 or more than 256 bytes
  /// and std::invalid_argument for more than 255 rounds. Resets the chaining value to zero.
  Rc5Cipher(std::span<const uint8_t> key, unsigned rounds);
  ~Rc5Cipher();
  Rc5Cipher(const Rc5Cipher&) = delete;
  Rc5Cipher& operator=(const Rc5Cipher&) = delete;

  /// Single-block transforms (ECB), in place.
  void encryptBlock(uint8_t* block) const;
  void decryptBlock(uint8_t* block) const;

  /// Sets the CBC chaining value.
  void setIv(const Block& iv) { chain_ = iv; }
  /// CBC over every whole block of data, in place; bytes after the last whole block are
  /// left untouched. The chaining value carries on to the next call.
  void encryptCbc(std::span<uint8_t> data);
  void decryptCbc(std::span<uint8_t> data);

  /// Clears the expanded key and the chaining value.
  void burn();

 private:
  unsigned rounds_ = 0;
  std::vector<uint32_t> table_;
  Block chain_{};
};

}  // namespace ostrel::excpack
