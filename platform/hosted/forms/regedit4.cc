#include "platform/hosted/forms/regedit4.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/hosted/forms/threaded_list.h"

namespace brindle {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Places are measured in 32 bits: a larger file is applied line by line.
constexpr std::size_t kLargestFile = 0xFFFFFFF0u;

// Reads a text line by line as regedit does, handing each key and value
// line to `reader`: values come once it has a Current() key; `stopped`
// ends the reading. False, with `*fault`, at the first malformed line.
template <typename Reader>
bool ReadLines(LineReader& lines, Reader& reader, Regedit4Fault* fault) {
  if (!lines.ReadHeader(fault)) return false;
  std::string_view body;
  LineKind kind;
  KeyLine key;
  while (!reader.stopped && lines.Next(&kind, &body)) {
    if (kind == LineKind::Key) {
      if (!lines.ReadKey(body, &key, fault)) return false;
      reader.Key(key);
    } else if (kind == LineKind::Value) {
      if (!reader.Current()) return lines.Refuse(fault, "value before any key");
      if (!lines.ReadValue(&reader.value, fault)) return false;
      reader.Value();
    } else if (kind == LineKind::Other) {
      return lines.Refuse(fault, "not a key, value or comment line");
    }
  }
  return true;
}

// Applies a text line by line, in order, through the registry's own calls:
// its changes are recorded, as a journal's must be.
struct Applier {
  explicit Applier(Registry& into) : registry(into) {}
  Registry& registry;
  RegistryKey* current = nullptr;
  ValueLine value;  // kept from line to line: no allocation a value
  bool stopped = false;

  bool Current() const { return current != nullptr; }
  void Key(const KeyLine& line) {
    RegistryKey* doomed = line.deletion ? registry.Find(line.path) : nullptr;
    if (doomed != nullptr) registry.DeleteKey(*doomed);
    current = line.deletion ? nullptr : registry.MakeKey(line.path);
  }
  void Value() {
    if (value.deletion) registry.RemoveValue(*current, value.name);
    if (!value.deletion)
      registry.SetValue(*current, value.name, value.type, value.data);
  }
};

// Text on its way to a sink, in order: stretches of the file as they lie
// in it (neighbouring ones handed on as one, for the kernel to copy), and
// text written anew.
class TextOut {
 public:
  explicit TextOut(const FileSink& sink) : sink_(sink) {}
  // Text of the file as it stands, `text` a piece of its bytes: pieces that
  // follow each other go out as one.
  bool CopyFileText(std::string_view text) {
    if (kept_.data() + kept_.size() != text.data()) return Flush(text);
    kept_ = std::string_view(kept_.data(), kept_.size() + text.size());
    return true;
  }
  // Text written anew; a line end first where what went before ends none.
  bool WriteNewText(std::string_view text, std::string_view lineEnd) {
    return Flush() && (ended_ || Send(lineEnd)) && Send(text);
  }
  bool Flush(std::string_view next = {}) {
    return Send(std::exchange(kept_, next));
  }

 private:
  bool Send(std::string_view piece) {
    if (piece.empty()) return true;
    if (sink_(at_, piece) != 0) return false;
    at_ += piece.size();
    ended_ = piece.back() == '\n' || piece.back() == '\r';
    return true;
  }

  const FileSink& sink_;
  std::uint64_t at_ = 0;
  std::string_view kept_;  // not yet handed on
  bool ended_ = true;      // what went out ends a line
};

// A file that was applied line by line: written anew, whole, once the run
// changed anything.
class AppliedRegedit4File final : public RegistryFile {
 public:
  explicit AppliedRegedit4File(FileBytes bytes) : bytes_(std::move(bytes)) {}
  bool Write(const Registry& registry, const FileSink& sink,
             std::string*) override {
    if (registry.changes.empty()) return true;
    return ExportRegedit4(registry, sink);
  }
  const FileBytes& bytes() const override { return bytes_; }

