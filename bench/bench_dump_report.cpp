// `dump report` of a large full-memory dump against one sequential read of the whole file.
// The dump (about 200 MB, in a temporary folder deleted at the end) holds thousands of
// memory ranges as a full-memory dump does, the three module images as loaded, and 24
// threads whose stacks run through the modules' routines (frames, frameless routines,
// stale return addresses); the module files lie beside it, so their exports name the
// entries. The report is built as `ostrel-cli dump report` builds it, over a source that
// counts what the reader asks for. Target: at most 2 s, reading a small part of the file.
// Given a dump file instead (one written by `ostrel-cli run --dump full`, say), the same
// figures for it; it is left in place.
//   bench_dump_report [MEGABYTES | FILE.dmp] [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "dump_builder.h"
#include "minidump/minidump.h"
#include "pe_builder.h"
#include "report/dump_report.h"
#include "stack/pe_exports.h"

namespace {

using namespace ostrel;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kThreads = 24;
constexpr uint32_t kChain = 60;  // routines in the call chain shared by the threads
constexpr uint32_t kRoutineBytes = 0x40;
constexpr uint64_t kStackRegion = 0x30000000, kStackStride = 0x100000;
constexpr uint32_t kStackSaved = 192 * 1024;  // from about ESP to the stack's top
constexpr uint64_t kHeapStart = 0x40000000;

/// What the reader asked of the file: calls, bytes, and the 64 KB blocks they touched.
class CountingSource : public DumpSource {
 public:
  explicit CountingSource(std::unique_ptr<DumpSource> inner) : inner_(std::move(inner)) {}
  uint64_t size() const override { return inner_->size(); }
  bool read(uint64_t offset, void* out, size_t n) override {
    ++calls;
    bytes += n;
    for (uint64_t b = offset / DumpFile::kBlockSize;
         n != 0 && b <= (offset + n - 1) / DumpFile::kBlockSize; ++b)
      blocks.insert(b);
    return inner_->read(offset, out, n);
  }
  uint64_t calls = 0, bytes = 0;
  std::set<uint64_t> blocks;

 private:
  std::unique_ptr<DumpSource> inner_;
};

/// Drops the file's pages from the system's cache, so that the next reads come from the
/// disk; false where that cannot be done.
bool evict(const std::string& path) {
#ifdef __linux__
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  fdatasync(fd);
  const bool done = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return done;
#else
  (void)path;
  return false;
#endif
}

/// Seconds to read the whole file once, front to back; negative when it cannot be read.
double readWhole(const std::string& path, uint64_t fileSize) {
  static std::vector<char> buffer(1 << 20);
  const auto t = Clock::now();
  uint64_t total = 0;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), f)) != 0;) total += n;
    std::fclose(f);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t).count();
  return total == fileSize ? seconds : -1;
}

/// Bytes this process has read through system calls so far (all files); 0 where unknown.
uint64_t bytesReadByProcess() {
#ifdef __linux__
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
#endif
  return 0;
}

uint64_t gSeed = 0x9E3779B97F4A7C15ull;
uint64_t nextRandom() {
  gSeed ^= gSeed << 13, gSeed ^= gSeed >> 7, gSeed ^= gSeed << 17;
  return gSeed;
}

void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> 8 * i);
}

/// A PE file laid out as the loader maps it.
std::string loaded(const std::string& file) {
  const PeParseResult pe = parsePeImage(file);
  std::string image(pe.Image.SizeOfImage, '\0');
  image.replace(0, pe.Image.Sections[0].VirtualAddress, file, 0,
                pe.Image.Sections[0].VirtualAddress);
  for (const PeSection& s : pe.Image.Sections)
    image.replace(s.VirtualAddress, std::min(s.RawSize, s.loadedSize()), file, s.RawOffset,
                  std::min(s.RawSize, s.loadedSize()));
  return image;
}

