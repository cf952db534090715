#include "platform/hosted/forms/regedit4_file.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/hosted/forms/regedit4_codec.h"

namespace brindle {
namespace {

// The tag of the nameless top; an entry's tag is its number plus one, and 0
// is no tag at all (a key the run made).
constexpr std::uint32_t kTopTag = 0xFFFFFFFFu;
// The largest file read only as far as a run needs.
constexpr std::size_t kLargestFile = 0xFFFFFFF0u;

}  // namespace

// One pass over the text: every line is checked as the line-by-line reader
// checks it, with the same refusals and line numbers, and each key line's
// span noted under the entry it names.
class Regedit4File::Indexer {
 public:
  Indexer(Regedit4File& file, const FileBytes& bytes)
      : file_(file), bytes_(bytes), text_(bytes.view()), lines_(text_) {}

  Outcome Run(Regedit4Fault* fault) {
    std::string_view line;
    if (!lines_.Next(&line) || !IsHeaderLine(line)) {
      return Refuse(fault, "no REGEDIT4 header", 1);
    }
    // Lines are written with the header's line end.
    std::string_view after = text_.substr(line.size());
    if (line == Regedit4Header) {
      if (after.substr(0, 2) == "\r\n") {
        file_.lineEnd_ = "\r\n";
      } else if (after.substr(0, 1) == "\n") {
        file_.lineEnd_ = "\n";
      }
    }
    if (file_.lineEnd_.empty()) spoilNext_ = true;
    // Entries and spans are numbered, and places within a span measured, in
    // 32 bits: a larger file is applied line by line.
    if (text_.size() >= kLargestFile) return Outcome::ApplyInOrder;
    file_.entries_.reserve(text_.size() / kTypicalKeyBytes);
    file_.spans_.reserve(text_.size() / kTypicalKeyBytes);
    std::string_view body;
    while (ForgetBehind(lines_.position()), SkipWritten(), lines_.Next(&line)) {
      const char* at = line.data();
      switch (KindOfLine(line, &body)) {
        case LineKind::Blank:
          if (!line.empty() || blank_ != nullptr ||
              !lines_.EndedIn(file_.lineEnd_)) {
            blankWritten_ = false;
          }
          if (blank_ == nullptr) {
            blank_ = at;
            if (line.empty() && lines_.EndedIn(file_.lineEnd_))
              blankWritten_ = true;
          }
          break;
        case LineKind::Comment:
          Spoil();
          break;
        case LineKind::Key: {
          KeyLine key;
          const char* what = nullptr;
          if (!ParseKeyLine(body, &key, &what)) return Refuse(fault, what, 0);
          if (key.deletion) return Outcome::ApplyInOrder;
          bool exact = line.size() == key.path.size() + 2 &&
                       lines_.EndedIn(file_.lineEnd_);
          StartSpan(at, key.path, exact);
          break;
        }
        case LineKind::Value:
          if (current_ == kNone)
            return Refuse(fault, "value before any key", 0);
          if (!CheckValue(line, body, fault)) {
            return fault->what.empty() ? Outcome::ApplyInOrder
                                       : Outcome::Refused;
          }
          break;
        case LineKind::Other:
          return Refuse(fault, "not a key, value or comment line", 0);
      }
    }
    const std::size_t end = blank_ != nullptr ? Offset(blank_) : text_.size();
    file_.lastSpanEnd_ = static_cast<std::uint32_t>(end);
    Close(0, end);
    bytes_.Forget(0, text_.size());
    lineEnd_ = lines_.lineEnd();
    return Outcome::Loaded;
  }

  const std::string& lineEnd() const { return lineEnd_; }

 private:
  // A key and its values take about this many bytes in a generated machine:
  // room is made for as many as a file of that size is likely to hold.
  static constexpr std::size_t kTypicalKeyBytes = 160;
  static constexpr std::size_t kForgetStep = std::size_t{1} << 20;

