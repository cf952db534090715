#include "platform/hosted/forms/regedit4_file.h"

#include <cstring>
#include <memory>

namespace brindle {
namespace {

// Places are measured in 32 bits: a larger file is applied line by line.
constexpr std::size_t kLargestFile = 0xFFFFFFF0u;
// Pieces of the file shorter than this are copied into the buffer; longer
// ones go out as they lie, a system call each.
constexpr std::size_t kLongPiece = std::size_t{64} << 10;
constexpr std::size_t kBufferFull = std::size_t{1} << 20;

}  // namespace

bool TextOut::Keep(std::string_view text) {
  if (text.empty()) return true;
  if (kept_.data() + kept_.size() == text.data()) {
    kept_ = std::string_view(kept_.data(), kept_.size() + text.size());
  } else {
    if (!Flush()) return false;
    kept_ = text;
  }
  lineEnded_ = text.back() == '\n' || text.back() == '\r';
  return true;
}

bool TextOut::Put(std::string_view text, std::string_view lineEnd) {
  if (!Flush()) return false;
  if (!lineEnded_) buffer_ += lineEnd;
  buffer_ += text;
  lineEnded_ = true;
  return buffer_.size() < kBufferFull || Finish();
}

bool TextOut::Flush() {
  std::string_view kept = kept_;
  kept_ = std::string_view();
  if (kept.size() < kLongPiece) {
    buffer_ += kept;
    return buffer_.size() < kBufferFull || Finish();
  }
  return Finish() && sink_(kept);
}

bool TextOut::Finish() {
  if (!kept_.empty() && !Flush()) return false;
  if (buffer_.empty()) return true;
  bool taken = sink_(buffer_);
  buffer_.clear();
  return taken;
}

// One pass over the text: every line is checked as the line-by-line reader
// checks it, with the same refusals and line numbers, and each key line's
// span noted under the entry it names.
class Regedit4File::Indexer {
 public:
  Indexer(Regedit4File& file, std::string_view text)
      : file_(file), text_(text), lines_(text) {}

  Outcome Run(Regedit4Fault* fault) {
    std::string_view line;
    if (!lines_.NextLine(&line) || !IsHeaderLine(line)) {
      return Refuse(fault, "no REGEDIT4 header", 1);
    }
    // About one key a 160 bytes in a generated machine: room made once.
    const std::size_t keys = text_.size() / 160 + 1;
    file_.entries_.reserve(keys);
    file_.spans_.reserve(keys);
    std::size_t slots = 1024;
    while (slots < 2 * keys) slots *= 2;
    table_.assign(slots, 0);
    file_.entries_.push_back(Entry{kNone, 0, 0, kNone});
    lasts_.reserve(keys);
    lasts_.push_back(Lasts{});
    std::string_view body;
    ValueFault valueFault;
    LineKind kind;
    while (lines_.Next(&kind, &body)) {
      switch (kind) {
        case LineKind::Blank:
        case LineKind::Comment:
          break;
        case LineKind::Key: {
          KeyLine key;
          const char* what = nullptr;
          if (!ParseKeyLine(body, &key, &what)) return Refuse(fault, what, 0);
          if (key.deletion) return Outcome::ApplyInOrder;
          NoteKeyLine(static_cast<std::uint32_t>(lines_.lineStart()), key.path);
          break;
        }
        case LineKind::Value:
          if (file_.spans_.empty()) {
            return Refuse(fault, "value before any key", 0);
          }
          if (!lines_.ReadValue(&check_, &valueFault)) {
            return Refuse(fault, valueFault.what, valueFault.line);
          }
          if (check_.deletion) return Outcome::ApplyInOrder;
          break;
        case LineKind::Other:
          return Refuse(fault, "not a key, value or comment line", 0);
      }
    }
    return Outcome::Loaded;
  }

  std::string lineEnd() const { return lines_.lineEnd(); }

 private:
  // The head of the key line read last, name by name: its entry and where
  // its name ends in that path.
  struct Named {
    std::uint32_t entry;
    std::size_t end;
  };

  Outcome Refuse(Regedit4Fault* fault, const char* what, std::size_t line) {
    fault->line = line != 0 ? line : lines_.number();
    fault->what = what;
    return Outcome::Refused;
  }

