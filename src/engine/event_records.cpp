#include "engine/event_records.h"

#include <algorithm>

#include "common/format.h"

namespace ostrel {

TDllInfo::TDllInfo(std::string name, Handle fileHandle, Address baseAddress, std::string fileSize,
                   std::string fileDate, std::string fileVersion)
    : Name(std::move(name)),
      FileSize(std::move(fileSize)),
      FileDate(std::move(fileDate)),
      BaseAddress(baseAddress),
      FileVersion(std::move(fileVersion)),
      FileHandle(fileHandle) {}

// --- TEventCallStack ------------------------------------------------------------------

std::string TListedStackEntry::moduleName() const {
  return Image ? Symbolizer::fileNameOf(Image->Path) : std::string();
}

namespace {

const std::vector<TListedStackEntry>& noEntries() {
  static const std::vector<TListedStackEntry> none;
  return none;
}

}  // namespace

TEventCallStackEntry TEventCallStack::operator[](uint32_t i) const {
  TEventCallStackEntry entry;
  if (!entries_ || i >= size_) return entry;
  // Raw slots are listed in rising order; the walk's own entries between them have -1.
  for (const TListedStackEntry& listed : *entries_) {
    if (listed.RawIndex != static_cast<int32_t>(i)) continue;
    entry.Address = listed.Address;
    entry.Module = listed.moduleName();
    break;
  }
  return entry;
}

void TEventCallStack::set(uint32_t i, uint32_t address, std::string module) {
  if (i >= size_) return;
  // Most events never get a stack; it costs nothing until the first entry is stored.
  if (!entries_) entries_ = std::make_unique<std::vector<TListedStackEntry>>();
  auto image = std::make_shared<const SymbolModule>(SymbolModule{std::move(module), 0, 0});
  const auto index = static_cast<int32_t>(i);
  // Slots come in order as a rule: the search starts from the end.
  auto it = entries_->end();
  if (!entries_->empty() && entries_->back().RawIndex >= index)
    it = std::find_if(entries_->begin(), entries_->end(),
                      [&](const TListedStackEntry& e) { return e.RawIndex >= index; });
  if (it != entries_->end() && it->RawIndex == index) {
    it->Address = address;
    it->Image = std::move(image);
  } else {
    entries_->insert(it, TListedStackEntry{address, FoundBy::Scan, false, index, std::move(image)});
  }
}

uint32_t TEventCallStack::filled() const {
  if (!entries_) return 0;
  return static_cast<uint32_t>(std::count_if(
      entries_->begin(), entries_->end(), [this](const TListedStackEntry& e) {
        return e.RawIndex >= 0 && static_cast<uint32_t>(e.RawIndex) < size_;
      }));
}

const std::vector<TListedStackEntry>& TEventCallStack::listed() const {
  return entries_ ? *entries_ : noEntries();
}

void TEventCallStack::setListed(std::vector<TListedStackEntry> entries) {
  if (entries.empty()) {
    entries_.reset();
    return;
  }
  entries_ = std::make_unique<std::vector<TListedStackEntry>>(std::move(entries));
}

void TEventCallStack::shrinkToFit() {
  if (entries_) entries_->shrink_to_fit();
}

// --- TDbgEvent ------------------------------------------------------------------------

TDbgEvent::TDbgEvent(int32_t number, const DebugEventRecord& event,
                     std::unique_ptr<TDllInfo> dllInfo, std::string details, std::string info,
                     TEventCallStack callStack)
    : DebugEvent(event),
      Number(number),
      DllInfo(std::move(dllInfo)),
      Details(std::move(details)),
      Info(std::move(info)),
      CallStack(std::move(callStack)) {
  CallStack.shrinkToFit();
}

namespace {

// Handles and addresses with the top bit set come out negative, as the readers expect.
Variant asInt(uint32_t value) { return Variant(static_cast<int32_t>(value)); }

}  // namespace

VariantArray TDbgEvent::GetDetails() {
  const uint32_t code = DebugEvent.dwDebugEventCode;
  const auto& u = DebugEvent.u;
  VariantArray a;
  a.reserve(13);
  a.push_back(asInt(code));
  a.push_back(Variant(Number));

  const std::string noText;
  const TDllInfo* dll = DllInfo.get();

  switch (code) {
    case EXCEPTION_DEBUG_EVENT_CODE: {
      const auto& r = u.Exception.ExceptionRecord;
      a.push_back(asInt(u.Exception.dwFirstChance));
      a.push_back(asInt(r.ExceptionCode));
      a.push_back(asInt(r.ExceptionFlags));
      a.push_back(asInt(r.NumberParameters));
      a.push_back(Variant(hexP(r.ExceptionAddress)));
      break;
    }
    case CREATE_THREAD_DEBUG_EVENT_CODE:
      a.push_back(asInt(u.CreateThread.hThread));
      a.push_back(asInt(u.CreateThread.lpThreadLocalBase));
      a.push_back(asInt(u.CreateThread.lpStartAddress));
      break;
    case CREATE_PROCESS_DEBUG_EVENT_CODE: {
      const auto& c = u.CreateProcessInfo;
      a.push_back(asInt(c.hFile));
      a.push_back(asInt(c.hProcess));
      a.push_back(asInt(c.hThread));
      a.push_back(asInt(c.lpBaseOfImage));
      a.push_back(asInt(c.dwDebugInfoFileOffset));
      a.push_back(asInt(c.nDebugInfoSize));
      a.push_back(asInt(c.lpThreadLocalBase));
      a.push_back(asInt(c.lpStartAddress));
      a.push_back(asInt(c.lpImageName));
      a.push_back(asInt(c.fUnicode));
      a.push_back(Variant(Info));
      break;
    }
    case EXIT_THREAD_DEBUG_EVENT_CODE:
      a.push_back(asInt(u.ExitThread.dwExitCode));
      a.push_back(Variant(Info));
      break;
    case EXIT_PROCESS_DEBUG_EVENT_CODE:
      a.push_back(asInt(u.ExitProcess.dwExitCode));
      a.push_back(Variant(Info));
      break;
    case LOAD_DLL_DEBUG_EVENT_CODE: {
      const auto& l = u.LoadDll;
      a.push_back(Variant(dll ? dll->Name : noText));
      a.push_back(Variant(dll ? dll->FileDate : noText));
      a.push_back(Variant(hexP(dll ? dll->BaseAddress : l.lpBaseOfDll)));
      a.push_back(Variant(dll ? dll->FileVersion : noText));
      a.push_back(Variant(dll ? dll->FileSize : noText));
      a.push_back(asInt(l.hFile));
      a.push_back(asInt(l.dwDebugInfoFileOffset));
      a.push_back(asInt(l.nDebugInfoSize));
      a.push_back(asInt(l.lpImageName));
      a.push_back(asInt(l.fUnicode));
      break;
    }
    case UNLOAD_DLL_DEBUG_EVENT_CODE:
      a.push_back(Variant(hexP(dll ? dll->BaseAddress : u.UnloadDll.lpBaseOfDll)));
      a.push_back(Variant(dll ? dll->Name : noText));
      break;
    case OUTPUT_DEBUG_STRING_EVENT_CODE:
      a.push_back(Variant(Details));
      a.push_back(asInt(u.DebugString.nDebugStringLength));
      a.push_back(asInt(u.DebugString.lpDebugStringData));
      a.push_back(asInt(u.DebugString.fUnicode));
      break;
    case RIP_EVENT_CODE:
      a.push_back(asInt(u.RipInfo.dwError));
      a.push_back(asInt(u.RipInfo.dwType));
      break;
    default:
      a.emplace_back();  // unassigned
      break;
  }

  DetailsArray = std::make_unique<VariantArray>(a);
  return a;
}

// --- TDbgEventList --------------------------------------------------------------------

void TDbgEventList::append(std::unique_ptr<TDbgEvent> event) {
  if (!event) return;
  std::lock_guard lock(mutex_);
  TDbgEvent* e = event.get();
  events_.push_back(std::move(event));
  // The first event with a number keeps it; later duplicates do not replace it.
  byNumber_.emplace(e->Number, e);
  // A later load at the same base replaces the earlier one: an unload names the DLL
  // that was last mapped there.
  if (e->DebugEvent.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT_CODE && e->DllInfo)
    loadsByBase_[e->DllInfo->BaseAddress] = e->DllInfo.get();
}

size_t TDbgEventList::count() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

TDbgEvent* TDbgEventList::at(size_t i) const {
  std::lock_guard lock(mutex_);
  return i < events_.size() ? events_[i].get() : nullptr;
}

void TDbgEventList::ClearEvents() {
  std::lock_guard lock(mutex_);
  byNumber_.clear();
  loadsByBase_.clear();
  while (!events_.empty()) events_.pop_back();
}

TDbgEvent* TDbgEventList::FindByNumber(int32_t number) const {
  std::lock_guard lock(mutex_);
  auto it = byNumber_.find(number);
  return it == byNumber_.end() ? nullptr : it->second;
}

TDllInfo* TDbgEventList::FindDllByBase(Address base) const {
  std::lock_guard lock(mutex_);
  auto it = loadsByBase_.find(base);
  return it == loadsByBase_.end() ? nullptr : it->second;
}

TDbgEventList::~TDbgEventList() { ClearEvents(); }

// --- name tables ----------------------------------------------------------------------

std::string DebugEventName(uint32_t code) {
  switch (code) {
    case EXCEPTION_DEBUG_EVENT_CODE: return "Exception";
    case CREATE_THREAD_DEBUG_EVENT_CODE: return "Create thread";
    case CREATE_PROCESS_DEBUG_EVENT_CODE: return "Create process";
    case EXIT_THREAD_DEBUG_EVENT_CODE: return "Exit thread";
    case EXIT_PROCESS_DEBUG_EVENT_CODE: return "Exit process";
    case LOAD_DLL_DEBUG_EVENT_CODE: return "Load Dll";
    case UNLOAD_DLL_DEBUG_EVENT_CODE: return "Unload Dll";
    case OUTPUT_DEBUG_STRING_EVENT_CODE: return "Output debug string";
    case RIP_EVENT_CODE: return "Rip info";
    default: return "Unknown";
  }
}

std::string ExceptionChanceName(uint32_t chance, bool withSuffix) {
  std::string name = chance == 0 ? "Last" : "First";
  if (withSuffix) name += " chance";
  return name;
}

}  // namespace ostrel