struct Scene {
  const char* names[3] = {"app.exe", "lib1.dll", "lib2.dll"};
  const uint64_t bases[3] = {0x00400000, 0x10000000, 0x20000000};
  std::string images[3];  // as loaded, saved in the dump
  std::string files[3];   // the module files beside the dump
  uint64_t heapBytes = 0;
  size_t ranges = 0;

  /// Routine k of the chain: the modules take turns, 0 is the innermost.
  uint64_t routine(uint32_t k) const { return bases[k % 3] + 0x1000 + (k / 3) * kRoutineBytes; }
  char* at(uint64_t address) {
    for (int m = 0; m < 3; ++m)
      if (address >= bases[m] && address - bases[m] < images[m].size())
        return images[m].data() + (address - bases[m]);
    std::fprintf(stderr, "bench_dump_report: %llX lies in no module\n",
                 static_cast<unsigned long long>(address));
    std::exit(1);
  }
  /// A direct call at site to target; returns the return address.
  uint64_t call(uint64_t site, uint64_t target) {
    *at(site) = static_cast<char>(0xE8);
    const uint32_t rel = static_cast<uint32_t>(target - (site + 5));
    for (int i = 0; i < 4; ++i) at(site + 1)[i] = static_cast<char>(rel >> 8 * i);
    return site + 5;
  }

  test::DumpBuilder build(uint64_t wantBytes) {
    for (int m = 0; m < 3; ++m) {
      std::vector<test::TestExport> exports;
      for (uint32_t k = m; k < kChain; k += 3)
        if (k % 2 == 0)
          exports.push_back(
              {"Routine" + std::to_string(k), static_cast<uint32_t>(routine(k) - bases[m]), ""});
      files[m] = test::buildTestPe(names[m], exports).bytes;
      images[m] = loaded(files[m]);
    }
    // Routine k + 1 calls routine k at +0x10 and, earlier, routine k + 4 at +0x20 (the
    // return address of that older call stays behind as stale).
    std::vector<uint64_t> ret(kChain + 1), stale(kChain);
    for (uint32_t k = 0; k + 1 < kChain; ++k) ret[k + 1] = call(routine(k + 1) + 0x10, routine(k));
    for (uint32_t k = 0; k < kChain; ++k)
      stale[k] = call(routine(k) + 0x20, routine(std::min(k + 4, kChain - 1)));

    test::DumpBuilder d;
    d.memory64 = true;
    d.unknownStream = false;
    d.processId = 0x1234;
    for (int m = 0; m < 3; ++m) {
      test::DumpBuilder::Module module;
      module.base = bases[m];
      module.size = static_cast<uint32_t>(images[m].size());
      module.name = u"C:\\Program\\" + std::u16string(names[m], names[m] + std::strlen(names[m]));
      module.version = true, module.fileMS = 0x10002, module.fileLS = 0x30004;
      d.modules.push_back(module);
      d.memory.push_back({bases[m], images[m]});
    }

    // Each thread: the chain from a depth of its own down to routine 0, frames saving
    // EBP for two routines in three, locals with plain data and stale return addresses.
    for (uint32_t t = 0; t < kThreads; ++t) {
      const uint64_t top = kStackRegion + (t + 1) * kStackStride;
      const uint64_t low = top - kStackSaved;
      std::string stack(kStackSaved, '\0');
      for (size_t i = 0; i + 4 <= stack.size(); i += 4)
        put32(stack, i, static_cast<uint32_t>(nextRandom() & 0x0000FFFF));
      const uint32_t depth = 12 + t * 2 % (kChain - 12);
      uint64_t sp = top - 0x40, ebp = 0;
      auto push = [&](uint64_t v) { sp -= 4, put32(stack, sp - low, static_cast<uint32_t>(v)); };
      for (uint32_t k = depth; k-- > 0;) {
        push(k + 1 < kChain ? ret[k + 1] : 0);
        if (k % 3 != 1) push(ebp), ebp = sp;
        const uint32_t locals = 0x40 + (k * 37 + t) % 8 * 0x40;
        sp -= locals;
        if (k % 2 == 0) put32(stack, sp + locals / 2 - low, static_cast<uint32_t>(stale[k]));
      }
      test::DumpBuilder::Thread thread;
      thread.id = 0x100 + t * 4;
      thread.teb = 0x7FFD0000 - t * 0x1000;
      thread.stackBase = low;
      thread.stack = std::move(stack);
      thread.eip = static_cast<uint32_t>(routine(0) + 0x30);
      thread.esp = static_cast<uint32_t>(sp);
      thread.ebp = static_cast<uint32_t>(ebp);
      d.threads.push_back(std::move(thread));
    }
    d.hasException = true;
    const test::DumpBuilder::Thread& crashed = d.threads[0];
    d.exception.threadId = crashed.id, d.exception.code = 0xC0000005;
    d.exception.address = crashed.eip, d.exception.parameters = {0, 0x10};
    d.exception.eip = crashed.eip, d.exception.esp = crashed.esp, d.exception.ebp = crashed.ebp;

    // The rest of the process: committed regions of 4 KB to 1 MB with gaps, random bytes.
    uint64_t saved = kThreads * uint64_t{kStackSaved};
    for (const std::string& image : images) saved += image.size();
    uint64_t address = kHeapStart;
    while (saved < wantBytes) {
      const uint64_t pages =
          nextRandom() % 16 == 0 ? 16 + nextRandom() % 240 : 1 + nextRandom() % 8;
      std::string bytes(
          std::min<uint64_t>(pages * 4096, wantBytes - saved + 4095) & ~uint64_t{4095}, '\0');
      for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
        const uint64_t v = nextRandom();
        std::memcpy(&bytes[i], &v, 8);
      }
      heapBytes += bytes.size();
      saved += bytes.size();
      const uint64_t size = bytes.size();
      d.memory.push_back({address, std::move(bytes)});
      address += size + 4096 * (1 + nextRandom() % 4);
    }
    ranges = d.memory.size() + d.threads.size();
    return d;
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string given = argc > 1 && std::string(argv[1]).ends_with(".dmp") ? argv[1] : "";
  const uint64_t megabytes = argc > 1 && given.empty() ? std::max(1, std::atoi(argv[1])) : 200;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("ostrel_bench_dump_report_" + std::to_string(Clock::now().time_since_epoch().count()));
  const std::string path = given.empty() ? (dir / "big.dmp").string() : given;

