#include "platform/hosted/forms/regedit4.h"

#include <cstring>
#include <memory>
#include <vector>

#include "platform/hosted/forms/regedit4_codec.h"

namespace brindle {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Places are measured in 32 bits: a larger file is applied line by line.
constexpr std::size_t kLargestFile = 0xFFFFFFF0u;

// Reads a text line by line as regedit does, handing each key and value line
// to `reader`: Key() answers null or why it refuses the line; values come
// once Current(); `stopped` ends the reading. False, with `*fault`, at the
// first malformed line.
template <typename Reader>
bool ReadLines(LineReader& lines, Reader& reader, Regedit4Fault* fault) {
  auto refuse = [&](const char* what, std::size_t line) {
    if (fault != nullptr) {
      fault->line = line != 0 ? line : lines.number() == 0 ? 1 : lines.number();
      fault->what = what;
    }
    return false;
  };
  std::string_view body;
  if (!lines.NextLine(&body) || !IsHeaderLine(body))
    return refuse("no REGEDIT4 header", 0);
  LineKind kind;
  KeyLine key;
  ValueFault valueFault;
  while (!reader.stopped && lines.Next(&kind, &body)) {
    const char* what = nullptr;
    if (kind == LineKind::Key) {
      if (!ParseKeyLine(body, &key, &what) || (what = reader.Key(key)))
        return refuse(what, 0);
    } else if (kind == LineKind::Value) {
      if (!reader.Current()) return refuse("value before any key", 0);
      if (!lines.ReadValue(&reader.value, &valueFault))
        return refuse(valueFault.what, valueFault.line);
      reader.Value();
    } else if (kind == LineKind::Other) {
      return refuse("not a key, value or comment line", 0);
    }
  }
  return true;
}

// Applies a text line by line, in order: what journals hold, and any file
// that deletes what it named before.
struct Applier {
  explicit Applier(Registry& into) : registry(into) {}
  Registry& registry;
  RegistryKey* current = nullptr;
  ValueLine value;  // kept from line to line: no allocation a value
  bool stopped = false;

  bool Current() const { return current != nullptr; }
  const char* Key(const KeyLine& line) {
    current = line.deletion ? registry.Find(line.path)
                            : MakeKeyPath(registry.top, line.path);
    if (line.deletion && current != nullptr)
      current->parent()->RemoveSubkey(current);
    if (line.deletion) current = nullptr;
    return nullptr;
  }
  void Value() {
    if (value.deletion)
      current->RemoveValue(value.name);
    else
      current->SetValue(value.name, value.type, value.data);
  }
};

// Text on its way to a sink: pieces gathered, long stretches of the file
// handed on as they lie in it, so the kernel can copy them.
class TextOut {
 public:
  explicit TextOut(const Regedit4Sink& sink) : sink_(sink) {}
  // Text of the file as it stands; neighbouring stretches go out as one.
  bool Keep(std::string_view text) {
    if (text.empty()) return true;
    if (kept_.data() + kept_.size() == text.data()) {
      kept_ = std::string_view(kept_.data(), kept_.size() + text.size());
    } else {
      if (!Flush()) return false;
      kept_ = text;
    }
    return true;
  }
  // Text written anew; a line end first where what went before ends none.
  bool Put(std::string_view text, std::string_view lineEnd) {
    if (!kept_.empty()) ended_ = kept_.back() == '\n' || kept_.back() == '\r';
    if (!Flush()) return false;
    if (!ended_) buffer_ += lineEnd;
    buffer_ += text;
    ended_ = true;
    return buffer_.size() < kFull || Finish();
  }
  bool Finish() { return Flush() && Send(); }

 private:
  // Short stretches are copied into the buffer, long ones handed on whole.
  static constexpr std::size_t kLong = std::size_t{64} << 10;
  static constexpr std::size_t kFull = std::size_t{1} << 20;
  bool Flush() {
    std::string_view kept = kept_;
    kept_ = std::string_view();
    if (kept.size() >= kLong) return Send() && sink_(kept);
    buffer_ += kept;
    return buffer_.size() < kFull || Send();
  }
  bool Send() {
    bool taken = buffer_.empty() || sink_(buffer_);
    buffer_.clear();
    return taken;
  }

  const Regedit4Sink& sink_;
  std::string buffer_;
  std::string_view kept_;  // not yet handed on
  bool ended_ = true;  // what went out ends a line; kept text read in Put only
};

// A registry file as spans of its own text. While the file is read, it is
// also the reader that notes each key line's span under the entry it names,
// every line checked as the line-by-line reader checks it.
class Regedit4File final : public KeyFiller {
 public:
  enum Outcome { kLoaded, kRefused, kApplyInOrder };
  // Reads `*bytes` into an empty `registry`, taking them when loaded.
  static Outcome Load(FileBytes* bytes, Registry& registry,
                      Regedit4Fault* fault);
  void FillSubkeys(RegistryKey& key, std::uint32_t tag) override;
  void FillValues(RegistryKey& key, std::uint32_t tag) override {
    ReadValues(tag - 1, key);
  }
  // Writes `registry`, loaded from `file` or (null) not from a file.
  static bool Write(const Regedit4File* file, const Registry& registry,
                    TextOut& out);
  const FileBytes& bytes() const { return bytes_; }

