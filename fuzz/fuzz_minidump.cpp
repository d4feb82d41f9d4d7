// libFuzzer target: any bytes as a minidump, through the parser, the memory reads and a
// walk of every thread over the dump's memory. With OSTREL_FUZZ_SEED_DIR set, it first
// writes small well-formed dumps there as seeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "dump_builder.h"
#include "minidump/dump_memory_source.h"
#include "minidump/minidump.h"
#include "stack/stack_walker.h"

namespace {

void writeSeeds(const std::string& dir) {
  using ostrel::test::DumpBuilder;
  for (bool memory64 : {false, true}) {
    DumpBuilder b;
    b.memory64 = memory64;
    b.processId = 42;
    std::string stack(0x80, '\0');
    DumpBuilder::put32(stack, 0x40, 0x12FF60), DumpBuilder::put32(stack, 0x44, 0x401005);
    b.threads.push_back(
        {0x10, 0, 0x20, 0, 0x7FFDE000, 0x12FF00, stack, 0x401100, 0x12FF20, 0x12FF40});
    b.threads.push_back(
        {0x20, 1, 0x20, 0, 0x7FFDD000, 0x22FF00, std::string(0x40, '\x11'), 0, 0x22FF00, 0});
    b.modules.push_back({0x400000, 0x2000, 1, 2, u"C:\\app.exe", true, 0x10002, 0x30004, 0x10002,
                         0x30004,
                         "RSDS0123456789abcdef\x01\x00\x00\x00"
                         "app.pdb"});
    b.modules.push_back({0x10000000, 0x1000, 0, 0, u"lib.dll", false, 0, 0, 0, 0, ""});
    std::string code(0x40, '\x90');
    code[0] = '\xE8';
    b.memory.push_back({0x401000, code});
    b.memory.push_back({0x401020, code.substr(0x20)});  // saved twice, as Wine's writer does
    b.hasException = true;
    b.exception = {0x10, 0xC0000005, 0, 0x401100, {0, 0}, 0x401100, 0x12FF20, 0x12FF40};
    const std::string bytes = b.write();
    std::ofstream(dir + (memory64 ? "/seed_memory64.dmp" : "/seed_memory.dmp"), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("OSTREL_FUZZ_SEED_DIR")) writeSeeds(dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  std::unique_ptr<ostrel::Minidump> dump = ostrel::Minidump::parse(
      std::make_unique<ostrel::DumpBytes>(std::string(reinterpret_cast<const char*>(data), size)),
      error);
  if (!dump) {
    if (error.empty()) std::abort();  // every refusal says why
    return 0;
  }
  // The index of the memory: sorted, no overlaps, every byte in the file.
  for (size_t i = 0; i < dump->memory.size(); ++i) {
    const ostrel::DumpMemoryRange& r = dump->memory[i];
    if (r.size == 0 || r.fileOffset > size || r.size > size - r.fileOffset) std::abort();
    if (i > 0 && r.base - dump->memory[i - 1].base < dump->memory[i - 1].size) std::abort();
    uint8_t byte = 0;
    if (dump->readMemory(r.base + r.size - 1, &byte, 1) != 1 ||
        byte != data[r.fileOffset + r.size - 1])
      std::abort();
  }
  for (const ostrel::DumpThread& t : dump->threads) {
    ostrel::DumpMemorySource source(*dump, &t);
    const ostrel::WalkContext context{t.context.eip, t.context.esp, t.context.ebp};
    const auto entries = ostrel::StackWalker(source).walk(context, 64);
    if (entries.size() > 64) std::abort();
  }
  return 0;
}