  // An entry on the path of the key line read last: where its name ends on
  // that line, and whether a key line named it itself.
  struct Open {
    std::uint32_t entry;
    std::size_t prefixLength;
    bool named;
  };

  // The text behind is not looked at again while indexing, but for the key
  // lines just read: its memory is given back as the reading goes on, a
  // step behind, so a large file never sits whole in memory.
  void ForgetBehind(const char* position) {
    const std::size_t at = Offset(position);
    if (at - forgotten_ >= 2 * kForgetStep) {
      bytes_.Forget(forgotten_, at - kForgetStep);
      forgotten_ = at - kForgetStep;
    }
  }

  // Goes through the lines that follow exactly as the writer writes them
  // (one line end throughout, a blank line before each key line, values in
  // their written form) without handing them out one by one: most of a
  // file is such lines. What they do not cover is read line by line.
  void SkipWritten() {
    const std::string_view lineEnd = file_.lineEnd_;
    if (lineEnd.empty() || blank_ != nullptr) return;
    const char* const end = text_.data() + text_.size();
    const char* p = lines_.position();
    std::size_t lines = 0;
    while (p != end) {
      if ((*p == '"' || *p == '@') && current_ != kNone &&
          file_.spans_[current_].written) {
        std::size_t taken = 0;
        const char* next = MatchWrittenValue(p, end, lineEnd, &taken);
        if (next == nullptr) break;
        p = next;
        lines += taken;
        continue;
      }
      // A blank line, then "[path]".
      const std::size_t left = static_cast<std::size_t>(end - p);
      if (left <= lineEnd.size() + 3 || p[lineEnd.size()] != '[' ||
          std::memcmp(p, lineEnd.data(), lineEnd.size()) != 0 ||
          (current_ == kNone && spoilNext_)) {
        break;
      }
      const char* key = p + lineEnd.size();
      const void* found =
          std::memchr(key, '\n', static_cast<std::size_t>(end - key));
      if (found == nullptr) break;
      const char* newline = static_cast<const char*>(found);
      const char* stop = newline + 1 - lineEnd.size();
      if (std::memcmp(stop, lineEnd.data(), lineEnd.size()) != 0 ||
          std::memchr(key, '\r', static_cast<std::size_t>(stop - key)) !=
              nullptr) {
        break;
      }
      std::string_view body(key, static_cast<std::size_t>(stop - key));
      if (body.back() != ']' || body[1] == '-') break;
      std::string_view path = body.substr(1, body.size() - 2);
      // A name added to a path already read is as sound as that path;
      // anything else the grammar checks.
      std::size_t parent = ParentOnChain(path);
      if (parent == 0) {
        KeyLine keyLine;
        const char* what = nullptr;
        if (!ParseKeyLine(body, &keyLine, &what) ||
            body.size() != keyLine.path.size() + 2) {
          break;  // read line by line, refused there if it must be
        }
      } else if (path.back() == '\\') {
        break;
      }
      lines_.SkipTo(key, lines + 1);
      lines = 0;
      blank_ = p;
      blankWritten_ = true;
      lines_.SkipTo(newline + 1, 1);
      StartSpan(key, path, true, parent);
      p = newline + 1;
      ForgetBehind(p);
    }
    lines_.SkipTo(p, lines);
  }

  Outcome Refuse(Regedit4Fault* fault, const char* what, std::size_t line) {
    fault->line = line != 0 ? line : lines_.number();
    fault->what = what;
    return Outcome::Refused;
  }

  std::size_t Offset(const char* at) const {
    return static_cast<std::size_t>(at - text_.data());
  }

  // The current key's lines are not as the writer writes them.
  void Spoil() {
    blank_ = nullptr;
    blankWritten_ = false;
    if (current_ == kNone) {
      spoilNext_ = true;
      return;
    }
    Span& span = file_.spans_[current_];
    if (span.written) {
      span.written = false;
      file_.MarkUnclean(spanEntry_);
    }
  }