 private:
  FileBytes bytes_;
};

// A registry file as spans of its own text. While the file is read, it is
// also the reader that notes each key line's span under the entry it names,
// every line checked as the line-by-line reader checks it.
class Regedit4File final : public RegistryFile {
 public:
  enum Outcome { kLoaded, kRefused, kApplyInOrder };
  // Reads `*bytes` into an empty `registry`, taking them when loaded.
  static Outcome Load(FileBytes* bytes, Registry& registry,
                      Regedit4Fault* fault);
  void FillSubkeys(RegistryKey& key, std::uint32_t fileKey) override;
  void FillValues(RegistryKey& key, std::uint32_t fileKey) override {
    ReadValues(fileKey - 1, key);
  }
  bool Write(const Registry& registry, const FileSink& sink,
             std::string* error) override;
  const FileBytes& bytes() const override { return bytes_; }

  // As the reader for ReadLines: a line that deletes stops it (the file is
  // applied in order instead).
  ValueLine value;
  bool stopped = false;
  bool Current() const { return !spans_.empty(); }
  void Value() { stopped = value.deletion; }
  void Key(const KeyLine& line) {
    stopped = line.deletion;
    if (!stopped) NoteKeyLine(line.path);
  }

 private:
  // A key as the file names it, by its own key line or on the path to
  // another; a name given again, in any case, is the same entry. Entry 0 is
  // the nameless top; an entry comes after its parent.
  struct Entry {
    std::uint32_t parent;
    std::uint32_t nameAt;  // its name's place in the file
    std::uint32_t nameSize;
    std::uint32_t firstNamedIn;  // the span whose key line named it first
    std::uint32_t firstChild = kNone;
    std::uint32_t nextSibling = kNone;
    std::uint32_t firstSpan = kNone;
  };
  // A key line and the lines after it up to the next key line.
  struct Span {
    std::uint32_t start;   // where its key line starts
    std::uint32_t values;  // where the line after it starts
    std::uint32_t entry;
    std::uint32_t next = kNone;  // the same key's next span
  };
  // A name of the key line read last: its entry, where it ends in the path.
  struct NameOnPath {
    std::uint32_t entry;
    std::size_t end;
  };
  // The last of each entry's subkeys and spans, while the lists grow.
  struct ListEnds {
    std::uint32_t child = kNone;
    std::uint32_t span = kNone;
  };

  std::string_view Name(std::uint32_t entry) const {
    return bytes_.view().substr(entries_[entry].nameAt,
                                entries_[entry].nameSize);
  }
  std::string_view SpanText(std::uint32_t span, bool valuesOnly) const {
    const std::uint32_t end = span + 1 < spans_.size()
                                  ? spans_[span + 1].start
                                  : static_cast<std::uint32_t>(bytes_.size());
    const std::uint32_t from =
        valuesOnly ? spans_[span].values : spans_[span].start;
    bytes_.NoteRead(end - from);
    return bytes_.view().substr(from, end - from);
  }
  // The path of `entry`, its names as the file spells them.
  std::string EntryPath(std::uint32_t entry) const {
    std::string path(Name(entry));
    while ((entry = entries_[entry].parent) != 0)
      path.insert(0, std::string(Name(entry)) + '\\');
    return path;
  }
  // Sets on `key` the values of `entry`'s spans, in the order of the file.
  void ReadValues(std::uint32_t entry, RegistryKey& key) const;
  // What a write does with each entry of the file, for one write.
  struct WritePlan {
    enum State : std::uint8_t { kKept, kGone, kChanged };
    std::vector<std::uint8_t> state;          // by entry
    std::vector<const RegistryKey*> changed;  // by entry, where kChanged
    // Keys the run made, each after its parent, and changed keys that have
    // no key line of their own: written at the end.
    std::vector<const RegistryKey*> atEnd;
    bool ChangesNothing() const {
      return atEnd.empty() && std::count(state.begin(), state.end(), kKept) ==
                                  static_cast<std::ptrdiff_t>(state.size());
    }
  };
  // The plan of a write of the run's changes to `registry`, from its record.
  WritePlan PlanWrite(const Registry& registry) const;
  // Writes each span as the plan says: kept as it stands, left out, or a
  // changed key's text in its place.
  bool WriteSpans(const WritePlan& plan, TextOut& out,
                  const std::string& lineEnd) const;
  // Notes a key line's span; the keys it names are found at the next one,
  // while the slot they will look into is fetched into the cache.
  void NoteKeyLine(std::string_view path);
  void NoteNamedKeys();
  static std::uint64_t Hash(std::uint32_t parent, std::string_view name) {
    return FoldedNameHash(name) ^ (parent * 0x9E3779B1u);
  }
  // The entry named `name` below `parent`, made when there is none.
  std::uint32_t FindOrAddEntry(std::uint32_t parent, std::string_view name,
                               std::uint32_t span);

