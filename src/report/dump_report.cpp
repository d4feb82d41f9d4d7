#include "report/dump_report.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/exception_text.h"
#include "minidump/dump_memory_source.h"
#include "platform/debug_records.h"
#include "stack/pe_loaded_image.h"
#include "stack/stack_walker.h"

namespace ostrel::report {
namespace {

bool fileExists(const std::string& path) {
  if (path.empty()) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

// Eight digits for a 32-bit address, sixteen for a wider one.
std::string hexAddress(uint64_t value) {
  char text[24];
  if (value > 0xFFFFFFFFull)
    std::snprintf(text, sizeof text, "$%016llX", static_cast<unsigned long long>(value));
  else
    std::snprintf(text, sizeof text, "$%08X", static_cast<unsigned>(value));
  return text;
}

constexpr uintmax_t kMaxModuleFile = 512u << 20;

std::string lowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string architectureName(uint16_t architecture) {
  switch (architecture) {
    case 0: return "x86";
    case 5: return "ARM";
    case 6: return "IA64";
    case 9: return "x64";
    case 12: return "ARM64";
    default: return "architecture " + std::to_string(architecture);
  }
}

std::string utcText(uint32_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
#ifdef _WIN32
  if (gmtime_s(&parts, &t) != 0) return {};
#else
  if (gmtime_r(&t, &parts) == nullptr) return {};
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string versionText(const DumpModule& m) {
  if (!m.hasVersion) return {};
  return std::to_string(m.fileVersionMS >> 16) + "." + std::to_string(m.fileVersionMS & 0xFFFF) +
         "." + std::to_string(m.fileVersionLS >> 16) + "." +
         std::to_string(m.fileVersionLS & 0xFFFF);
}

std::vector<std::string> headerLines(const Minidump& dump) {
  std::vector<std::string> lines;
  if (dump.timestamp != 0) lines.push_back("Written: " + utcText(dump.timestamp));
  if (dump.hasSystemInfo) {
    const DumpSystemInfo& s = dump.systemInfo;
    std::string line = "System: " + architectureName(s.processorArchitecture) + ", " +
                       std::to_string(s.numberOfProcessors) + " processor" +
                       (s.numberOfProcessors == 1 ? "" : "s") + ", Windows " +
                       std::to_string(s.majorVersion) + "." + std::to_string(s.minorVersion) +
                       "." + std::to_string(s.buildNumber);
    if (!s.csdVersion.empty()) line += " " + s.csdVersion;
    lines.push_back(std::move(line));
  }
  if (dump.hasMiscInfo && dump.miscInfo.hasProcessId)
    lines.push_back("Process: " + hexAddress(dump.miscInfo.processId));
  if (!dump.hasException) {
    lines.push_back("Exception: none (a snapshot)");
    return lines;
  }
  const DumpException& e = dump.exception;
  lines.push_back("Exception: " + hexAddress(e.code) + " at " + hexAddress(e.address) +
                  " in thread " + hexAddress(e.threadId));
  ExceptionRecord32 record{};
  record.ExceptionCode = e.code;
  record.ExceptionFlags = e.flags;
  record.ExceptionAddress = static_cast<uint32_t>(e.address);
  record.NumberParameters = static_cast<uint32_t>(e.parameters.size());
  for (size_t i = 0; i < e.parameters.size() && i < 15; ++i)
    record.ExceptionInformation[i] = static_cast<uint32_t>(e.parameters[i]);
  const DumpModule* module = dump.moduleAt(e.address);
  lines.push_back("Description: " +
                  exceptionDescription(record, module ? Symbolizer::fileNameOf(module->name) : ""));
  return lines;
}

DumpThreadStack threadStack(Minidump& dump, const DumpThread& thread, bool crashed,
                            DumpModuleFiles& files, Symbolizer& symbolizer, uint32_t maxEntries) {
  DumpThreadStack stack;
  stack.threadId = thread.id;
  stack.crashed = crashed;
  const DumpContext& context = crashed && dump.exception.context.isX86 ? dump.exception.context
                                                                        : thread.context;
  if (!context.isX86) return stack;

  DumpMemorySource source(dump, &thread);
  source.setImageReader([&files](const DumpModule& m, uint32_t rva, void* out, uint32_t n) {
    return files.readImage(m, rva, out, n);
  });
  // As a live session lists a stack: every raw-scan hit (a copy right above its twin
  // aside) and the walk's verified entries, each with how it was found.
  std::vector<StackEntry> walk =
      StackWalker(source).merged({context.eip, context.esp, context.ebp}, maxEntries);
  if (walk.size() > maxEntries) walk.resize(maxEntries);
  int32_t number = 0;
  for (const StackEntry& entry : walk) {
    StackLine line;
    // The crashed thread's context is where the exception happened.
    line.number = crashed && entry.foundBy == FoundBy::Context ? -1 : number++;
    line.address = entry.address;
    line.foundBy = entry.foundBy;
    if (const DumpModule* m = dump.moduleAt(entry.address)) {
      line.names = symbolizer.symbolize(symbolModuleOf(*m), entry.address);
    }
    stack.entries.push_back(std::move(line));
  }
  return stack;
}

}  // namespace

DumpModuleFiles::DumpModuleFiles(const std::string& dumpPath, const Minidump& dump,
                                 std::vector<std::string> mapFolders) {
  folders_.push_back(folderOf(dumpPath));
  for (std::string& folder : mapFolders) folders_.push_back(std::move(folder));
  for (const DumpModule& m : dump.modules) {
    sizes_.emplace(m.name, m.size);
    // The loader finds a module by its file name, whatever the case.
    byFileName_.emplace(lowerCase(Symbolizer::fileNameOf(m.name)), m);
  }
}

std::string DumpModuleFiles::localPath(const std::string& recordedPath) {
#ifdef _WIN32
  return recordedPath;
#else
  // A dump written under Wine names its drives as the prefix maps them: each drive letter
  // is a link in the prefix's "dosdevices" folder, and Z: is the root of the file system.
  if (recordedPath.size() < 3 || recordedPath[1] != ':' ||
      (recordedPath[2] != '\\' && recordedPath[2] != '/'))
    return {};
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(recordedPath[0])));
  if (letter < 'a' || letter > 'z') return {};
  std::string rest = recordedPath.substr(2);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  std::string prefix;
  if (const char* wine = std::getenv("WINEPREFIX"); wine != nullptr && *wine != 0)
    prefix = wine;
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0)
    prefix = std::string(home) + "/.wine";
  if (!prefix.empty()) {
    const std::string drive = prefix + "/dosdevices/" + letter + ":";
    std::error_code error;
    if (std::filesystem::is_directory(drive, error)) return drive + rest;
  }
  return letter == 'z' ? rest : std::string();
#endif
}