  // Ends the entries on the chain past `depth`: their subtrees end at `end`.
  void Close(std::size_t depth, std::size_t end) {
    for (std::size_t i = depth; i < chain_.size(); ++i) {
      file_.entries_[chain_[i].entry].textEnd = static_cast<std::uint32_t>(end);
    }
    if (depth < chain_.size()) chain_.resize(depth);
  }

  // When `path`'s parent is on the chain spelled as on the last key line:
  // its depth; 0 otherwise. Mostly it is the last key line's key or one
  // above it: found by its length and one comparison.
  std::size_t ParentOnChain(std::string_view path) const {
    const void* slash = memrchr(path.data(), '\\', path.size());
    if (slash == nullptr) return 0;
    const std::size_t parentLength =
        static_cast<std::size_t>(static_cast<const char*>(slash) - path.data());
    for (std::size_t d = chain_.size(); d-- > 0;) {
      if (chain_[d].prefixLength < parentLength) break;
      if (chain_[d].prefixLength == parentLength) {
        return std::memcmp(chainPath_, path.data(), parentLength) == 0 ? d + 1
                                                                       : 0;
      }
    }
    return 0;
  }

  // Notes the key line of `path` at `at`, its parent on the chain at
  // `parent` when known.
  void StartSpan(const char* at, std::string_view path, bool exact,
                 std::size_t parent = 0) {
    const char* start = blank_ != nullptr ? blank_ : at;
    const std::size_t offset = Offset(start);
    bool written = exact && blank_ != nullptr && blankWritten_ && !spoilNext_;
    blank_ = nullptr;
    blankWritten_ = false;
    spoilNext_ = false;

    // The head this path shares with the last one is found again without a
    // lookup; every other name makes an entry, made one with any other of
    // the same key when their parent is filled.
    std::size_t depth = 0;
    std::size_t created = 0;
    std::uint32_t entry = kNone;
    bool regular = true;
    const char* name = path.data();
    const char* const pathEnd = path.data() + path.size();
    if (parent == 0) parent = ParentOnChain(path);
    if (parent > 0) {
      depth = parent;
      entry = chain_[parent - 1].entry;
      name = path.data() + chain_[parent - 1].prefixLength + 1;
    }
    while (name <= pathEnd) {
      const char* stop = name;
      while (stop != pathEnd && *stop != '\\') ++stop;
      std::string_view part(name, static_cast<std::size_t>(stop - name));
      const std::size_t prefixLength =
          static_cast<std::size_t>(stop - path.data());
      if (created == 0 && depth < chain_.size() &&
          EqualsAsciiFolded(file_.Name(chain_[depth].entry), part)) {
        entry = chain_[depth].entry;
        chain_[depth].prefixLength = prefixLength;
      } else {
        Close(depth, offset);
        // The parent's own line must spell the path as this one does.
        const std::size_t before =
            static_cast<std::size_t>(name - path.data()) - 1;
        if (depth > 0 &&
            (!chain_.back().named || chain_.back().prefixLength != before ||
             std::memcmp(chainPath_, path.data(), before) != 0)) {
          regular = false;
        }
        entry = file_.AddEntry(part, entry);
        chain_.push_back(Open{entry, prefixLength, false});
        ++created;
      }
      ++depth;
      name = stop + 1;
    }
    Close(depth, offset);
    chain_.back().named = true;
    chainPath_ = path.data();

    Entry& named = file_.entries_[entry];
    std::uint32_t span = static_cast<std::uint32_t>(file_.spans_.size());
    file_.spans_.push_back(
        Span{static_cast<std::uint32_t>(offset),
             static_cast<std::uint32_t>(Offset(path.data()) - offset),
             static_cast<std::uint32_t>(Offset(lines_.position()) - offset),
             kNone, written});
    if (named.lastSpan != kNone) {
      file_.spans_[named.lastSpan].next = span;
    } else {
      named.firstSpan = span;
    }
    named.lastSpan = span;
    // Only a key line that adds one key below the last one's, spelled the
    // same, keeps a subtree as the writer writes it.
    if (!written || !regular || created != 1 || named.firstSpan != span) {
      file_.MarkUnclean(entry);
    }
    if (created > 1) {
      // Keys named only on the way to this one have no lines of their own.
      for (std::size_t i = 0; i + 1 < chain_.size(); ++i) {
        if (!chain_[i].named) file_.MarkUnclean(chain_[i].entry);
      }
    }
    current_ = span;
    spanEntry_ = entry;
  }

