// One thread of a dump as the stack walker sees it: the dump's saved memory, its module
// list and the thread's stack.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "minidump/minidump.h"
#include "stack/memory_source.h"

namespace ostrel {

class DumpMemorySource : public MemorySource {
 public:
  /// Where a module's executable ranges come from.
  enum class CodeRanges : uint8_t {
    Sections,    // the section headers of the image, saved in the dump's memory
    WholeImage,  // the headers are not in the dump: the whole image counts as executable
  };

  /// Bytes of a module's image as loaded, for what the dump did not save (most dumps hold
  /// no code): copies up to n bytes at rva into out and returns how many it copied.
  using ImageReader =
      std::function<uint32_t(const DumpModule& module, uint32_t rva, void* out, uint32_t n)>;

  /// A source for the thread; the dump must outlive it. Without a thread (nullptr) the
  /// stack range is unknown.
  DumpMemorySource(Minidump& dump, const DumpThread* thread) : dump_(dump), thread_(thread) {}

  /// Reads of module images the dump lacks go to reader (the module files, say); set it
  /// before the first question, it must not throw but std::bad_alloc.
  void setImageReader(ImageReader reader) { imageReader_ = std::move(reader); }

  /// Bytes of the dump's memory ranges from address on, stopping at the first byte no
  /// range holds; 0 when none holds address. Where no range holds a byte of a module's
  /// image, the image reader (when set) answers for the rest of that image. The bytes
  /// below the thread's saved stack, down to the start of its page, read as zeros (dead
  /// stack below ESP; the walker reads the stack by whole pages).
  uint32_t read(Address address, void* out, uint32_t n) override;
  /// The module of the dump's module list whose image holds address; executable when the
  /// address lies in a code section (any address of the image when its section headers
  /// are not in the dump, see codeRanges).
  std::optional<ModuleSpan> moduleAt(Address address) override;
  /// The thread's saved stack: [base, base + size); std::nullopt without a thread or when
  /// the writer saved no stack.
  std::optional<StackRange> stackRange() override;

  /// How executable addresses of the module at that index of the dump's list are told:
  /// from the section headers read through this source (the dump, else the image reader).
  CodeRanges codeRanges(size_t moduleIndex);

 private:
  struct Code {
    bool known = false;
    CodeRanges from = CodeRanges::WholeImage;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;  // RVA [begin, end)
  };
  const Code& code(size_t moduleIndex);

  Minidump& dump_;
  const DumpThread* thread_;
  ImageReader imageReader_;
  std::vector<Code> code_;
};

}  // namespace ostrel
