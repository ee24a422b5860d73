// Reader of W3C extended log files (the web and FTP server logs).
//
// A file is a series of directive blocks ("#Name: value" lines); the "Fields"
// directive of a block names the columns of the data lines that follow it,
// until the next block. The reader maps names to columns and knows nothing
// about which fields exist.
//
// It is the hot path of traffic collection, so reading costs little more than
// reading the bytes: the file is read through one large buffer, and in the
// steady state a data line allocates nothing (the line's bytes, its wide text
// and the column offsets live in buffers reused from line to line). A line is
// split into columns only as far as the columns asked for: most lines of a
// log lie before the collection window, and only their date and time are
// read. A record behaves as a fresh map per line (an absent field or a short
// line reads as empty, a value set on a record lives only until the next
// line), but is a view of the current line: callers resolve a field name to
// its column once per block (see W3CRecord::generation) and read values by
// column.
//
// Usage:
//   for (W3CFile::iterator section(path); !section.atEnd(); ++section)
//     for (W3CFile::record_iterator r(section); !r.atEnd(); ++r) use(*r);
// or W3CFile::forEachRecord(path, use).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vfs {
class File;
}

// One data line of a W3C log. The record a cursor hands out is rewritten when
// the cursor reads the next line; a copy keeps its own line and values. Its
// columns are split when first read, also through const access, so one
// record is not read from two threads at once.
class W3CRecord {
 public:
  // An empty record: no fields, no line.
  W3CRecord() = default;
  // A record split from `line` under `fields`, as the reader would make it;
  // for code that builds records itself (tests of accounting and feeds).
  W3CRecord(std::vector<std::wstring> fields, std::wstring_view line);

  // The value of the named field; empty when the block's field list lacks the
  // name or the line has fewer columns. Names are case-sensitive. A value set
  // with `set` takes precedence.
  std::wstring_view operator()(std::wstring_view name) const;

  // The index of the name in the current block's field list, -1 when it is not
  // listed. A name listed twice resolves to its last column (operator() also
  // falls back to an earlier one when the line is too short for the last).
  // Resolve once per block: the index holds while generation() is unchanged.
  int column(std::wstring_view name) const;

  // The value of a column from `column`; empty for -1, for a column the line
  // does not have, or an empty column.
  std::wstring_view value(int column) const {
    if (overrideCount_ != 0) return overriddenValue(column);
    return splitValue(column);
  }

  // Whether a value was set on this line (see set): until then every value
  // is the line's own, and a name the field list lacks reads as empty.
  bool hasSetValues() const { return overrideCount_ != 0; }

  // Replaces the line with `bytes` (in the system code page, without a line
  // end) split under the same field list and generation, forgetting values
  // set before: a reader of another log form hands out one record per line
  // with the columns resolved once.
  void assignLine(std::string_view bytes);

  // The same as assignLine of the line a W3C log writes for `values` (bytes
  // in the system code page): each value's ASCII white space written as "+",
  // as IIS writes blanks, an empty value as "-", the values joined by single
  // blanks. The columns are taken from the values as they are copied, so the
  // line is neither printed nor split again.
  void assignValues(std::span<const std::string_view> values);

  // Replaces a field's value in this record only; it is forgotten when the
  // next line is read. A name absent from the field list can be set too; it is
  // then seen by operator() only (its column is -1).
  void set(std::wstring_view name, std::wstring_view value);

  // The whole data line without its line end, for messages and feeds.
  const std::wstring& line() const { return line_; }

  // The current block's field list, in column order.
  const std::vector<std::wstring>& fields() const { return fields_ ? *fields_ : noFields(); }

  // Identifies the field list the record was split with: every directive
  // block read (in any file) and every record built by hand gets a number
  // never used before in the process, so a column index resolved while
  // generation() had one value holds for every record with that value.
  uint64_t generation() const { return generation_; }

 private:
  friend class W3CReader;

  // A value as an offset and length into line_.
  struct Span {
    size_t begin;
    size_t length;
  };
  struct Override {
    std::wstring name;
    std::wstring value;
    int column;
  };