  // Checks a value line; false with `fault->what` set when it is malformed,
  // or left empty when it deletes a value.
  bool CheckValue(std::string_view line, std::string_view body,
                  Regedit4Fault* fault) {
    Span& span = file_.spans_[current_];
    if (blank_ != nullptr) Spoil();
    const char* at = line.data();
    bool whole = span.written && body.size() == line.size();
    if (whole) {
      std::size_t taken = 0;
      const char* next = MatchWrittenValue(at, text_.data() + text_.size(),
                                           file_.lineEnd_, &taken);
      if (next != nullptr) {
        lines_.SkipTo(next, taken - 1);
        return true;
      }
    }
    ValueFault valueFault;
    if (!ParseValueLine(lines_, body, &value_, &valueFault)) {
      Refuse(fault, valueFault.what, valueFault.line);
      return false;
    }
    if (value_.deletion) return false;
    // Not the quick form (a string over several lines, say): written as
    // read only when the writer gives it byte for byte.
    if (whole && lines_.EndedIn(file_.lineEnd_)) {
      written_.clear();
      WriteValueLines(written_,
                      RegistryValue{value_.name, value_.type, value_.data},
                      file_.lineEnd_);
      std::string_view read(at, Offset(lines_.position()) - Offset(at));
      if (read == written_.view()) return true;
    }
    Spoil();
    return true;
  }