  Scene scene;
  if (given.empty()) {
    std::filesystem::create_directories(dir);
    auto t = Clock::now();
    const std::string bytes = scene.build(megabytes << 20).write();
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    for (int m = 0; m < 3; ++m)
      std::ofstream(dir / scene.names[m], std::ios::binary) << scene.files[m];
    std::printf(
        "dump: %.1f MB, %zu memory ranges (%zu MB of heap), %u threads, 3 modules; "
        "written in %.2f s\n",
        bytes.size() / 1e6, scene.ranges, static_cast<size_t>(scene.heapBytes >> 20), kThreads,
        secondsSince(t));
  }
  const uint64_t fileSize = std::filesystem::file_size(path);

  // Rounds alternate the baseline and the report; the medians compare. The file in the
  // system's cache first, then, where it can be dropped from it, read from the disk.
  std::vector<double> reads, reports, products, coldReads, coldProducts;
  uint64_t calls = 0, asked = 0, blocks = 0, systemBytes = 0;
  size_t entries = 0, named = 0, verified = 0, threads = 0;
  for (int r = 0; r < rounds; ++r) {
    reads.push_back(readWhole(path, fileSize));
    if (reads.back() < 0) {
      std::fprintf(stderr, "bench_dump_report: cannot read %s\n", path.c_str());
      return 1;
    }

    // The report over the counting source.
    auto t = Clock::now();
    std::string error;
    std::unique_ptr<DumpFile> file = DumpFile::open(path, error);
    auto counting = std::make_unique<CountingSource>(std::move(file));
    CountingSource& counts = *counting;
    std::unique_ptr<Minidump> dump = Minidump::parse(std::move(counting), error);
    if (dump == nullptr) {
      std::fprintf(stderr, "bench_dump_report: %s\n", error.c_str());
      return 1;
    }
    report::DumpModuleFiles files(path, *dump, {});
    const report::DumpReport report = report::dumpReport(*dump, files, 256);
    reports.push_back(secondsSince(t));
    calls = counts.calls, asked = counts.bytes, blocks = counts.blocks.size();
    entries = named = verified = 0;
    threads = report.threads.size();
    for (const report::DumpThreadStack& thread : report.threads)
      for (const report::StackLine& line : thread.entries) {
        ++entries;
        named += !line.names.RoutineName.empty();
        verified += line.foundBy != FoundBy::Scan;
      }

    // The product's own path, as `ostrel-cli dump report` takes it, with what the process
    // read from files meanwhile (the dump and the module files).
    const uint64_t before = bytesReadByProcess();
    t = Clock::now();
    report::DumpReport same;
    if (!report::buildDumpReport(path, {}, same, error)) {
      std::fprintf(stderr, "bench_dump_report: %s\n", error.c_str());
      return 1;
    }
    products.push_back(secondsSince(t));
    systemBytes = bytesReadByProcess() - before;
    if (evict(path)) {
      coldReads.push_back(readWhole(path, fileSize));
      evict(path);
      t = Clock::now();
      if (!report::buildDumpReport(path, {}, same, error)) return 1;
      coldProducts.push_back(secondsSince(t));
    }
    if (same.text() != report.text()) {
      std::fprintf(stderr, "bench_dump_report: the two reports differ\n");
      return 1;
    }
  }
  if (given.empty()) std::filesystem::remove_all(dir);

