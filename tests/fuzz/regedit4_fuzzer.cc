// The REGEDIT4 reader on any bytes: no crash, no leak, and whatever it
// accepts is written out in a form that reads back to the same registry.
// The loader that keeps a file as spans of its text agrees with it, and
// holds the writer's promise: a file written back after a run's kind of
// changes (a key deleted, a value set, a key made) reads back as the
// registry the run left, and keeps, byte for byte and in order, the text
// of every key the run did not change.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/forms/regedit4_codec.h"
#include "platform/platform.h"
#include "tools/genmachine/hive9x_writer.h"

namespace {

using namespace brindle;

// Looks into every key down to `depth` levels below `key`.
void LookInto(const RegistryKey& key, int depth) {
  if (depth == 0) return;
  key.Values();
  key.ForEachSubkey(
      [&](const RegistryKey& subkey) { LookInto(subkey, depth - 1); });
}

// The run's kind of changes: the first root's first subkey deleted (or the
// root), a value set on the last root's last subkey, a key made.
void Change(Registry& registry, std::string* deleted, std::string* changed) {
  RegistryKey* first = registry.top.SubkeyAt(0);
  if (first == nullptr) return;
  RegistryKey* doomed = first->SubkeyAt(0) ? first->SubkeyAt(0) : first;
  RegistryKey* last = registry.top.SubkeyAt(registry.top.subkeyCount() - 1);
  if (last->subkeyCount() != 0) last = last->SubkeyAt(last->subkeyCount() - 1);
  bool within = false;
  for (const RegistryKey* k = last; k != nullptr; k = k->parent())
    within = within || k == doomed;
  if (!within) {
    *changed = last->Path();
    registry.SetValue(*last, "fuzz", REG_SZ, std::string("x\0", 2));
  }
  *deleted = doomed->Path();
  registry.DeleteKey(*doomed);
  registry.SetValue(*registry.MakeKey("HKEY_USERS\\Fuzz\\Made"), "", REG_DWORD,
                    std::string(4, '\1'));
}

bool Within(std::string_view path, std::string_view top) {
  return EqualsAsciiFolded(path.substr(0, top.size()), top) &&
         (path.size() == top.size() || path[top.size()] == '\\');
}

// Every key line's span of `text` whose key is neither within `deleted` nor
// `changed` stands in `written`, in the same order.
bool KeepsUntouchedSpans(std::string_view text, std::string_view written,
                         const std::string& deleted,
                         const std::string& changed) {
  struct Span {
    std::size_t start;
    std::string path;
  };
  std::vector<Span> spans;
  LineReader lines(text);
  std::string_view body;
  ValueLine value;
  LoadFault fault;
  lines.ReadHeader(&fault);
  LineKind kind;
  while (lines.Next(&kind, &body)) {
    KeyLine key;
    if (kind == LineKind::Key && lines.ReadKey(body, &key, &fault)) {
      spans.push_back(Span{lines.lineStart(), std::string(key.path)});
    } else if (kind == LineKind::Value) {
      lines.ReadValue(&value, &fault);
    }
  }
  std::size_t from = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::size_t end =
        i + 1 < spans.size() ? spans[i + 1].start : text.size();
    if ((!deleted.empty() && Within(spans[i].path, deleted)) ||
        (!changed.empty() && EqualsAsciiFolded(spans[i].path, changed)) ||
        Within(spans[i].path, "HKEY_USERS\\Fuzz")) {
      continue;
    }
    std::string_view span = text.substr(spans[i].start, end - spans[i].start);
    std::size_t at = written.find(span, from);
    if (at == std::string_view::npos) return false;
    from = at + span.size();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Registry read;
  LoadFault fault;
  const bool accepted = ReadRegedit4(text, read, &fault);
  if (!accepted && (fault.at == 0 || fault.what.empty())) std::abort();
  Registry loaded;
  LoadFault loadFault;
  // The loader refuses what the line-by-line reader refuses, at its line.
  if ((LoadRegedit4(FileBytes::Copy(text), loaded, &loadFault) != nullptr) !=
          accepted ||
      (!accepted && loadFault.at != fault.at)) {
    std::abort();
  }
  if (!accepted) return 0;
  // The export reads back as itself.
  std::string exported = Regedit4Text(read);
  Registry again;
  if (!ReadRegedit4(exported, again, &fault) ||
      Regedit4Text(again) != exported) {
    std::abort();
  }
  const bool deletes = text.find("=-") != std::string_view::npos ||
                       text.find("[-") != std::string_view::npos;
  for (int depth : {0, 2, 1000}) {
    Registry left;
    const auto file = LoadRegedit4(FileBytes::Copy(text), left, &fault);
    if (file == nullptr) std::abort();
    LookInto(left.top, depth);
    // Untouched, a file holds its registry, and one that deletes nothing
    // is written back as it stands.
    if (!FileHoldsRegistry(*file, left)) std::abort();
    std::string written = NewFileBytes(*file, left);
    if (!deletes && written != text) std::abort();
    Registry expected;
    ReadRegedit4(text, expected, &fault);
    std::string deleted;
    std::string changed;
    Change(left, &deleted, &changed);
    Change(expected, &deleted, &changed);
    written = NewFileBytes(*file, left);
    Registry reread;
    if (!ReadRegedit4(written, reread, &fault) ||
        !RegistryDifference(reread.top, expected.top).empty()) {
      std::abort();
    }
    if (!deletes && !KeepsUntouchedSpans(text, written, deleted, changed))
      std::abort();
  }
  return 0;
}