  FileBytes bytes_;
  std::vector<Entry> entries_;
  std::vector<Span> spans_;
  mutable ValueLine value_;  // kept from key to key: no allocation a value
  // While the file is read.
  LineReader lines_{std::string_view()};
  std::vector<NameOnPath> chain_;
  std::string_view last_;
  std::uint32_t readUpTo_ =
      0;  // how far the file was read at the last key line
  std::vector<ListEnds> listEnds_;
  std::vector<std::uint64_t> table_;  // entries by parent and folded name
};

void Regedit4File::NoteKeyLine(std::string_view path) {
  NoteNamedKeys();
  const auto start = static_cast<std::uint32_t>(lines_.lineStart());
  // The names this path shares, byte for byte, with the last key line's are
  // its entries again: in a file in tree order, all but the last. The
  // deepest is tried first, one comparison for all above it.
  std::size_t depth = chain_.size();
  for (; depth > 0; --depth) {
    const std::size_t end = chain_[depth - 1].end;
    if (end <= path.size() && (end == path.size() || path[end] == '\\') &&
        std::memcmp(path.data(), last_.data(), end) == 0) {
      break;
    }
  }
  chain_.resize(depth);
  const std::size_t at =
      std::min(depth == 0 ? 0 : chain_.back().end + 1, path.size());
  const std::string_view name = path.substr(at, path.find('\\', at) - at);
  const std::uint64_t hash = Hash(depth == 0 ? 0 : chain_.back().entry, name);
  __builtin_prefetch(&table_[hash & (table_.size() - 1)]);
  last_ = path;
  bytes_.NoteRead(start - readUpTo_);
  readUpTo_ = start;
  spans_.push_back(
      Span{start, static_cast<std::uint32_t>(lines_.position()), kNone});
}

void Regedit4File::NoteNamedKeys() {
  if (spans_.empty() || spans_.back().entry != kNone) return;
  const auto span = static_cast<std::uint32_t>(spans_.size() - 1);
  const std::string_view path = last_;
  std::uint32_t entry = chain_.empty() ? 0 : chain_.back().entry;
  for (std::size_t at = chain_.empty() ? 0 : chain_.back().end + 1;
       at <= path.size();) {
    std::size_t end = std::min(path.find('\\', at), path.size());
    entry = FindOrAddEntry(entry, path.substr(at, end - at), span);
    chain_.push_back(NameOnPath{entry, end});
    at = end + 1;
  }
  spans_[span].entry = entry;
  LinkAtEnd(span, entries_[entry].firstSpan, listEnds_[entry].span, spans_,
            &Span::next);
}

// Slots hold the hash beside the entry: probes seldom look at the entry.
std::uint32_t Regedit4File::FindOrAddEntry(std::uint32_t parent,
                                           std::string_view name,
                                           std::uint32_t span) {
  const std::uint64_t hash = Hash(parent, name);
  std::size_t at = hash & (table_.size() - 1);
  for (; table_[at] != 0; at = (at + 1) & (table_.size() - 1)) {
    const auto other = static_cast<std::uint32_t>(table_[at]);
    if (table_[at] >> 32 == hash && entries_[other].parent == parent &&
        EqualsAsciiFolded(Name(other), name)) {
      return other;
    }
  }
  const auto entry = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(
      Entry{parent, static_cast<std::uint32_t>(name.data() - bytes_.data()),
            static_cast<std::uint32_t>(name.size()), span});
  listEnds_.emplace_back();
  LinkAtEnd(entry, entries_[parent].firstChild, listEnds_[parent].child,
            entries_, &Entry::nextSibling);
  table_[at] = hash << 32 | entry;
  if (entries_.size() * 2 > table_.size()) {
    std::vector<std::uint64_t> old(table_.size() * 2, 0);
    old.swap(table_);
    for (std::uint64_t slot : old) {
      std::size_t to = (slot >> 32) & (table_.size() - 1);
      while (slot != 0 && table_[to] != 0) to = (to + 1) & (table_.size() - 1);
      if (slot != 0) table_[to] = slot;
    }
  }
  return entry;
}

Regedit4File::Outcome Regedit4File::Load(FileBytes* bytes, Registry& registry,
                                         Regedit4Fault* fault) {
  if (bytes->size() >= kLargestFile) return kApplyInOrder;
  // The notes point into the bytes, which stay where they are from here on.
  std::unique_ptr<Regedit4File> file(new Regedit4File);
  file->bytes_ = std::move(*bytes);
  // About one key a 160 bytes in a generated machine: room made once.
  const std::size_t keys = file->bytes_.size() / 160 + 1;
  file->entries_.reserve(keys);
  file->spans_.reserve(keys);
  file->listEnds_.reserve(keys);
  std::size_t slots = 1024;
  while (slots < 2 * keys) slots *= 2;
  file->table_.assign(slots, 0);
  file->entries_.push_back(Entry{kNone, 0, 0, kNone});
  file->listEnds_.emplace_back();
  file->value.checkOnly = true;
  file->lines_ = LineReader(file->bytes_.view());
  if (!ReadLines(file->lines_, *file, fault)) return kRefused;
  file->NoteNamedKeys();
  if (file->stopped) {
    *bytes = std::move(file->bytes_);
    return kApplyInOrder;
  }
  registry.lineEnd = file->lines_.lineEnd();
  file->chain_ = {};
  file->listEnds_ = {};
  file->table_ = {};
  registry.top.FillLater(file.get(), 1);
  registry.source = std::move(file);
  return kLoaded;
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t fileKey) {
  FillSubkeysFromList(key, this, entries_[fileKey - 1].firstChild, entries_,
                      &Entry::nextSibling,
                      [this](std::uint32_t entry) { return Name(entry); });
}

void Regedit4File::ReadValues(std::uint32_t entry, RegistryKey& key) const {
  Regedit4Fault fault;
  for (std::uint32_t span = entries_[entry].firstSpan; span != kNone;
       span = spans_[span].next) {
    const std::string_view text = SpanText(span, true);
    key.ReserveValues(text.size());  // the values take about their lines'
    LineReader lines(text);
    LineKind kind;
    std::string_view body;
    while (lines.Next(&kind, &body)) {
      // Every line was checked when the file was read.
      if (kind == LineKind::Value && lines.ReadValue(&value_, &fault))
        key.SetValue(value_.name, value_.type, value_.data);
    }
  }
}

Regedit4File::WritePlan Regedit4File::PlanWrite(
    const Registry& registry) const {
  WritePlan plan{std::vector<std::uint8_t>(entries_.size(), WritePlan::kKept),
                 std::vector<const RegistryKey*>(entries_.size(), nullptr),
                 {}};
  for (const ChangedKey& change : ChangedKeys(registry)) {
    const RegistryKey& key = *change.key;
    const std::uint32_t entry = key.fileKey() - 1;
    if (change.deleted && !change.made) plan.state[entry] = WritePlan::kGone;
    if (change.deleted || !key.attached()) continue;
    if (change.made) {
      plan.atEnd.push_back(&key);
      continue;
    }
    // Values set to what they were leave the key's text as it stands.
    RegistryKey asRead(std::string_view(), nullptr);
    ReadValues(entry, asRead);
    if (SameValues(key, asRead)) continue;
    plan.state[entry] = WritePlan::kChanged;
    plan.changed[entry] = &key;
    if (entries_[entry].firstSpan == kNone) plan.atEnd.push_back(&key);
  }
  // Below a key that goes, everything goes.
  for (std::size_t e = 1; e < entries_.size(); ++e) {
    if (plan.state[entries_[e].parent] == WritePlan::kGone)
      plan.state[e] = WritePlan::kGone;
  }
  return plan;
}

bool Regedit4File::WriteSpans(const WritePlan& plan, TextOut& out,
                              const std::string& lineEnd) const {
  std::string block;
  for (std::uint32_t span = 0; span < spans_.size(); ++span) {
    const std::uint32_t entry = spans_[span].entry;
    if (plan.state[entry] == WritePlan::kGone) {
      // A key that stays, first named on this key line, is named here
      // still: it keeps its place among its siblings.
      std::uint32_t above = entries_[entry].parent;
      while (plan.state[above] == WritePlan::kGone)
        above = entries_[above].parent;
      if (above != 0 && entries_[above].firstNamedIn == span) {
        AppendKeyLine(block, EntryPath(above), false, lineEnd);
        block += lineEnd;
      }
    } else if (plan.state[entry] == WritePlan::kChanged) {
      const RegistryKey& key = *plan.changed[entry];
      if (entries_[entry].firstSpan == span)
        AppendKeyBlock(block, key, key.Path(), lineEnd);
    } else if (!out.CopyFileText(SpanText(span, false))) {
      return false;
    }
    if (!block.empty() && !out.WriteNewText(block, lineEnd)) return false;
    block.clear();
  }
  return true;
}

bool Regedit4File::Write(const Registry& registry, const FileSink& sink,
                         std::string*) {
  const std::string& lineEnd = registry.lineEnd;
  const WritePlan plan = PlanWrite(registry);
  if (plan.ChangesNothing()) return true;  // the file holds it already
  TextOut out(sink);
  // What comes before the first key line, then the spans, then the keys
  // written at the end, in blocks of about 64 KB.
  if (!out.CopyFileText(bytes_.view().substr(
          0, spans_.empty() ? bytes_.size() : spans_[0].start)) ||
      !WriteSpans(plan, out, lineEnd)) {
    return false;
  }
  std::string block;
  for (const RegistryKey* key : plan.atEnd) {
    AppendKeyBlock(block, *key, key->Path(), lineEnd);
    if (block.size() >= (std::size_t{1} << 16)) {
      if (!out.WriteNewText(block, lineEnd)) return false;
      block.clear();
    }
  }
  return (block.empty() || out.WriteNewText(block, lineEnd)) && out.Flush();
}

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault, bool asChanges) {
  LineReader lines(text);
  Applier applier(registry);
  const bool read = ReadLines(lines, applier, fault);
  if (asChanges) return read;
  registry.lineEnd = lines.lineEnd();
  registry.changes.clear();  // what a text holds is no change of a run's
  registry.deleted.clear();
  return read;
}

