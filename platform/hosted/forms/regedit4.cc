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
bool ReadLines(LineReader& lines, Reader& reader, LoadFault* fault) {
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
  // 0, or the errno with which the sink refused a piece.
  int failure() const { return failure_; }

 private:
  bool Send(std::string_view piece) {
    if (piece.empty()) return true;
    if ((failure_ = sink_(at_, piece)) != 0) return false;
    at_ += piece.size();
    ended_ = piece.back() == '\n' || piece.back() == '\r';
    return true;
  }

  const FileSink& sink_;
  std::uint64_t at_ = 0;
  std::string_view kept_;  // not yet handed on
  bool ended_ = true;      // what went out ends a line
  int failure_ = 0;
};

// Reads back `text`, which is to hold `registry`: false, with why in
// `*error`, when it does not. A text just written is not read back: what
// it keeps of the file are the file's own bytes, copied, and what it writes
// anew is written as an export is; reading it back would more than double
// a run's time.
bool ReadBackText(Registry& registry, FileBytes text, bool written,
                  std::string* error) {
  if (written) return true;
  Registry again;
  LoadFault fault;
  const auto file = LoadRegedit4(std::move(text), again, &fault);
  const std::string difference =
      file != nullptr ? RegistryDifference(registry.top, again.top)
                      : "line " + std::to_string(fault.at) + ": " + fault.what;
  if (!difference.empty()) {
    *error = "the registry file read back is not what the run left (" +
             difference + ")";
  }
  return difference.empty();
}

// A file that was applied line by line: written anew, whole.
class AppliedRegedit4File final : public RegistryFile {
 public:
  AppliedRegedit4File(FileBytes bytes, std::string lineEnd)
      : bytes_(std::move(bytes)), lineEnd_(std::move(lineEnd)) {}
  bool Write(const Registry& registry, const FileSink& sink,
             WriteFault* fault) override {
    fault->sinkError = ExportRegedit4(registry, sink, lineEnd_);
    return fault->sinkError == 0;
  }
  bool ReadBack(Registry& registry, FileBytes file, bool written,
                std::string* error) const override {
    return ReadBackText(registry, std::move(file), written, error);
  }
  const FileBytes& bytes() const override { return bytes_; }
  std::string_view lineEnd() const override { return lineEnd_; }

 private:
  FileBytes bytes_;
  std::string lineEnd_;
};

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

// A registry file as an index of its own text: its spans, and the keys
// their key lines name. Built by Indexing as the file is read, it does not
// change after; a write is one function of it and the run's record.
class Regedit4File final : public RegistryFile {
 public:
  enum Outcome { kLoaded, kRefused, kApplyInOrder };
  // Reads `*bytes` into an empty `registry` as `*file`, taking the bytes
  // when loaded.
  static Outcome Load(FileBytes* bytes, Registry& registry,
                      std::unique_ptr<RegistryFile>* file, LoadFault* fault);
  void FillSubkeys(RegistryKey& key, std::uint32_t fileKey) override;
  void FillValues(RegistryKey& key, std::uint32_t fileKey) override {
    ReadValues(fileKey - 1, key);
  }
  bool Write(const Registry& registry, const FileSink& sink,
             WriteFault* fault) override;
  bool ReadBack(Registry& registry, FileBytes file, bool written,
                std::string* error) const override {
    return ReadBackText(registry, std::move(file), written, error);
  }
  const FileBytes& bytes() const override { return bytes_; }
  std::string_view lineEnd() const override { return lineEnd_; }

 private:
  struct Indexing;

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
  };
  // The plan of a write of the run's changes to `registry`, from its record.
  WritePlan PlanWrite(const Registry& registry) const;
  // Writes each span as the plan says: kept as it stands, left out, or a
  // changed key's text in its place.
  bool WriteSpans(const WritePlan& plan, TextOut& out) const;
  // The whole new text, as the plan says; false when `out` refused a piece.
  bool WriteText(const WritePlan& plan, TextOut& out) const;

  FileBytes bytes_;
  std::vector<Entry> entries_;
  std::vector<Span> spans_;
  std::string lineEnd_;      // the text's
  mutable ValueLine value_;  // kept from key to key: no allocation a value
};

// The reading of a file into its index, for one load: each key line's span
// noted under the entry it names, every line checked as the line-by-line
// reader checks it. As the reader for ReadLines, a line that deletes stops
// it: the file is then applied in order instead.
struct Regedit4File::Indexing {
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

  explicit Indexing(Regedit4File& into);

  bool Current() const { return !file.spans_.empty(); }
  void Value() { stopped = value.deletion; }
  void Key(const KeyLine& line) {
    stopped = line.deletion;
    if (!stopped) NoteKeyLine(line.path);
  }
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
  void GrowTable();