  void NoteKeyLine(std::uint32_t start, std::string_view path) {
    const auto span = static_cast<std::uint32_t>(file_.spans_.size());
    // The names this path shares, byte for byte, with the last key line's
    // are its entries again: in a file in tree order, all but the last.
    // The deepest is tried first, one comparison for all above it.
    std::size_t depth = chain_.size();
    for (; depth > 0; --depth) {
      const std::size_t end = chain_[depth - 1].end;
      if (end <= path.size() && (end == path.size() || path[end] == '\\') &&
          std::memcmp(path.data(), last_.data(), end) == 0) {
        break;
      }
    }
    chain_.resize(depth);
    std::uint32_t entry = depth == 0 ? 0 : chain_.back().entry;
    std::size_t at = depth == 0 ? 0 : chain_.back().end + 1;
    while (at <= path.size()) {
      std::size_t end = path.find('\\', at);
      if (end == std::string_view::npos) end = path.size();
      entry = Child(entry, path.substr(at, end - at), span);
      chain_.push_back(Named{entry, end});
      at = end + 1;
    }
    last_ = path;
    file_.bytes_.Read(start - noted_);
    noted_ = start;
    file_.spans_.push_back(Span{
        start, static_cast<std::uint32_t>(lines_.position()), entry, kNone});
    std::uint32_t& lastSpan = lasts_[entry].span;
    (lastSpan == kNone ? file_.entries_[entry].firstSpan
                       : file_.spans_[lastSpan].next) = span;
    lastSpan = span;
  }

  // The entry named `name` below `parent`, made when there is none.
  std::uint32_t Child(std::uint32_t parent, std::string_view name,
                      std::uint32_t span) {
    auto& entries = file_.entries_;
    const std::uint64_t hash = FoldedNameHash(name) ^ (parent * 0x9E3779B1u);
    const std::size_t mask = table_.size() - 1;
    std::size_t at = hash & mask;
    for (; table_[at] != 0; at = (at + 1) & mask) {
      const auto other = static_cast<std::uint32_t>(table_[at]);
      if (table_[at] >> 32 == hash && entries[other].parent == parent &&
          EqualsAsciiFolded(file_.Name(other), name)) {
        return other;
      }
    }
    const auto entry = static_cast<std::uint32_t>(entries.size());
    entries.push_back(
        Entry{parent, static_cast<std::uint32_t>(name.data() - text_.data()),
              static_cast<std::uint32_t>(name.size()), span});
    lasts_.push_back(Lasts{});
    std::uint32_t& lastChild = lasts_[parent].child;
    (lastChild == kNone ? entries[parent].firstChild
                        : entries[lastChild].nextSibling) = entry;
    lastChild = entry;
    table_[at] = hash << 32 | entry;
    if (entries.size() * 2 > table_.size()) Grow();
    return entry;
  }

  void Grow() {
    std::vector<std::uint64_t> old(table_.size() * 2, 0);
    old.swap(table_);
    const std::size_t mask = table_.size() - 1;
    for (std::uint64_t slot : old) {
      if (slot == 0) continue;
      std::size_t at = (slot >> 32) & mask;
      while (table_[at] != 0) at = (at + 1) & mask;
      table_[at] = slot;
    }
  }

