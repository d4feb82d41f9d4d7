#include <gtest/gtest.h>

#include <vector>

#include "engine/live_memory_source.h"
#include "fake_platform.h"
#include "stack/stack_walker.h"

namespace ostrel {
namespace {

constexpr Handle kProcess = 0x100;
constexpr Address kApp = 0x400000;
constexpr Address kBroken = 0x10000000;

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

/// Headers of an image of SizeOfImage 0x4000: code at 0x1000..0x2800, data at 0x3000.
std::vector<uint8_t> headers(uint16_t sectionCount) {
  std::vector<uint8_t> h(0x400, 0);
  put16(h, 0, 0x5A4D);
  put32(h, 0x3C, 0x80);
  h[0x80] = 'P';
  h[0x81] = 'E';
  put16(h, 0x86, sectionCount);
  put16(h, 0x94, 0xE0);
  put16(h, 0x98, 0x10B);
  put32(h, 0x98 + 56, 0x4000);
  const size_t table = 0x98 + 0xE0;
  put32(h, table + 8, 0x1800);
  put32(h, table + 12, 0x1000);
  put32(h, table + 36, 0x60000020);  // code, execute, read
  put32(h, table + 40 + 8, 0x200);
  put32(h, table + 40 + 12, 0x3000);
  put32(h, table + 40 + 36, 0xC0000040);  // initialised data, read, write
  return h;
}

TEST(LiveMemorySource, ReadsStopAtTheFirstUnreadablePage) {
  fake::FakePlatform platform;
  // 68 KiB readable from 0x20000: more than one platform read, then a hole.
  std::vector<uint8_t> bytes(0x11000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 256);
  platform.poke(kProcess, 0x20000, bytes.data(), bytes.size());
  LiveMemorySource source(platform, kProcess, std::nullopt);

  std::vector<uint8_t> out(0x12000, 0xEE);
  ASSERT_EQ(source.read(0x20010, out.data(), 0x12000), 0x10FF0u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 0x10FF0, bytes.begin() + 0x10));
  EXPECT_EQ(source.read(0x31000, out.data(), 4), 0u);
  EXPECT_EQ(source.read(0x30FFE, out.data(), 4), 2u);
  EXPECT_EQ(source.read(0xFFFFFFFE, out.data(), 4), 0u);
}

TEST(LiveMemorySource, ModulesAndTheirCodeComeFromTheLoadedHeaders) {
  fake::FakePlatform platform;
  auto app = headers(2);
  platform.poke(kProcess, kApp, app.data(), app.size());
  platform.addModule(kProcess, kApp, "C:\\app\\app.exe");
  // A section count the loader would refuse: not taken for a module.
  auto broken = headers(200);
  platform.poke(kProcess, kBroken, broken.data(), broken.size());
  platform.addModule(kProcess, kBroken, "C:\\app\\broken.dll");
  const std::vector<uint8_t> page(0x1000, 0);
  platform.poke(kProcess, kApp + 0x1000, page.data(), page.size());
  platform.poke(kProcess, kApp + 0x3000, page.data(), page.size());
  // Call-site bytes (E8 rel32) before a code address and before a data address.
  const uint8_t call[] = {0xE8, 0x10, 0x00, 0x00, 0x00};
  platform.poke(kProcess, kApp + 0x10FB, call, sizeof call);
  platform.poke(kProcess, kApp + 0x30FB, call, sizeof call);
  // A thread stack whose frame chain returns first into data, then into code.
  const Address low = 0x120000, high = 0x121000;
  std::vector<uint8_t> stack(high - low, 0);
  put32(stack, 0x100, low + 0x200);    // frame at low + 0x100: saved frame pointer
  put32(stack, 0x104, kApp + 0x3100);  // returns into the data section
  put32(stack, 0x200, 0);
  put32(stack, 0x204, kApp + 0x1100);
  platform.poke(kProcess, low, stack.data(), stack.size());

  LiveMemorySource source(platform, kProcess, StackRange{low, high});
  ASSERT_EQ(source.modules().size(), 1u);
  const LiveModule* module = source.moduleOf(kApp + 0x1100);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->path, "C:\\app\\app.exe");
  EXPECT_EQ(module->size, 0x4000u);
  EXPECT_TRUE(source.moduleAt(kApp + 0x27FF)->executable);
  EXPECT_FALSE(source.moduleAt(kApp + 0x2800)->executable);
  EXPECT_FALSE(source.moduleAt(kApp + 0x3100)->executable);
  EXPECT_FALSE(source.moduleAt(kApp + 0x4000).has_value());
  EXPECT_FALSE(source.moduleAt(kBroken + 0x1000).has_value());
  // Where the enumeration knows nothing yet, the modules the load events named serve.
  fake::FakePlatform early;
  early.poke(kProcess, kApp, app.data(), app.size());
  const auto loaded = LiveMemorySource::readModules(early, kProcess, {{kApp, "C:\\app\\app.exe"}});
  ASSERT_EQ(loaded->size(), 1u);
  EXPECT_EQ(loaded->front().size, 0x4000u);
  EXPECT_EQ(loaded->front().image->Path, "C:\\app\\app.exe");

  // The frame returning into data is no frame: listed by the scan only. The code address
  // above it is confirmed by its call's target.
  StackWalker walker(source);
  const auto entries = walker.merged({kApp + 0x1200, low + 0x80, low + 0x100}, 16);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].foundBy, FoundBy::Context);
  EXPECT_EQ(entries[1].address, kApp + 0x3100);
  EXPECT_EQ(entries[1].foundBy, FoundBy::Scan);
  EXPECT_EQ(entries[2].address, kApp + 0x1100);
  EXPECT_EQ(entries[2].foundBy, FoundBy::Call);
}

}  // namespace
}  // namespace ostrel