  Regedit4File& file;
  LineReader lines;
  ValueLine value;  // checked only, kept from line to line
  bool stopped = false;
  std::vector<NameOnPath> chain;
  std::string_view last;       // the key line read last
  std::uint32_t readUpTo = 0;  // how far the file was read at it
  std::vector<ListEnds> listEnds;
  std::vector<std::uint64_t> table;  // entries by parent and folded name
};

Regedit4File::Indexing::Indexing(Regedit4File& into)
    : file(into), lines(into.bytes_.view()) {
  // About one key a 160 bytes in a generated machine: room made once.
  const std::size_t keys = file.bytes_.size() / 160 + 1;
  file.entries_.reserve(keys);
  file.spans_.reserve(keys);
  listEnds.reserve(keys);
  std::size_t slots = 1024;
  while (slots < 2 * keys) slots *= 2;
  table.assign(slots, 0);
  file.entries_.push_back(Entry{kNone, 0, 0, kNone});
  listEnds.emplace_back();
  value.checkOnly = true;
}

void Regedit4File::Indexing::NoteKeyLine(std::string_view path) {
  NoteNamedKeys();
  const auto start = static_cast<std::uint32_t>(lines.lineStart());
  // The names this path shares, byte for byte, with the last key line's are
  // its entries again: in a file in tree order, all but the last. The
  // deepest is tried first, one comparison for all above it.
  std::size_t depth = chain.size();
  for (; depth > 0; --depth) {
    const std::size_t end = chain[depth - 1].end;
    if (end <= path.size() && (end == path.size() || path[end] == '\\') &&
        std::memcmp(path.data(), last.data(), end) == 0) {
      break;
    }
  }
  chain.resize(depth);
  const std::size_t at =
      std::min(depth == 0 ? 0 : chain.back().end + 1, path.size());
  const std::string_view name = path.substr(at, path.find('\\', at) - at);
  const std::uint64_t hash = Hash(depth == 0 ? 0 : chain.back().entry, name);
  __builtin_prefetch(&table[hash & (table.size() - 1)]);
  last = path;
  file.bytes_.NoteRead(start - readUpTo);
  readUpTo = start;
  file.spans_.push_back(
      Span{start, static_cast<std::uint32_t>(lines.position()), kNone});
}

void Regedit4File::Indexing::NoteNamedKeys() {
  std::vector<Span>& spans = file.spans_;
  if (spans.empty() || spans.back().entry != kNone) return;
  const auto span = static_cast<std::uint32_t>(spans.size() - 1);
  const std::string_view path = last;
  std::uint32_t entry = chain.empty() ? 0 : chain.back().entry;
  for (std::size_t at = chain.empty() ? 0 : chain.back().end + 1;
       at <= path.size();) {
    std::size_t end = std::min(path.find('\\', at), path.size());
    entry = FindOrAddEntry(entry, path.substr(at, end - at), span);
    chain.push_back(NameOnPath{entry, end});
    at = end + 1;
  }
  spans[span].entry = entry;
  LinkAtEnd(span, file.entries_[entry].firstSpan, listEnds[entry].span, spans,
            &Span::next);
}

// Slots hold the hash beside the entry: probes seldom look at the entry.
std::uint32_t Regedit4File::Indexing::FindOrAddEntry(std::uint32_t parent,
                                                     std::string_view name,
                                                     std::uint32_t span) {
  std::vector<Entry>& entries = file.entries_;
  const std::uint64_t hash = Hash(parent, name);
  std::size_t at = hash & (table.size() - 1);
  for (; table[at] != 0; at = (at + 1) & (table.size() - 1)) {
    const auto other = static_cast<std::uint32_t>(table[at]);
    if (table[at] >> 32 == hash && entries[other].parent == parent &&
        EqualsAsciiFolded(file.Name(other), name)) {
      return other;
    }
  }
  const auto entry = static_cast<std::uint32_t>(entries.size());
  entries.push_back(Entry{
      parent, static_cast<std::uint32_t>(name.data() - file.bytes_.data()),
      static_cast<std::uint32_t>(name.size()), span});
  listEnds.emplace_back();
  LinkAtEnd(entry, entries[parent].firstChild, listEnds[parent].child, entries,
            &Entry::nextSibling);
  table[at] = hash << 32 | entry;
  if (entries.size() * 2 > table.size()) GrowTable();
  return entry;
}

void Regedit4File::Indexing::GrowTable() {
  std::vector<std::uint64_t> old(table.size() * 2, 0);
  old.swap(table);
  for (std::uint64_t slot : old) {
    std::size_t to = (slot >> 32) & (table.size() - 1);
    while (slot != 0 && table[to] != 0) to = (to + 1) & (table.size() - 1);
    if (slot != 0) table[to] = slot;
  }
}