  Regedit4File& file_;
  std::string_view text_;
  LineReader lines_;
  std::vector<Named> chain_;
  std::string_view last_;
  std::uint32_t noted_ = 0;  // how far the file was read at the last key line
  ValueLine check_{{}, 0, {}, false, true};
  // Where each entry's lists end, while they grow.
  struct Lasts {
    std::uint32_t child = kNone;
    std::uint32_t span = kNone;
  };
  std::vector<Lasts> lasts_;
  // Entries by parent and folded name, open addressing: each slot holds
  // the hash beside the entry, so probes seldom look at the entry itself.
  std::vector<std::uint64_t> table_;
};

Regedit4File::Outcome Regedit4File::Load(FileBytes* bytes, Registry& registry,
                                         Regedit4Fault* fault) {
  if (bytes->size() >= kLargestFile) return Outcome::ApplyInOrder;
  std::unique_ptr<Regedit4File> file(new Regedit4File);
  // The notes point into the bytes, which stay where they are when moved.
  file->size_ = bytes->size();
  file->bytes_ = std::move(*bytes);
  Indexer indexer(*file, file->bytes_.view());
  Regedit4Fault refusal;
  Outcome outcome = indexer.Run(&refusal);
  if (outcome == Outcome::Refused && fault != nullptr) *fault = refusal;
  if (outcome != Outcome::Loaded) {
    *bytes = std::move(file->bytes_);
    return outcome;
  }
  registry.lineEnd = indexer.lineEnd();
  registry.top.FillLater(file.get(), 1);
  registry.source = std::move(file);
  return Outcome::Loaded;
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  for (std::uint32_t c = entries_[tag - 1].firstChild; c != kNone;
       c = entries_[c].nextSibling) {
    auto* subkey = new RegistryKey(Name(c), &key, true);
    subkey->FillLater(this, c + 1);
    key.AddSubkey(subkey);
  }
}

void Regedit4File::FillValues(RegistryKey& key, std::uint32_t tag) {
  ReadValues(tag - 1, key);
}

void Regedit4File::ReadValues(std::uint32_t entry, RegistryKey& key) const {
  ValueLine& value = value_;
  ValueFault fault;
  // The values take about as many bytes as their lines.
  std::size_t text = 0;
  for (std::uint32_t span = entries_[entry].firstSpan; span != kNone;
       span = spans_[span].next) {
    text += SpanEnd(span) - spans_[span].values;
  }
  key.ReserveValues(text);
  for (std::uint32_t span = entries_[entry].firstSpan; span != kNone;
       span = spans_[span].next) {
    const std::uint32_t from = spans_[span].values;
    bytes_.Read(SpanEnd(span) - from);
    LineReader lines(bytes_.view().substr(from, SpanEnd(span) - from));
    LineKind kind;
    std::string_view body;
    while (lines.Next(&kind, &body)) {
      // Every line was checked when the file was read.
      if (kind == LineKind::Value && lines.ReadValue(&value, &fault)) {
        key.SetValue(value.name, value.type, value.data);
      }
    }
  }
}

bool Regedit4File::Write(const Registry& registry, TextOut& out) const {
  const std::string& lineEnd = registry.lineEnd;
  enum State : std::uint8_t { kKept, kGone, kChanged };
  std::vector<std::uint8_t> state(entries_.size(), kKept);
  std::vector<const RegistryKey*> keyOf(entries_.size(), nullptr);
  // Keys the run made, each before its subkeys, and keys whose values
  // changed that have no key line of their own: written at the end.
  std::vector<const RegistryKey*> atEnd;

  // What the run looked into says which entries are gone or changed.
  std::vector<const RegistryKey*> walk{&registry.top};
  while (!walk.empty()) {
    const RegistryKey& key = *walk.back();
    walk.pop_back();
    if (key.fillTag() == 0) {  // made by the run
      atEnd.push_back(&key);
      std::vector<const RegistryKey*> made;
      key.ForEachSubkey([&](const RegistryKey& s) { made.push_back(&s); });
      walk.insert(walk.end(), made.rbegin(), made.rend());
      continue;
    }
    const std::uint32_t entry = key.fillTag() - 1;
    keyOf[entry] = &key;
    if (!key.valuesWaiting() && key.valueWrites() != 0) {
      RegistryKey asRead(std::string_view(), nullptr);
      ReadValues(entry, asRead);
      if (!SameValues(key, asRead)) {
        state[entry] = kChanged;
        if (entries_[entry].firstSpan == kNone) atEnd.push_back(&key);
      }
    }
    if (key.subkeysWaiting()) continue;
    for (std::uint32_t c = entries_[entry].firstChild; c != kNone;
         c = entries_[c].nextSibling) {
      state[c] = kGone;  // unless the run still has it
    }
    std::vector<const RegistryKey*> subkeys;
    key.ForEachSubkey([&](const RegistryKey& s) {
      if (s.fillTag() != 0) state[s.fillTag() - 1] = kKept;
      subkeys.push_back(&s);
    });
    walk.insert(walk.end(), subkeys.rbegin(), subkeys.rend());
  }
  for (std::size_t e = 1; e < entries_.size(); ++e) {
    if (state[entries_[e].parent] == kGone) state[e] = kGone;
  }

  std::string block;
  if (!out.Keep(
          bytes_.view().substr(0, spans_.empty() ? size_ : spans_[0].start))) {
    return false;
  }
  for (std::uint32_t span = 0; span < spans_.size(); ++span) {
    const std::uint32_t entry = spans_[span].entry;
    block.clear();
    if (state[entry] == kGone) {
      // A key that stays, first named on this key line, is named here
      // still: it keeps its place among its siblings.
      std::uint32_t above = entries_[entry].parent;
      while (state[above] == kGone) above = entries_[above].parent;
      if (above != 0 && entries_[above].bornIn == span) {
        AppendKeyLine(block, keyOf[above]->Path(), false, lineEnd);
        block += lineEnd;
      }
    } else if (state[entry] == kChanged) {
      if (entries_[entry].firstSpan == span) {
        AppendKeyBlock(block, *keyOf[entry], keyOf[entry]->Path(), lineEnd);
      }
    } else {
      bytes_.Read(SpanEnd(span) - spans_[span].start);
      if (!out.Keep(bytes_.view().substr(spans_[span].start,
                                         SpanEnd(span) - spans_[span].start))) {
        return false;
      }
    }
    if (!block.empty() && !out.Put(block, lineEnd)) return false;
  }
  for (const RegistryKey* key : atEnd) {
    block.clear();
    AppendKeyBlock(block, *key, key->Path(), lineEnd);
    if (!out.Put(block, lineEnd)) return false;
  }
  return out.Finish();
}

}  // namespace brindle
