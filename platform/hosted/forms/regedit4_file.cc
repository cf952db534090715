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
  Indexer(Regedit4File& file, std::string_view text)
      : file_(file), text_(text), lines_(text) {}

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
    while (SkipWritten(), lines_.Next(&line)) {
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
    if (current_ != kNone) file_.spans_[current_].end = end;
    Close(0, end);
    lineEnd_ = lines_.lineEnd();
    return Outcome::Loaded;
  }

  const std::string& lineEnd() const { return lineEnd_; }

 private:
  // A key and its values take about this many bytes in a generated machine:
  // room is made for as many as a file of that size is likely to hold.
  static constexpr std::size_t kTypicalKeyBytes = 160;

  // An entry on the path of the key line read last: where its name ends on
  // that line, and whether a key line named it itself.
  struct Open {
    std::uint32_t entry;
    std::size_t prefixLength;
    bool named;
  };

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
      file_.entries_[chain_[i].entry].textEnd = end;
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
    if (current_ != kNone) file_.spans_[current_].end = offset;
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
          EqualsAsciiFolded(file_.entries_[chain_[depth].entry].name, part)) {
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
        Span{offset, static_cast<std::uint32_t>(Offset(path.data()) - offset),
             static_cast<std::uint32_t>(Offset(lines_.position()) - offset), 0,
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
  std::string_view text_;
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
  Indexer indexer(*file, bytes->view());
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
  entries_.push_back(Entry{name, parent});
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
  std::string_view text = bytes_.view().substr(span.start + span.path);
  return text.size() > path.size() && text[path.size()] == ']' &&
         text.compare(0, path.size(), path) == 0;
}

void Regedit4File::Group(std::uint32_t tag) {
  group_.clear();
  if (tag == kTopTag) return;
  group_.push_back(tag - 1);
  auto merged = merged_.find(tag - 1);
  if (merged != merged_.end()) {
    group_.insert(group_.end(), merged->second.begin(), merged->second.end());
  }
}

void Regedit4File::FillValues(RegistryKey& key, std::uint32_t tag) {
  Group(tag);
  order_.clear();
  for (std::uint32_t entry : group_) {
    for (std::uint32_t at = entries_[entry].firstSpan; at != kNone;
         at = spans_[at].next) {
      order_.push_back(at);
    }
  }
  if (group_.size() > 1) {
    std::sort(order_.begin(), order_.end(),
              [&](std::uint32_t a, std::uint32_t b) {
                return spans_[a].start < spans_[b].start;
              });
  }
  // Every value line of its spans, in the order of the file: their text is
  // about the size the values take.
  std::size_t text = 0;
  for (std::uint32_t at : order_) {
    text += spans_[at].end - spans_[at].start - spans_[at].values;
  }
  key.Reserve(0, text);
  std::size_t decoded = 0;
  for (std::uint32_t at : order_) {
    const Span& span = spans_[at];
    std::string_view text = bytes_.view().substr(
        span.start + span.values, span.end - span.start - span.values);
    const char* const end = text.data() + text.size();
    const char* p = text.data();
    while (p != end) {
      // Lines in the written form are read straight; any other by the
      // grammar's full reader, from where it starts.
      std::size_t taken = 0;
      const char* next =
          span.written ? MatchWrittenValue(p, end, lineEnd_, &taken, &value_)
                       : nullptr;
      if (next == nullptr) {
        LineReader lines(
            std::string_view(p, static_cast<std::size_t>(end - p)));
        std::string_view line;
        std::string_view body;
        ValueFault fault;
        lines.Next(&line);
        const bool value = KindOfLine(line, &body) == LineKind::Value;
        if (value && !ParseValueLine(lines, body, &value_, &fault)) {
          break;  // checked when the file was read: never here
        }
        next = lines.position();
        if (!value) {  // a blank or comment line
          p = next;
          continue;
        }
      }
      p = next;
      key.SetValue(value_.name, value_.type, value_.data);
      ++decoded;
    }
  }
  if (order_.size() == 1 && group_.size() == 1 && spans_[order_[0]].written &&
      key.Values().size() == decoded) {
    entries_[group_[0]].writesAsRead = key.valueWrites();
  }
}

void Regedit4File::FillSubkeys(RegistryKey& key, std::uint32_t tag) {
  Group(tag);
  order_.clear();
  if (tag == kTopTag) {
    for (std::uint32_t c = firstRoot_; c != kNone; c = entries_[c].nextSibling)
      order_.push_back(c);
  }
  for (std::uint32_t entry : group_) {
    for (std::uint32_t c = entries_[entry].firstChild; c != kNone;
         c = entries_[c].nextSibling) {
      order_.push_back(c);
    }
  }
  // In the order the file first names them; a name given again is the same
  // key, filled from both.
  if (group_.size() > 1) std::sort(order_.begin(), order_.end());
  key.Reserve(order_.size(), 0);
  for (std::uint32_t child : order_) {
    auto subkey =
        std::make_unique<RegistryKey>(entries_[child].name, &key, true);
    subkey->FillLater(this, child + 1);
    RegistryKey* added = key.AddSubkeyIfNew(subkey.get());
    if (added == subkey.get()) {
      subkey.release();  // the key's now
    } else {
      merged_[added->fillTag() - 1].push_back(child);
    }
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
  const Span& span = spans_[entry.firstSpan];
  if (!PathMatches(span, path)) return {};
  return bytes_.view().substr(span.start, entry.textEnd - span.start);
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
  return bytes_.view().substr(span.start, span.end - span.start);
}

bool Regedit4File::ValuesAsRead(const RegistryKey& key,
                                const Entry& entry) const {
  return key.valuesWaiting() || entry.writesAsRead == key.valueWrites();
}

}  // namespace brindle