Regedit4File::Outcome Regedit4File::Load(FileBytes* bytes, Registry& registry,
                                         std::unique_ptr<RegistryFile>* loaded,
                                         LoadFault* fault) {
  if (bytes->size() >= kLargestFile) return kApplyInOrder;
  // The index points into the bytes, which stay where they are from here on.
  std::unique_ptr<Regedit4File> file(new Regedit4File);
  file->bytes_ = std::move(*bytes);
  Indexing indexing(*file);
  if (!ReadLines(indexing.lines, indexing, fault)) return kRefused;
  indexing.NoteNamedKeys();
  if (indexing.stopped) {
    *bytes = std::move(file->bytes_);
    return kApplyInOrder;
  }
  file->lineEnd_ = indexing.lines.lineEnd();
  registry.top.FillLater(file.get(), 1);
  *loaded = std::move(file);
  return kLoaded;
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t fileKey) {
  FillSubkeysFromList(key, this, entries_[fileKey - 1].firstChild, entries_,
                      &Entry::nextSibling,
                      [this](std::uint32_t entry) { return Name(entry); });
}

void Regedit4File::ReadValues(std::uint32_t entry, RegistryKey& key) const {
  LoadFault fault;
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

bool Regedit4File::WriteSpans(const WritePlan& plan, TextOut& out) const {
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
        AppendKeyLine(block, EntryPath(above), false, lineEnd_);
        block += lineEnd_;
      }
    } else if (plan.state[entry] == WritePlan::kChanged) {
      const RegistryKey& key = *plan.changed[entry];
      if (entries_[entry].firstSpan == span)
        AppendKeyBlock(block, key, key.Path(), lineEnd_);
    } else if (!out.CopyFileText(SpanText(span, false))) {
      return false;
    }
    if (!block.empty() && !out.WriteNewText(block, lineEnd_)) return false;
    block.clear();
  }
  return true;
}

bool Regedit4File::Write(const Registry& registry, const FileSink& sink,
                         WriteFault* fault) {
  TextOut out(sink);
  const bool written = WriteText(PlanWrite(registry), out);
  fault->sinkError = out.failure();
  return written;
}

bool Regedit4File::WriteText(const WritePlan& plan, TextOut& out) const {
  // What comes before the first key line, then the spans, then the keys
  // written at the end, in blocks of about 64 KB.
  if (!out.CopyFileText(bytes_.view().substr(
          0, spans_.empty() ? bytes_.size() : spans_[0].start)) ||
      !WriteSpans(plan, out)) {
    return false;
  }
  std::string block;
  for (const RegistryKey* key : plan.atEnd) {
    AppendKeyBlock(block, *key, key->Path(), lineEnd_);
    if (block.size() >= (std::size_t{1} << 16)) {
      if (!out.WriteNewText(block, lineEnd_)) return false;
      block.clear();
    }
  }
  return (block.empty() || out.WriteNewText(block, lineEnd_)) && out.Flush();
}

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry, LoadFault* fault,
                  std::string* lineEnd) {
  LineReader lines(text);
  Applier applier(registry);
  const bool read = ReadLines(lines, applier, fault);
  if (lineEnd != nullptr) *lineEnd = lines.lineEnd();
  registry.changes.clear();  // what a text holds is no change of a run's
  registry.deleted.clear();
  return read;
}

bool ApplyRegedit4(std::string_view text, Registry& registry,
                   LoadFault* fault) {
  LineReader lines(text);
  Applier applier(registry);
  return ReadLines(lines, applier, fault);
}

std::unique_ptr<RegistryFile> LoadRegedit4(FileBytes bytes, Registry& registry,
                                           LoadFault* fault) {
  std::unique_ptr<RegistryFile> file;
  const auto outcome = Regedit4File::Load(&bytes, registry, &file, fault);
  if (outcome != Regedit4File::kApplyInOrder) return file;
  std::string lineEnd;
  if (!ReadRegedit4(bytes.view(), registry, fault, &lineEnd)) return nullptr;
  return std::make_unique<AppliedRegedit4File>(std::move(bytes),
                                               std::move(lineEnd));
}

int ExportRegedit4(const Registry& registry, const FileSink& sink,
                   std::string_view lineEnd) {
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
      if (int failure = sink(at, block)) return failure;
      at += block.size();
      block.clear();
    }
    const std::size_t subkeysFrom = walk.size();
    key.ForEachSubkey([&](const RegistryKey& s) { walk.push_back(&s); });
    std::reverse(walk.begin() + static_cast<std::ptrdiff_t>(subkeysFrom),
                 walk.end());
  }
  return sink(at, block);
}

std::string Regedit4Text(const Registry& registry, std::string_view lineEnd) {
  std::string text;
  ExportRegedit4(
      registry,
      [&](std::uint64_t, std::string_view piece) {
        text += piece;
        return 0;
      },
      lineEnd);
  return text;
}

}  // namespace brindle