  // As the reader for ReadLines: a line that deletes stops it (the file is
  // applied in order instead).
  ValueLine value;
  bool stopped = false;
  bool Current() const { return !spans_.empty(); }
  void Value() { stopped = value.deletion; }
  const char* Key(const KeyLine& line) {
    stopped = line.deletion;
    if (!stopped) NoteKeyLine(line.path);
    return nullptr;
  }

 private:
  // A key as the file names it, by its own key line or on the path to
  // another; a name given again, in any case, is the same entry. Entry 0 is
  // the nameless top; an entry comes after its parent.
  struct Entry {
    std::uint32_t parent;
    std::uint32_t nameAt;  // its name's place in the file
    std::uint32_t nameSize;
    std::uint32_t bornIn;  // the span whose key line named it first
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
  struct Named {
    std::uint32_t entry;
    std::size_t end;
  };
  // Where each entry's lists end, while they grow.
  struct Lasts {
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
    bytes_.Read(end - from);
    return bytes_.view().substr(from, end - from);
  }
  // Sets on `key` the values of `entry`'s spans, in the order of the file.
  void ReadValues(std::uint32_t entry, RegistryKey& key) const;
  // Notes a key line's span; the keys it names are found at the next one,
  // the slot looked into fetched meanwhile (31 to 22 ms for 10^5 keys).
  void NoteKeyLine(std::string_view path);
  void NoteNamedKeys();
  static std::uint64_t Hash(std::uint32_t parent, std::string_view name) {
    return FoldedNameHash(name) ^ (parent * 0x9E3779B1u);
  }
  // The entry named `name` below `parent`, made when there is none.
  std::uint32_t Child(std::uint32_t parent, std::string_view name,
                      std::uint32_t span);