  std::wstring_view splitValue(int column) const {
    if (column < 0) return {};
    const auto c = static_cast<size_t>(column);
    if (c >= spans_.size() && (splitDone_ || !splitTo(c))) return {};
    const Span& s = spans_[c];
    return std::wstring_view(line_.data() + s.begin, s.length);
  }
  std::wstring_view overriddenValue(int column) const;
  const Override* findOverride(std::wstring_view name) const;
  // Forgets the overrides and the columns of the previous line; the new line
  // is split on demand, from bytes_ when `ascii` (the line's bytes, all
  // ASCII, are faster to split), else from line_.
  void startSplit(bool ascii);
  // Splits on until `column` is split or the line (or the field list) ends;
  // whether `column` is split.
  bool splitTo(size_t column) const;
  void splitAll() const { splitTo(SIZE_MAX - 1); }
  template <class Char>
  void splitColumns(const Char* text, size_t column) const;
  static const std::vector<std::wstring>& noFields();

  // Shared with the reader's current block; a record keeps its list alive.
  std::shared_ptr<const std::vector<std::wstring>> fields_;
  uint64_t generation_ = 0;
  std::wstring line_;
  // The line's bytes when they are all ASCII (splitAscii_), else unused.
  std::string bytes_;
  // Only the columns the field list names are split out; extra values are
  // dropped. The columns split so far; the next one begins at splitAt_ unless
  // splitDone_.
  mutable std::vector<Span> spans_;
  mutable size_t splitAt_ = 0;
  mutable bool splitDone_ = true;
  bool splitAscii_ = false;
  // The first overrideCount_ entries are live; the rest keep their buffers.
  std::vector<Override> overrides_;
  size_t overrideCount_ = 0;
};

class W3CReader;

class W3CFile {
 public:
  // The section cursor: the open file and its current directive block.
  class iterator {
   public:
    // Opens the file and reads its first directive block. The file is opened
    // without following a symbolic link, and only a regular file is read (a
    // FIFO or device is refused without blocking). Throws vexception
    // "Can't open file " + path when it cannot be opened; the reason is in the
    // context of the exception's trace entry. A read error later throws the
    // platform's vosexception.
    explicit iterator(const std::wstring& path);
    // Reads a file already opened (a view of an opened log, say); errors
    // name its path().
    explicit iterator(vfs::File file);
    iterator(iterator&&) noexcept;
    iterator& operator=(iterator&&) noexcept;
    ~iterator();

    // The file is exhausted (and closed): there is no further block.
    bool atEnd() const;
    // Skips what is left of the current block's data lines and reads the next
    // directive block; at end the file is closed. NUL bytes before a block
    // (the padding a crash leaves in a log the server had extended) are
    // skipped, so a block the server appended after its restart is read.
    iterator& operator++();

    // The current block's directives, name to value ("Fields", "Software",
    // "Date"...); a name given twice in a block keeps its last value.
    const std::map<std::wstring, std::wstring>& directives() const;
    // The current block's field list ("Fields" split at white space); empty
    // when the block has no "Fields" directive.
    const std::vector<std::wstring>& fields() const;
    const std::wstring& path() const;

   private:
    friend class W3CFile;
    std::unique_ptr<W3CReader> reader_;
  };

  // The record cursor over the data lines of the current section. It reads
  // the first line on construction and is at end at the next directive line,
  // at a NUL byte at the start of a line, or at end of file. It must not
  // outlive its section cursor.
  class record_iterator {
   public:
    explicit record_iterator(iterator& section);

    bool atEnd() const { return atEnd_; }
    record_iterator& operator++();
    W3CRecord& operator*() const;
    W3CRecord* operator->() const { return &**this; }

   private:
    W3CReader* reader_;
    bool atEnd_ = true;
  };

  // Calls fn(W3CRecord&) for every data line of every section of the file.
  // Exceptions from fn go through to the caller and end the reading.
  template <class Fn>
  static void forEachRecord(const std::wstring& path, Fn&& fn) {
    for (iterator section(path); !section.atEnd(); ++section)
      for (record_iterator r(section); !r.atEnd(); ++r) fn(*r);
  }
};
