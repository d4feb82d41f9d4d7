// libFuzzer target: any bytes as a map text, through line splitting, the three passes and
// lookups; the fast search must agree with the plain scans on every probe and leave the
// map as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mapfile/map.h"

namespace {

void probe(const ostrel::TMap& map, uint32_t offset) {
  ostrel::TCodeLocation fast, slow, field;
  const uint32_t codeBase = map.CodeBase;
  const uint64_t edits = map.editCount();
  const size_t tables = map.LineTables.size();
  map.lookup(codeBase, codeBase + offset, fast);
  map.lookupLinear(codeBase, codeBase + offset, slow);
  map.lookup(codeBase + offset, field);  // the overload that reads the CodeBase field
  if (fast.UnitName != slow.UnitName || fast.RoutineName != slow.RoutineName ||
      fast.LineText != slow.LineText || field.UnitName != fast.UnitName ||
      field.RoutineName != fast.RoutineName || field.LineText != fast.LineText)
    std::abort();
  if (map.editCount() != edits || map.LineTables.size() != tables)
    std::abort();  // lookups write nothing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ostrel::TMap map;
  map.MapText.setText(std::string(reinterpret_cast<const char*>(data), size));
  map.Loaded = true;
  std::string sink;
  map.OnMessage = [&sink](const std::string& text) { sink.assign(text); };
  map.parse();
  map.CodeBase = size > 4 ? (uint32_t{data[0]} << 12) | 1 : 0x401000;
  for (const ostrel::TUnit& u : map.Units)
    for (uint32_t o : {u.StartAddress - 1, u.StartAddress, u.EndAddress, u.EndAddress + 1})
      probe(map, o);
  for (const ostrel::Tmethod& m : map.Routines)
    for (uint32_t o : {m.StartAddress - 1, m.StartAddress, m.StartAddress + 1}) probe(map, o);
  for (size_t t = 0; t < map.LineTables.size(); ++t)
    for (const ostrel::TLine& l : map.LineTables.lines(t))
      for (uint32_t o : {l.Address - 1, l.Address}) probe(map, o);
  for (size_t i = 0; i + 4 <= size && i < 64; i += 4)
    probe(map, uint32_t{data[i]} | uint32_t{data[i + 1]} << 8 | uint32_t{data[i + 2]} << 16 |
                   uint32_t{data[i + 3]} << 24);
  // Edits after lookups: the answers must follow the tables.
  if (size % 5 == 0 && !map.Units.empty() && size > 8) {
    const ostrel::TUnit& u = map.Units[data[1] % map.Units.size()];
    const uint32_t at = u.StartAddress + data[2];
    map.lineTable(data[3] % 2 ? u.Name : std::string("other")).add(ostrel::TLine{data[4], at});
    map.Routines.add(ostrel::Tmethod{0, -1, "late", at + data[5]});
    for (uint32_t o : {u.StartAddress, at - 1, at, at + 1, at + data[5], u.EndAddress})
      probe(map, o);
  }
  // A second parse appends to the tables; the answers must still agree.
  if (size % 7 == 0) {
    map.parse();
    for (const ostrel::TUnit& u : map.Units) probe(map, u.StartAddress);
  }
  return 0;
}