  FileBytes bytes_;
  std::vector<Entry> entries_;
  std::vector<Span> spans_;
  mutable ValueLine value_;  // kept from key to key: no allocation a value
  // While the file is read.
  LineReader lines_{std::string_view()};
  std::vector<Named> chain_;
  std::string_view last_;
  std::uint32_t noted_ = 0;  // how far the file was read at the last key line
  std::vector<Lasts> lasts_;
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
  bytes_.Read(start - noted_);
  noted_ = start;
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
    entry = Child(entry, path.substr(at, end - at), span);
    chain_.push_back(Named{entry, end});
    at = end + 1;
  }
  spans_[span].entry = entry;
  std::uint32_t& lastSpan = lasts_[entry].span;
  (lastSpan == kNone ? entries_[entry].firstSpan : spans_[lastSpan].next) =
      span;
  lastSpan = span;
}

// Slots hold the hash beside the entry: probes seldom look at the entry.
std::uint32_t Regedit4File::Child(std::uint32_t parent, std::string_view name,
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
  lasts_.emplace_back();
  std::uint32_t& lastChild = lasts_[parent].child;
  (lastChild == kNone ? entries_[parent].firstChild
                      : entries_[lastChild].nextSibling) = entry;
  lastChild = entry;
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
  file->lasts_.reserve(keys);
  std::size_t slots = 1024;
  while (slots < 2 * keys) slots *= 2;
  file->table_.assign(slots, 0);
  file->entries_.push_back(Entry{kNone, 0, 0, kNone});
  file->lasts_.emplace_back();
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
  file->lasts_ = {};
  file->table_ = {};
  registry.top.FillLater(file.get(), 1);
  registry.source = std::move(file);
  return kLoaded;
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  for (std::uint32_t c = entries_[tag - 1].firstChild; c != kNone;
       c = entries_[c].nextSibling) {
    auto* subkey = new RegistryKey(Name(c), &key, true);
    subkey->FillLater(this, c + 1);
    key.AddSubkey(subkey);
  }
}

void Regedit4File::ReadValues(std::uint32_t entry, RegistryKey& key) const {
  ValueFault fault;
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

bool Regedit4File::Write(const Regedit4File* file, const Registry& registry,
                         TextOut& out) {
  const std::string& lineEnd = registry.lineEnd;
  const std::size_t entries = file ? file->entries_.size() : 1;
  enum State : std::uint8_t { kKept, kGone, kChanged };
  std::vector<std::uint8_t> state(entries, kKept);
  std::vector<const RegistryKey*> keyOf(entries, nullptr);
  // Keys the run made, each before its subkeys, and keys whose values
  // changed that have no key line of their own: written at the end. Not
  // read from a file, every key is made.
  std::vector<const RegistryKey*> atEnd;
  std::vector<const RegistryKey*> walk{&registry.top};
  std::vector<const RegistryKey*> subkeys;
  while (!walk.empty()) {
    const RegistryKey& key = *walk.back();
    walk.pop_back();
    subkeys.clear();
    if (file == nullptr || key.fillTag() == 0 || !key.subkeysWaiting())
      key.ForEachSubkey([&](const RegistryKey& s) { subkeys.push_back(&s); });
    if (file == nullptr || key.fillTag() == 0) {
      if (&key != &registry.top) atEnd.push_back(&key);
      walk.insert(walk.end(), subkeys.rbegin(), subkeys.rend());
      continue;
    }
    // What the run looked into says which entries are gone or changed.
    const std::uint32_t entry = key.fillTag() - 1;
    keyOf[entry] = &key;
    if (!key.valuesWaiting() && key.valueWrites() != 0) {
      RegistryKey asRead(std::string_view(), nullptr);
      file->ReadValues(entry, asRead);
      if (!SameValues(key, asRead)) {
        state[entry] = kChanged;
        if (file->entries_[entry].firstSpan == kNone) atEnd.push_back(&key);
      }
    }
    if (key.subkeysWaiting()) continue;
    for (std::uint32_t c = file->entries_[entry].firstChild; c != kNone;
         c = file->entries_[c].nextSibling) {
      state[c] = kGone;  // unless the run still has it
    }
    for (const RegistryKey* s : subkeys) {
      if (s->fillTag() != 0) state[s->fillTag() - 1] = kKept;
    }
    walk.insert(walk.end(), subkeys.rbegin(), subkeys.rend());
  }

  std::string block;
  if (file == nullptr) {
    block.append(Regedit4Header).append(lineEnd).append(lineEnd);
  } else {
    for (std::size_t e = 1; e < entries; ++e) {
      if (state[file->entries_[e].parent] == kGone) state[e] = kGone;
    }
    const auto& spans = file->spans_;
    if (!out.Keep(file->bytes_.view().substr(
            0, spans.empty() ? file->bytes_.size() : spans[0].start))) {
      return false;
    }
    for (std::uint32_t span = 0; span < spans.size(); ++span) {
      const std::uint32_t entry = spans[span].entry;
      if (state[entry] == kGone) {
        // A key that stays, first named on this key line, is named here
        // still: it keeps its place among its siblings.
        std::uint32_t above = file->entries_[entry].parent;
        while (state[above] == kGone) above = file->entries_[above].parent;
        if (above != 0 && file->entries_[above].bornIn == span) {
          AppendKeyLine(block, keyOf[above]->Path(), false, lineEnd);
          block += lineEnd;
        }
      } else if (state[entry] == kChanged) {
        if (file->entries_[entry].firstSpan == span)
          AppendKeyBlock(block, *keyOf[entry], keyOf[entry]->Path(), lineEnd);
      } else if (!out.Keep(file->SpanText(span, false))) {
        return false;
      }
      if (!block.empty() && !out.Put(block, lineEnd)) return false;
      block.clear();
    }
  }
  for (const RegistryKey* key : atEnd) {
    AppendKeyBlock(block, *key, key->Path(), lineEnd);
    if (block.size() >= (std::size_t{1} << 16)) {
      if (!out.Put(block, lineEnd)) return false;
      block.clear();
    }
  }
  return (block.empty() || out.Put(block, lineEnd)) && out.Finish();
}

}  // namespace

bool ReadRegedit4(std::string_view text, Registry& registry,
                  Regedit4Fault* fault) {
  LineReader lines(text);
  Applier applier(registry);
  if (!ReadLines(lines, applier, fault)) return false;
  registry.lineEnd = lines.lineEnd();
  return true;
}

bool LoadRegedit4(FileBytes bytes, Registry& registry, Regedit4Fault* fault) {
  const auto outcome = Regedit4File::Load(&bytes, registry, fault);
  if (outcome != Regedit4File::kApplyInOrder)
    return outcome == Regedit4File::kLoaded;
  return ReadRegedit4(bytes.view(), registry, fault);
}

bool WriteRegedit4(const Registry& registry, const Regedit4Sink& sink) {
  TextOut out(sink);
  return Regedit4File::Write(
      dynamic_cast<const Regedit4File*>(registry.source.get()), registry, out);
}

const FileBytes* Regedit4Source(const Registry& registry) {
  const auto* file = dynamic_cast<const Regedit4File*>(registry.source.get());
  return file != nullptr ? &file->bytes() : nullptr;
}

std::string Regedit4Text(const Registry& registry) {
  std::string text;
  WriteRegedit4(registry, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace brindle
