#include "engine/readers.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/format.h"

namespace ostrel {

namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kExportNameBytes = 256;

uint32_t le32(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool readDebuggee32(DebugPlatform& platform, Handle process, Address address, uint32_t& value) {
  uint8_t b[4] = {};
  uint32_t got = 0;
  if (!platform.readMemory(process, address, b, 4, &got) || got < 4) return false;
  value = le32(b);
  return true;
}

bool readFile32(DebugPlatform& platform, Handle file, uint32_t offset, uint32_t& value) {
  uint8_t b[4] = {};
  if (platform.readFileAt(file, offset, b, 4) != 4) return false;
  value = le32(b);
  return true;
}

// Reads as much of [address, address + size) as one read returns, one byte less after
// every failure. Returns the number of valid bytes at the start of buffer (0 when nothing
// could be read); bytes a failed read may have left behind are never counted.
uint32_t readShrinking(DebugPlatform& platform, Handle process, Address address,
                       uint8_t* buffer, uint32_t size) {
  for (uint32_t n = size; n > 0; --n) {
    uint32_t got = 0;
    if (platform.readMemory(process, address, buffer, n, &got)) return std::min(got, n);
  }
  return 0;
}

std::string ansiUpToZero(const uint8_t* bytes, uint32_t count) {
  const auto* begin = reinterpret_cast<const char*>(bytes);
  const auto* end = std::find(begin, begin + count, '\0');
  return std::string(begin, end);
}

std::string wideUpToZero(DebugPlatform& platform, const uint8_t* bytes, uint32_t byteCount) {
  std::u16string text;
  text.reserve(byteCount / 2);
  for (uint32_t i = 0; i + 1 < byteCount; i += 2) {
    char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return platform.wideToAnsi(text);
}

}  // namespace

std::string readImageName(DebugPlatform& platform, Handle process, Address pointerAddress,
                          uint16_t unicode) {
  if (pointerAddress == 0) return {};
  uint32_t namePointer = 0;
  if (!readDebuggee32(platform, process, pointerAddress, namePointer))
    throw EngineError("Cannot read the image name pointer at " + hexP(pointerAddress) + ": " +
                      platform.lastErrorText());
  if (namePointer == 0) return {};

  if (unicode != 0) {
    // Full 260 characters, so long paths are not cut in half.
    uint8_t buffer[kMaxImageNameChars * 2] = {};
    uint32_t got = readShrinking(platform, process, namePointer, buffer, sizeof buffer);
    return wideUpToZero(platform, buffer, got);
  }
  uint8_t buffer[kImageNameBytes] = {};
  uint32_t got = readShrinking(platform, process, namePointer, buffer, sizeof buffer);
  return ansiUpToZero(buffer, got);
}

std::string readDebugString(DebugPlatform& platform, Handle process,
                            const DebugEventRecord& event) {
  const auto& info = event.u.DebugString;
  const uint32_t length = info.nDebugStringLength;
  if (length == 0) return {};
  // Kept whole: the 16-bit length bounds the buffer.
  std::vector<uint8_t> buffer(length);
  uint32_t got = 0;
  if (!platform.readMemory(process, info.lpDebugStringData, buffer.data(), length, &got))
    throw EngineError("Cannot read the debug string at " + hexP(info.lpDebugStringData) + " (" +
                      std::to_string(length) + " bytes): " + platform.lastErrorText());
  got = std::min(got, length);
  if (info.fUnicode != 0) return wideUpToZero(platform, buffer.data(), got);
  return ansiUpToZero(buffer.data(), got);
}

std::string readExportName(DebugPlatform& platform, Handle process, Handle file,
                           Address dllBase) {
  if (platform.fileType(file) != 1) return {};
  uint8_t mz[2] = {};
  if (platform.readFileAt(file, 0, mz, 2) != 2 || mz[0] != 'M' || mz[1] != 'Z') return {};
  uint32_t peOffset = 0, signature = 0, exportRva = 0;
  if (!readFile32(platform, file, 0x3C, peOffset)) return {};
  if (!readFile32(platform, file, peOffset, signature) || signature != kPeSignature) return {};
  if (peOffset > UINT32_MAX - 0x78 || !readFile32(platform, file, peOffset + 0x78, exportRva))
    return {};
  // Without an export directory there is no name to look for.
  if (exportRva == 0) return {};

  const char* denied = "Access Denied!";
  uint32_t nameRva = 0;
  if (!readDebuggee32(platform, process, dllBase + exportRva + 12, nameRva)) return denied;
  // A short name near the end of the image's last page cannot be read 256 bytes at a
  // time; shrink the read instead of calling it denied.
  uint8_t name[kExportNameBytes] = {};
  uint32_t got = readShrinking(platform, process, dllBase + nameRva, name, sizeof name);
  if (got == 0) return denied;
  return ansiUpToZero(name, got);
}

std::string moduleNameFromAddress(DebugPlatform& platform, Handle process, Address address) {
  auto region = platform.queryRegion(process, address);
  if (!region) return "Unknown";
  std::string name = platform.moduleFileName(process, region->allocationBase);
  return name.empty() ? "Unknown" : name;
}

Address getCodeBase(DebugPlatform& platform, Handle process, Address address) {
  auto region = platform.queryRegion(process, address);
  if (!region) return 0;
  const Address base = region->allocationBase;
  uint32_t peOffset = 0, baseOfCode = 0;
  if (!readDebuggee32(platform, process, base + 0x3C, peOffset)) return 0;
  if (!readDebuggee32(platform, process, base + peOffset + 0x2C, baseOfCode)) return 0;
  return base + baseOfCode;
}

}  // namespace ostrel
