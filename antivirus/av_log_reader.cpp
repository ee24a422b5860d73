#include "antivirus/av_log_reader.h"

#include <algorithm>
#include <utility>

#include "support/text.h"

namespace {

constexpr wchar_t kByteOrderMark = 0xFEFF;

bool isHighSurrogate(unsigned char low, unsigned char high) {
  const unsigned unit = low | (high << 8);
  return unit >= 0xD800 && unit < 0xDC00;
}

}  // namespace

AvLogReader::AvLogReader(vfs::File file, size_t blockBytes) : file_(std::move(file)), blockBytes_(std::max<size_t>(blockBytes, 1)) {}

bool AvLogReader::fill() {
  while (!eof_) {
    text_.clear();
    pos_ = 0;
    const size_t kept = bytes_.size();
    bytes_.resize(kept + blockBytes_);
    const size_t got = file_.read(bytes_.data() + kept, blockBytes_);
    bytes_.resize(kept + got);
    eof_ = got == 0;

    size_t usable = bytes_.size() & ~size_t{1};
    // A high surrogate waits for its partner in the next block.
    if (!eof_ && usable >= 2 && isHighSurrogate(bytes_[usable - 2], bytes_[usable - 1])) usable -= 2;
    text::fromUtf16le(std::string_view(bytes_).substr(0, usable)).swap(text_);
    bytes_.erase(0, usable);

    if (!started_ && !text_.empty()) {
      started_ = true;
      if (text_[0] == kByteOrderMark) pos_ = 1;
    }
    if (pos_ < text_.size()) return true;
  }
  return false;
}

bool AvLogReader::next(std::wstring_view& piece, bool& wholeLine) {
  piece_.clear();
  for (;;) {
    if (pos_ >= text_.size() && !fill()) {
      if (piece_.empty()) return false;
      piece = piece_;
      wholeLine = false;
      atLineStart_ = false;
      return true;
    }
    const size_t take = std::min(kMaxPieceChars - piece_.size(), text_.size() - pos_);
    const std::wstring_view window = std::wstring_view(text_).substr(pos_, take);
    const size_t newline = window.find(L'\n');
    if (newline != std::wstring_view::npos) {
      const std::wstring_view rest = window.substr(0, newline + 1);
      pos_ += rest.size();
      // Most lines lie inside one block and are handed out without a copy.
      if (piece_.empty()) {
        piece = rest;
      } else {
        piece_.append(rest);
        piece = piece_;
      }
      wholeLine = atLineStart_;
      atLineStart_ = true;
      return true;
    }
    piece_.append(window);
    pos_ += window.size();
    if (piece_.size() == kMaxPieceChars) {
      piece = piece_;
      wholeLine = false;
      atLineStart_ = false;
      return true;
    }
  }
}