bool DumpModuleFiles::fits(const std::string& candidate, const std::string& recordedPath) {
  if (!fileExists(candidate)) return false;
  auto size = sizes_.find(recordedPath);
  if (size == sizes_.end() || size->second == 0) return true;
  // A file of another build names nothing right: its image must be as large as the one
  // the dump recorded.
  const PeParseResult pe = parsePeFile(candidate);
  return pe.Ok && pe.Image.SizeOfImage == size->second;
}

std::string DumpModuleFiles::imagePath(const std::string& recordedPath) {
  auto known = images_.find(recordedPath);
  if (known != images_.end()) return known->second;
  const std::string name = Symbolizer::fileNameOf(recordedPath);
  std::string found;
  for (const std::string& folder : folders_) {
    if (!name.empty() && fits(joined(folder, name), recordedPath)) {
      found = joined(folder, name);
      break;
    }
  }
  if (found.empty() && fits(localPath(recordedPath), recordedPath)) found = localPath(recordedPath);
  images_.emplace(recordedPath, found);
  return found;
}

std::string DumpModuleFiles::mapPath(const std::string& recordedPath) {
  const std::string name = Symbolizer::fileNameOf(Symbolizer::mapPathFor(recordedPath));
  for (const std::string& folder : folders_)
    if (fileExists(joined(folder, name))) return joined(folder, name);
  const std::string image = imagePath(recordedPath);
  if (!image.empty() && fileExists(Symbolizer::mapPathFor(image)))
    return Symbolizer::mapPathFor(image);
  const std::string local = localPath(recordedPath);
  if (!local.empty() && fileExists(Symbolizer::mapPathFor(local)))
    return Symbolizer::mapPathFor(local);
  return {};
}

const DumpModuleFiles::Exports* DumpModuleFiles::exportsOf(const std::string& dll) {
  std::string key = lowerCase(Symbolizer::fileNameOf(dll));
  if (key.find('.') == std::string::npos) key += ".dll";
  auto cached = exports_.find(key);
  if (cached != exports_.end()) return cached->second.get();
  std::unique_ptr<Exports>& entry = exports_[key];
  auto module = byFileName_.find(key);
  if (module == byFileName_.end()) return nullptr;
  const std::string path = imagePath(module->second.name);
  if (path.empty()) return nullptr;
  const PeParseResult pe = parsePeFile(path);
  if (!pe.Ok) return nullptr;
  entry = std::make_unique<Exports>();
  const auto base = static_cast<uint32_t>(module->second.base);
  for (const PeExport& e : pe.Image.Exports) {
    entry->byOrdinal.emplace(e.Ordinal, base + e.Rva);
    if (!e.Name.empty()) entry->byName.emplace(e.Name, base + e.Rva);
  }
  for (const PeForwarder& f : pe.Image.Forwarders) {
    entry->forwardedOrdinals.emplace(f.Ordinal, f.Target);
    if (!f.Name.empty()) entry->forwardedNames.emplace(f.Name, f.Target);
  }
  return entry.get();
}

