// Walking and naming a 64-deep stack against the raw scan alone, over an in-memory image:
// a 1 MiB stack whose chain of return addresses runs through three modules (one named by
// its map, two by their exports), some routines with frame pointers and some without,
// stale return addresses between the frames.
//   bench_stack_walk [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "stack/stack_walker.h"
#include "stack/symbolizer.h"

namespace {

using namespace ostrel;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDepth = 64;
constexpr Address kStackLow = 0x00100000, kStackHigh = 0x00200000;  // 1 MiB
constexpr uint32_t kRoutineBytes = 0x40;

/// The process as flat byte arrays: the stack and each module's image.
class FlatMemory : public MemorySource {
 public:
  struct Region {
    Address base;
    std::vector<uint8_t> bytes;
  };
  struct Module {
    Address base, size, codeStart, codeEnd;
  };
  std::vector<Region> regions;
  std::vector<Module> modules;

  uint32_t read(Address address, void* out, uint32_t n) override {
    for (const Region& r : regions) {
      if (address < r.base || address - r.base >= r.bytes.size()) continue;
      const uint32_t offset = address - r.base;
      const uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(r.bytes.size()) - offset);
      std::memcpy(out, r.bytes.data() + offset, take);
      return take;
    }
    return 0;
  }
  std::optional<ModuleSpan> moduleAt(Address a) override {
    for (const Module& m : modules)
      if (a >= m.base && a - m.base < m.size)
        return ModuleSpan{m.base, m.size, a >= m.codeStart && a < m.codeEnd};
    return std::nullopt;
  }
  std::optional<StackRange> stackRange() override { return StackRange{kStackLow, kStackHigh}; }

  uint8_t* at(Address a) {
    for (Region& r : regions)
      if (a >= r.base && a - r.base < r.bytes.size()) return r.bytes.data() + (a - r.base);
    std::fprintf(stderr, "bench_stack_walk: %08X lies in no region\n", a);
    std::exit(1);
  }
  void put32(Address a, uint32_t v) {
    uint8_t* p = at(a);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> 8 * i);
  }
  /// A direct call at site; returns its return address.
  Address call(Address site, Address target) {
    *at(site) = 0xE8;
    put32(site + 1, target - (site + 5));
    return site + 5;
  }
};

struct ModuleFile {
  std::string path;
  Address base;
  std::string image;  // the PE file the symbolizer reads
};

/// The three modules, the chain of routines through them and the stack they leave.
struct Scene {
  FlatMemory memory;
  std::vector<ModuleFile> files;
  WalkContext context;
  std::vector<SymbolModule> symbolModules;
  uint32_t frames = 0, frameless = 0, stale = 0;

  /// Routine k of the chain (0: the innermost): its module and start. The outermost third
  /// lies in the program, the rest in the two DLLs.
  Address routine(uint32_t k) const {
    const uint32_t m = k < 22 ? 2 : k < 43 ? 1 : 0;
    const uint32_t first = m == 2 ? 0 : m == 1 ? 22 : 43;
    return files[m].base + 0x1000 + (k - first) * kRoutineBytes;
  }
  static bool framed(uint32_t k) { return k % 4 != 2; }