  const double read = median(reads), built = median(reports), product = median(products);
  std::printf("report: %zu stack entries in %zu threads (%zu context/frame/call, %zu named)\n",
              entries, threads, verified, named);
  std::printf("medians of %d alternating rounds:\n", rounds);
  std::printf("whole file read once:          %.3f s (%.0f MB/s)\n", read, fileSize / read / 1e6);
  std::printf("dump report (counted source):  %.3f s\n", built);
  std::printf("dump report (buildDumpReport): %.3f s (target <= 2 s)\n", product);
  std::printf("ratio report / whole read:     %.3f\n", product / read);
  if (!coldReads.empty()) {
    const double coldRead = median(coldReads), coldProduct = median(coldProducts);
    std::printf("the file dropped from the system's cache before each:\n");
    std::printf("whole file read once:          %.3f s (%.0f MB/s)\n", coldRead,
                fileSize / coldRead / 1e6);
    std::printf("dump report (buildDumpReport): %.3f s (target <= 2 s)\n", coldProduct);
    std::printf("ratio report / whole read:     %.3f\n", coldProduct / coldRead);
  }
  std::printf(
      "reads asked of the file:       %llu calls, %llu bytes; %llu blocks of 64 KB = "
      "%.2f MB of %.1f MB (%.3f%%)\n",
      static_cast<unsigned long long>(calls), static_cast<unsigned long long>(asked),
      static_cast<unsigned long long>(blocks), blocks * 65536 / 1e6, fileSize / 1e6,
      100.0 * blocks * 65536 / fileSize);
  if (systemBytes != 0)
    std::printf(
        "bytes read by the process during buildDumpReport (dump and module files): %llu "
        "(%.3f%% of the dump)\n",
        static_cast<unsigned long long>(systemBytes), 100.0 * systemBytes / fileSize);
  return 0;
}