std::optional<uint32_t> DumpModuleFiles::resolveImport(const std::string& dll,
                                                       const std::string& name, uint32_t ordinal,
                                                       int depth) {
  const Exports* exports = exportsOf(dll);
  if (exports == nullptr || depth > 8) return std::nullopt;
  if (name.empty()) {
    if (auto it = exports->byOrdinal.find(ordinal); it != exports->byOrdinal.end())
      return it->second;
  } else if (auto it = exports->byName.find(name); it != exports->byName.end()) {
    return it->second;
  }
  const std::string* target = nullptr;
  if (name.empty()) {
    if (auto it = exports->forwardedOrdinals.find(ordinal); it != exports->forwardedOrdinals.end())
      target = &it->second;
  } else if (auto it = exports->forwardedNames.find(name); it != exports->forwardedNames.end()) {
    target = &it->second;
  }
  if (target == nullptr) return std::nullopt;
  // "OTHER.Name" or "OTHER.#12": the module's name without its extension, then the export.
  const size_t dot = target->rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  const std::string other = target->substr(0, dot);
  const std::string what = target->substr(dot + 1);
  if (!what.empty() && what[0] == '#') {
    char* end = nullptr;
    const unsigned long number = std::strtoul(what.c_str() + 1, &end, 10);
    if (end == what.c_str() + 1 || *end != 0) return std::nullopt;
    return resolveImport(other, {}, static_cast<uint32_t>(number), depth + 1);
  }
  return resolveImport(other, what, 0, depth + 1);
}

uint32_t DumpModuleFiles::readImage(const DumpModule& module, uint32_t rva, void* out,
                                    uint32_t n) {
  auto it = loaded_.find(module.base);
  if (it == loaded_.end()) {
    const std::string path = imagePath(module.name);
    std::string image;
    std::error_code sizeError;
    const auto fileSize = path.empty() ? 0 : std::filesystem::file_size(path, sizeError);
    // A module file is read whole; one beyond any real image's size is not read at all.
    if (!path.empty() && !sizeError && fileSize <= kMaxModuleFile) {
      // Laid out at the dump's base with its imports bound to the dump's modules, as the
      // process had it: the walker reads call targets through import slots.
      image = loadPeImage(readWhole(path), static_cast<uint32_t>(module.base),
                          [this](const std::string& dll, const std::string& name, uint32_t ordinal) {
                            return resolveImport(dll, name, ordinal, 0);
                          });
    }
    it = loaded_.emplace(module.base, std::move(image)).first;
  }
  const std::string& image = it->second;
  if (rva >= image.size()) return 0;
  n = std::min<uint32_t>(n, static_cast<uint32_t>(image.size() - rva));
  std::copy_n(image.data() + rva, n, static_cast<char*>(out));
  return n;
}

std::unique_ptr<Symbolizer> DumpModuleFiles::makeSymbolizer() {
  return std::make_unique<Symbolizer>(
      true,
      [this](const std::string& recorded) {
        const std::string path = imagePath(recorded);
        return path.empty() ? PeParseResult{} : parsePeFile(path);
      },
      [this](const std::string& recorded) { return mapPath(recorded); });
}

std::string DumpReport::text() const {
  std::string out;
  for (const std::string& line : header) out += line + "\n";
  for (const DumpThreadStack& thread : threads) {
    out += "\nThread " + hexAddress(thread.threadId) + (thread.crashed ? " (crashed)" : "") + "\n";
    for (const StackLine& line : thread.entries) out += stackLine(line);
  }
  out += "\nModules:\n";
  for (const std::string& line : modules) out += line + "\n";
  return out;
}

SymbolModule symbolModuleOf(const DumpModule& module) {
  return SymbolModule{module.name, static_cast<uint32_t>(module.base), module.size};
}

DumpReport dumpReport(Minidump& dump, DumpModuleFiles& files, uint32_t maxEntries) {
  DumpReport report;
  report.header = headerLines(dump);
  std::unique_ptr<Symbolizer> symbolizer = files.makeSymbolizer();
  const DumpThread* crashed = dump.hasException ? dump.thread(dump.exception.threadId) : nullptr;
  if (crashed != nullptr)
    report.threads.push_back(threadStack(dump, *crashed, true, files, *symbolizer, maxEntries));
  for (const DumpThread& thread : dump.threads) {
    if (&thread == crashed) continue;
    report.threads.push_back(threadStack(dump, thread, false, files, *symbolizer, maxEntries));
  }
  for (const DumpModule& m : dump.modules) {
    report.modules.push_back(hexAddress(m.base) + "\t" + hexAddress(m.end()) + "\t" + m.name +
                             "\t" + versionText(m));
  }
  return report;
}

bool buildDumpReport(const std::string& path, const DumpReportOptions& options,
                     DumpReport& report, std::string& error) {
  std::unique_ptr<Minidump> dump = Minidump::open(path, error);
  if (dump == nullptr) {
    if (error.rfind("cannot open", 0) != 0) error = path + ": " + error;
    return false;
  }
  DumpModuleFiles files(path, *dump, options.mapFolders);
  report = dumpReport(*dump, files, options.maxEntries);
  return true;
}

}  // namespace ostrel::report