  Regedit4File& file_;
  const FileBytes& bytes_;
  std::string_view text_;
  std::size_t forgotten_ = 0;  // the text before is given back
  LineReader lines_;
  std::vector<Open> chain_;
  const char* chainPath_ = nullptr;  // the path of the key line read last
  std::uint32_t current_ = kNone;    // the span values go to
  std::uint32_t spanEntry_ = kNone;
  // The blank line read since the last key or value line, if any, and
  // whether it is the one blank line the writer puts before a key.
  const char* blank_ = nullptr;
  bool blankWritten_ = false;
  // Something not as written came before the first key line.
  bool spoilNext_ = false;
  ValueLine value_;
  TextBuffer written_;
  std::string lineEnd_;
};

Regedit4File::Outcome Regedit4File::Load(FileBytes* bytes, Registry& registry,
                                         Regedit4Fault* fault) {
  std::unique_ptr<Regedit4File> file(new Regedit4File);
  file->text_ = bytes->data();  // where the bytes stay when taken
  Indexer indexer(*file, *bytes);
  Regedit4Fault refusal;
  Outcome outcome = indexer.Run(&refusal);
  if (outcome == Outcome::Refused && fault != nullptr) *fault = refusal;
  if (outcome != Outcome::Loaded) return outcome;
  file->bytes_ = std::move(*bytes);
  registry.lineEnd = indexer.lineEnd();
  registry.top.FillLater(file.get(), kTopTag);
  registry.source = std::move(file);
  return Outcome::Loaded;
}

std::uint32_t Regedit4File::AddEntry(std::string_view name,
                                     std::uint32_t parent) {
  std::uint32_t entry = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(Entry{static_cast<std::uint32_t>(name.data() - text_),
                           static_cast<std::uint32_t>(name.size()), parent});
  std::uint32_t& last =
      parent == kNone ? lastRoot_ : entries_[parent].lastChild;
  if (last != kNone) {
    entries_[last].nextSibling = entry;
  } else if (parent == kNone) {
    firstRoot_ = entry;
  } else {
    entries_[parent].firstChild = entry;
  }
  last = entry;
  return entry;
}

void Regedit4File::MarkUnclean(std::uint32_t entry) {
  // An entry's ancestors are unclean whenever it is: the walk stops at the
  // first that already is.
  while (entry != kNone && entries_[entry].clean) {
    entries_[entry].clean = false;
    entry = entries_[entry].parent;
  }
}

bool Regedit4File::PathMatches(const Span& span, std::string_view path) const {
  Read(span.start, span.start + span.path + path.size());
  std::string_view text(text_ + span.start + span.path,
                        bytes_.size() - span.start - span.path);
  return text.size() > path.size() && text[path.size()] == ']' &&
         text.compare(0, path.size(), path) == 0;
}

void Regedit4File::GroupOf(std::uint32_t tag,
                           std::vector<std::uint32_t>* group) const {
  group->clear();
  if (tag == kTopTag) return;
  group->push_back(tag - 1);
  auto merged = merged_.find(tag - 1);
  if (merged != merged_.end()) {
    group->insert(group->end(), merged->second.begin(), merged->second.end());
  }
}

void Regedit4File::FillValues(RegistryKey& key, std::uint32_t tag) {
  GroupOf(tag, &group_);
  std::size_t read = ReadValues(key, group_, order_, value_);
  for (std::uint32_t at : order_) Read(spans_[at].start, SpanEnd(at));
  if (order_.size() == 1 && group_.size() == 1 && spans_[order_[0]].written &&
      key.Values().size() == read) {
    entries_[group_[0]].writesAsRead = key.valueWrites();
  }
}

std::size_t Regedit4File::ReadValues(RegistryKey& key,
                                     const std::vector<std::uint32_t>& group,
                                     std::vector<std::uint32_t>& order,
                                     ValueLine& value) const {
  order.clear();
  for (std::uint32_t entry : group) {
    for (std::uint32_t at = entries_[entry].firstSpan; at != kNone;
         at = spans_[at].next) {
      order.push_back(at);
    }
  }
  if (group.size() > 1) {
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) {
                return spans_[a].start < spans_[b].start;
              });
  }
  // Every value line of its spans, in the order of the file: their text is
  // about the size the values take.
  std::size_t text = 0;
  for (std::uint32_t at : order) {
    text += SpanText(at, spans_[at].values).size();
  }
  key.Reserve(0, text);
  std::size_t read = 0;
  for (std::uint32_t at : order) {
    const Span& span = spans_[at];
    std::string_view text = SpanText(at, span.values);
    const char* const end = text.data() + text.size();
    const char* p = text.data();
    while (p != end) {
      // Lines in the written form are read straight; any other by the
      // grammar's full reader, from where it starts.
      std::size_t taken = 0;
      const char* next =
          span.written ? MatchWrittenValue(p, end, lineEnd_, &taken, &value)
                       : nullptr;
      if (next == nullptr) {
        LineReader lines(
            std::string_view(p, static_cast<std::size_t>(end - p)));
        std::string_view line;
        std::string_view body;
        ValueFault fault;
        lines.Next(&line);
        const bool isValue = KindOfLine(line, &body) == LineKind::Value;
        if (isValue && !ParseValueLine(lines, body, &value, &fault)) {
          break;  // checked when the file was read: never here
        }
        next = lines.position();
        if (!isValue) {  // a blank or comment line
          p = next;
          continue;
        }
      }
      p = next;
      key.SetValue(value.name, value.type, value.data);
      ++read;
    }
  }
  return read;
}