RegistryFile* LoadRegedit4(FileBytes bytes, Registry& registry,
                           Regedit4Fault* fault) {
  const auto outcome = Regedit4File::Load(&bytes, registry, fault);
  if (outcome == Regedit4File::kRefused) return nullptr;
  if (outcome == Regedit4File::kApplyInOrder) {
    if (!ReadRegedit4(bytes.view(), registry, fault)) return nullptr;
    registry.source = std::make_unique<AppliedRegedit4File>(std::move(bytes));
  }
  return static_cast<RegistryFile*>(registry.source.get());
}

RegistryFile* ReadRegedit4File(FileBytes bytes, Registry& registry,
                               LoadFault* fault) {
  Regedit4Fault read;
  RegistryFile* file = LoadRegedit4(std::move(bytes), registry, &read);
  if (file == nullptr)
    *fault = {LoadFault::kLine, read.line,
              "malformed registry file: " + read.what};
  return file;
}

bool ExportRegedit4(const Registry& registry, const FileSink& sink) {
  const std::string& lineEnd = registry.lineEnd;
  std::uint64_t at = 0;
  std::string block(Regedit4Header);
  block.append(lineEnd).append(lineEnd);
  std::vector<const RegistryKey*> walk;
  registry.top.ForEachSubkey([&](const RegistryKey& s) { walk.push_back(&s); });
  std::reverse(walk.begin(), walk.end());
  while (!walk.empty()) {
    const RegistryKey& key = *walk.back();
    walk.pop_back();
    AppendKeyBlock(block, key, key.Path(), lineEnd);
    if (block.size() >= (std::size_t{1} << 16)) {
      if (sink(at, block) != 0) return false;
      at += block.size();
      block.clear();
    }
    const std::size_t at = walk.size();
    key.ForEachSubkey([&](const RegistryKey& s) { walk.push_back(&s); });
    std::reverse(walk.begin() + static_cast<std::ptrdiff_t>(at), walk.end());
  }
  return sink(at, block) == 0;
}

std::string Regedit4Text(const Registry& registry) {
  std::string text;
  ExportRegedit4(registry, [&](std::uint64_t, std::string_view piece) {
    text += piece;
    return 0;
  });
  return text;
}

}  // namespace brindle