  explicit Scene(const std::filesystem::path& dir) {
    const char* names[] = {"app.exe", "lib1.dll", "lib2.dll"};
    const Address bases[] = {0x00400000, 0x10000000, 0x20000000};
    for (int m = 0; m < 3; ++m) {
      files.push_back({(dir / names[m]).string(), bases[m], {}});
      memory.regions.push_back({bases[m], std::vector<uint8_t>(0x5000, 0)});
      memory.modules.push_back({bases[m], 0x5000, bases[m] + 0x1000, bases[m] + 0x2000});
      symbolModules.push_back({files[m].path, bases[m], 0x5000});
    }
    memory.regions.push_back({kStackLow, std::vector<uint8_t>(kStackHigh - kStackLow, 0)});

    // Exports of the DLLs: every other routine, so that the rest read NAME+$OFFSET.
    for (int m = 1; m < 3; ++m) {
      std::vector<test::TestExport> exports;
      const uint32_t first = m == 2 ? 0 : 22, last = m == 2 ? 22 : 43;
      for (uint32_t k = first; k < last; k += 2)
        exports.push_back({"Routine" + std::to_string(k), routine(k) - files[m].base, ""});
      files[m].image = test::buildTestPe(names[m], exports).bytes;
    }
    files[0].image = test::buildTestPe(names[0], {}).bytes;
    writeMap(dir / "app.map");

    // Routine k calls routine k - 1 at +0x10 and, earlier, routine k + 5 at +0x20: the
    // return address of that older call is what stays behind as stale.
    const Address start = files[0].base + 0x1000 + 0x30 * kRoutineBytes;  // the thread's start
    std::vector<Address> ret(kDepth + 1), staleRet(kDepth);
    for (uint32_t k = 1; k < kDepth; ++k) ret[k] = memory.call(routine(k) + 0x10, routine(k - 1));
    ret[kDepth] = memory.call(start + 0x10, routine(kDepth - 1));
    for (uint32_t k = 0; k < kDepth; ++k)
      staleRet[k] = memory.call(routine(k) + 0x20, routine(std::min(k + 5, kDepth - 1)));

    // The stack from its top down: the call into routine k pushes ret[k + 1], a routine
    // with a frame pointer saves EBP below it, then its locals.
    Address sp = kStackHigh - 0x40;
    Address ebp = 0;  // the chain's end
    for (uint32_t k = kDepth; k-- > 0;) {
      sp -= 4;
      memory.put32(sp, ret[k + 1]);
      if (framed(k)) {
        sp -= 4;
        memory.put32(sp, ebp);
        ebp = sp;
        ++frames;
      } else {
        ++frameless;
      }
      const uint32_t locals = 0x20 + (k * 37 % 8) * 0x20;
      sp -= locals;
      if (k % 3 == 0) {  // a stale return address among the locals
        memory.put32(sp + locals / 2, staleRet[k]);
        ++stale;
      }
      memory.put32(sp + 4, 0x12345678);  // some plain data as well
    }
    context = {routine(0) + 0x30, sp, ebp};
  }

  /// A linker-style map of the program: two units over its code, a public per routine,
  /// line numbers for the first unit.
  void writeMap(const std::filesystem::path& path) const {
    std::ofstream out(path, std::ios::binary);
    out << "\r\n Start         Length     Name                   Class\r\n"
           " 0001:00000000 00001000H .text                   CODE\r\n\r\n\r\n"
           "Detailed map of segments\r\n\r\n"
           " 0001:00000000 00000800 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
           " 0001:00000800 00000800 C=CODE     S=.text    G=(none)   M=Main     ACBP=A9\r\n"
           "\r\n\r\n  Address         Publics by Value\r\n\r\n";
    char line[96];
    for (uint32_t k = 43; k < kDepth; ++k) {
      std::snprintf(line, sizeof line, " 0001:%08X       Main.Routine%u\r\n",
                    static_cast<unsigned>(routine(k) - files[0].base - 0x1000), k);
      out << line;
    }
    out << "\r\n\r\nLine numbers for System(System.pas) segment .text\r\n\r\n";
    for (uint32_t k = 43; k < kDepth; ++k) {
      const uint32_t offset = routine(k) - files[0].base - 0x1000;
      std::snprintf(line, sizeof line, "%6u 0001:%08X%6u 0001:%08X\r\n", 100 + k * 10,
                    static_cast<unsigned>(offset), 104 + k * 10,
                    static_cast<unsigned>(offset + 0x14));
      out << line;
    }
    out << "\r\nBound resource files\r\n\r\nProgram entry point at 0001:00000000\r\n";
  }

  Symbolizer::ImageReader imageReader() const {
    std::map<std::string, std::string> images;
    for (const ModuleFile& f : files) images[f.path] = f.image;
    return [images](const std::string& path) {
      auto it = images.find(path);
      return it == images.end() ? PeParseResult{} : parsePeImage(it->second);
    };
  }

