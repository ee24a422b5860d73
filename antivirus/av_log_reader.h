// Reading the lines of a support-library log file (UTF-16LE with the
// byte-order mark FF FE, lines ending with CR LF) in bounded pieces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/fs.h"

class AvLogReader {
 public:
  // The line buffer in wide characters, string terminator included: a piece
  // holds at most kLineBufferChars - 1 characters.
  static constexpr size_t kLineBufferChars = 16000;
  static constexpr size_t kMaxPieceChars = kLineBufferChars - 1;

  // `blockBytes` is how much is read from the file at a time (at least 1).
  explicit AvLogReader(vfs::File file, size_t blockBytes = 256 * 1024);

  // The next piece of the file, its line terminator "\n" included; false at
  // the end of the file. A line longer than kMaxPieceChars comes in several
  // pieces. `wholeLine` is true only for a piece that is a complete line: it
  // begins a line and ends with "\n". So the pieces of a split line, and an
  // unfinished last line, are never whole. The view stays valid until the
  // next call. A leading byte-order mark is skipped (another first character
  // is kept); an odd last byte (a truncated file) is dropped; a surrogate
  // pair becomes one character. Read failures raise the file layer's
  // exception.
  bool next(std::wstring_view& piece, bool& wholeLine);

 private:
  // Decodes the next block into text_; false at the end of the file.
  bool fill();

  vfs::File file_;
  size_t blockBytes_;
  std::string bytes_;   // read, not yet decoded: an odd byte or a high surrogate
  std::wstring text_;   // decoded, consumed from pos_
  size_t pos_ = 0;
  std::wstring piece_;  // a piece that spans blocks
  bool atLineStart_ = true;
  bool started_ = false;
  bool eof_ = false;
};