void Regedit4File::FindSubkeys(const std::vector<std::uint32_t>& group,
                               bool top, Subkeys* subkeys) const {
  std::vector<std::uint32_t>& children = subkeys->children;
  children.clear();
  if (top) {
    for (std::uint32_t c = firstRoot_; c != kNone; c = entries_[c].nextSibling)
      children.push_back(c);
  }
  for (std::uint32_t entry : group) {
    for (std::uint32_t c = entries_[entry].firstChild; c != kNone;
         c = entries_[c].nextSibling) {
      children.push_back(c);
    }
  }
  // Entries are numbered in the order the file names them.
  if (group.size() > 1) std::sort(children.begin(), children.end());
  // A name given again is the same key: each child's first naming is found
  // by the folded hashes of the names before it.
  const std::size_t n = children.size();
  std::vector<std::uint32_t>& firstOf = subkeys->firstOf;
  firstOf.resize(n);
  bool twice = false;
  std::size_t size = 4;
  while (size < 2 * n) size *= 2;
  subkeys->seen.assign(n > 1 ? size : 0, 0);
  for (std::size_t i = 0; i < n; ++i) {
    firstOf[i] = static_cast<std::uint32_t>(i);
    if (n == 1) break;
    const std::string_view name = Name(children[i]);
    const std::uint64_t hash = FoldedNameHash(name);
    std::size_t at = hash & (size - 1);
    for (; subkeys->seen[at] != 0; at = (at + 1) & (size - 1)) {
      const std::uint64_t slot = subkeys->seen[at];
      const std::size_t other = (slot & 0xFFFFFFFFu) - 1;
      if (slot >> 32 == hash &&
          EqualsAsciiFolded(Name(children[other]), name)) {
        firstOf[i] = static_cast<std::uint32_t>(other);
        twice = true;
        break;
      }
    }
    if (firstOf[i] == i) subkeys->seen[at] = hash << 32 | (i + 1);
  }
  // Each first naming leads a list of the later ones: `later[i]` is the
  // next naming the same key, or i itself at the end; `ends` serves as
  // each list's last while it is made.
  std::vector<std::uint32_t>& later = subkeys->later;
  std::vector<std::uint32_t>& last = subkeys->ends;
  later.resize(n);
  last.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    later[i] = last[i] = static_cast<std::uint32_t>(i);
    if (twice && firstOf[i] != i) {
      later[last[firstOf[i]]] = static_cast<std::uint32_t>(i);
      last[firstOf[i]] = static_cast<std::uint32_t>(i);
    }
  }
  subkeys->entries.clear();
  subkeys->ends.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (firstOf[i] != i) continue;
    for (std::size_t j = i;; j = later[j]) {
      subkeys->entries.push_back(children[j]);
      if (later[j] == j) break;
    }
    subkeys->ends.push_back(
        static_cast<std::uint32_t>(subkeys->entries.size()));
  }
}

void Regedit4File::Read(std::size_t from, std::size_t to) const {
  readFrom_ = std::min(readFrom_, from);
  readTo_ = std::max(readTo_, to);
  constexpr std::size_t kLeast = std::size_t{8} << 20;
  if (readTo_ - readFrom_ > std::max(kLeast, bytes_.size() / 4)) {
    bytes_.Forget(0, bytes_.size());
    readFrom_ = SIZE_MAX;
    readTo_ = 0;
  }
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  GroupOf(tag, &group_);
  FindSubkeys(group_, tag == kTopTag, &subkeys_);
  key.Reserve(subkeys_.ends.size(), 0);
  std::uint32_t begin = 0;
  for (std::uint32_t end : subkeys_.ends) {
    const std::uint32_t first = subkeys_.entries[begin];
    Read(entries_[first].nameAt, entries_[first].nameAt + 1);
    auto subkey = std::make_unique<RegistryKey>(Name(first), &key, true);
    subkey->FillLater(this, first + 1);
    key.AddSubkey(subkey.release());
    if (end - begin > 1) {
      merged_[first].assign(subkeys_.entries.begin() + begin + 1,
                            subkeys_.entries.begin() + end);
    }
    begin = end;
  }
}