  const SymbolModule* moduleOf(Address a) const {
    for (const SymbolModule& m : symbolModules)
      if (a >= m.Base && a - m.Base < m.Size) return &m;
    return nullptr;
  }
};

/// Walks and names every entry; returns how many entries had a routine name.
size_t walkAndName(Scene& scene, Symbolizer& symbols, std::vector<StackEntry>& entries) {
  entries = StackWalker(scene.memory).walk(scene.context, kDepth);
  size_t named = 0;
  for (const StackEntry& e : entries)
    if (const SymbolModule* m = scene.moduleOf(e.address))
      named += symbols.symbolize(*m, e.address).RoutineName.empty() ? 0 : 1;
  return named;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("ostrel_bench_stack_walk_" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  Scene scene(dir);

  // The cold first call: the map read and the export tables built.
  std::vector<StackEntry> entries;
  auto t = Clock::now();
  Symbolizer symbols(true, scene.imageReader());
  size_t named = walkAndName(scene, symbols, entries);
  const double cold = std::chrono::duration<double>(Clock::now() - t).count();

  const std::vector<StackEntry> raw = StackWalker(scene.memory).rawScan(scene.context.esp, kDepth);
  size_t verified = 0, scanOnly = 0;
  for (const StackEntry& e : entries) (e.foundBy == FoundBy::Scan ? scanOnly : verified)++;
  std::printf("stack: 1 MiB, %u routines deep (%u with a frame pointer, %u without), %u stale "
              "return addresses; %.1f KB from ESP to the top\n",
              kDepth, scene.frames, scene.frameless, scene.stale,
              (kStackHigh - scene.context.esp) / 1024.0);
  std::printf("raw scan: %zu entries; walk: %zu entries (%zu context/frame/call, %zu scan), %zu "
              "named by a routine\n",
              raw.size(), entries.size(), verified, scanOnly, named);
  std::printf("cold first walk + naming: %.1f us (reads the map and the export tables)\n",
              cold * 1e6);

  // Rounds alternate the two measurements, each a batch of walks; the medians compare.
  // Processor time as well as elapsed time: on a shared machine the elapsed time of a
  // round also counts the time other programs had the processor.
  const int batch = 500;
  std::vector<double> rawTimes, walkTimes, rawCpu, walkCpu;
  size_t sink = 0;
  const auto cpuSeconds = [] { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
  for (int r = 0; r < rounds; ++r) {
    t = Clock::now();
    double c = cpuSeconds();
    for (int i = 0; i < batch; ++i)
      sink += StackWalker(scene.memory).rawScan(scene.context.esp, kDepth).size();
    rawCpu.push_back((cpuSeconds() - c) / batch);
    rawTimes.push_back(std::chrono::duration<double>(Clock::now() - t).count() / batch);
    t = Clock::now();
    c = cpuSeconds();
    for (int i = 0; i < batch; ++i) sink += walkAndName(scene, symbols, entries);
    walkCpu.push_back((cpuSeconds() - c) / batch);
    walkTimes.push_back(std::chrono::duration<double>(Clock::now() - t).count() / batch);
  }
  const double rawTime = median(rawTimes), walkTime = median(walkTimes);
  const double rawProcessor = median(rawCpu), walkProcessor = median(walkCpu);
  std::printf("medians of %d alternating rounds of %d walks; elapsed (processor) time per walk:\n",
              rounds, batch);
  std::printf("raw scan alone:             %.2f us (%.2f us)\n", rawTime * 1e6,
              rawProcessor * 1e6);
  std::printf("walk + name every entry:    %.2f us (%.2f us), maps already loaded\n",
              walkTime * 1e6, walkProcessor * 1e6);
  std::printf("ratio %.2f elapsed, %.2f processor (goal <= 2.0)\n", walkTime / rawTime,
              walkProcessor / rawProcessor);
  std::filesystem::remove_all(dir);
  return sink == 0 ? 1 : 0;
}