std::string_view Regedit4File::UntouchedSubtree(const RegistryKey& key,
                                                std::string_view path) const {
  std::uint32_t tag = key.fillTag();
  if (!key.subkeysWaiting() || tag == 0 || tag == kTopTag) return {};
  const Entry& entry = entries_[tag - 1];
  // Named apart elsewhere too: that part is not in this text.
  if (!entry.clean || merged_.count(tag - 1) != 0 ||
      !ValuesAsRead(key, entry)) {
    return {};
  }
  if (!PathMatches(spans_[entry.firstSpan], path)) return {};
  return SubtreeText(entry);
}

std::string_view Regedit4File::OwnLinesAsRead(const RegistryKey& key,
                                              std::string_view path) const {
  std::uint32_t tag = key.fillTag();
  if (tag == 0 || tag == kTopTag || merged_.count(tag - 1) != 0) return {};
  const Entry& entry = entries_[tag - 1];
  if (entry.firstSpan == kNone || entry.firstSpan != entry.lastSpan) return {};
  const Span& span = spans_[entry.firstSpan];
  if (!span.written || !ValuesAsRead(key, entry) || !PathMatches(span, path)) {
    return {};
  }
  return SpanText(entry.firstSpan);
}

bool Regedit4File::ValuesAsRead(const RegistryKey& key,
                                const Entry& entry) const {
  return key.valuesWaiting() || entry.writesAsRead == key.valueWrites();
}

bool Regedit4File::WalkWaitingSubkeys(const RegistryKey& key,
                                      std::string_view keyPath,
                                      WaitingVisitor& visitor) const {
  // A frame's key is named by the entries at the end of `pool`.
  struct Frame {
    std::size_t first;
    std::size_t pathLength;
  };
  std::vector<Frame> stack;
  std::vector<std::uint32_t> pool;
  std::vector<std::uint32_t> group;
  std::vector<std::uint32_t> order;
  Subkeys subkeys;
  ValueLine value;
  std::string path(keyPath);
  // Pushes the subkeys of the key named by `group`, the first on top.
  auto pushSubkeys = [&](bool top) {
    FindSubkeys(group, top, &subkeys);
    for (std::size_t i = subkeys.ends.size(); i-- > 0;) {
      stack.push_back(Frame{pool.size(), path.size()});
      pool.insert(pool.end(),
                  subkeys.entries.begin() + (i == 0 ? 0 : subkeys.ends[i - 1]),
                  subkeys.entries.begin() + subkeys.ends[i]);
    }
  };
  GroupOf(key.fillTag(), &group);
  pushSubkeys(key.fillTag() == kTopTag);
  while (!stack.empty()) {
    const Frame frame = stack.back();
    stack.pop_back();
    group.assign(pool.begin() + static_cast<std::ptrdiff_t>(frame.first),
                 pool.end());
    pool.resize(frame.first);
    const Entry& entry = entries_[group[0]];
    path.resize(frame.pathLength);
    if (!path.empty()) path += '\\';
    path += Name(group[0]);
    // As the file has it, where that is as the writer writes it: the whole
    // subtree, or the key's own lines.
    if (group.size() == 1 && entry.firstSpan != kNone &&
        PathMatches(spans_[entry.firstSpan], path)) {
      const Span& span = spans_[entry.firstSpan];
      if (entry.clean) {
        if (!visitor.Keep(SubtreeText(entry))) return false;
        continue;
      }
      if (span.next == kNone && span.written) {
        if (!visitor.Keep(SpanText(entry.firstSpan))) return false;
        pushSubkeys(false);
        continue;
      }
    }
    RegistryKey values(Name(group[0]), nullptr, true);
    ReadValues(values, group, order, value);
    if (!visitor.Write(path, values)) return false;
    pushSubkeys(false);
  }
  return true;
}

}  // namespace brindle
