#include "antivirus/av_recipients.h"

#include <cwctype>

#include "support/text.h"

namespace {

enum class State { Between, QuotedName, Escape, AngleAddress, BareAddress };

void addCollected(std::wstring& collected, std::vector<std::wstring>& out) {
  std::wstring address = text::trim(collected);
  collected.clear();
  if (!address.empty()) out.push_back(std::move(address));
}

}  // namespace

std::vector<std::wstring> splitRecipients(std::wstring_view list) {
  std::vector<std::wstring> out;
  std::wstring collected;
  State state = State::Between;
  for (wchar_t c : list) {
    switch (state) {
      case State::Between:
        if (c == L'"') {
          state = State::QuotedName;
        } else if (c == L'<') {
          state = State::AngleAddress;
        } else if (c != L',' && !std::iswspace(c)) {
          collected.assign(1, c);
          state = State::BareAddress;
        }
        break;
      case State::QuotedName:
        if (c == L'"') state = State::Between;
        if (c == L'\\') state = State::Escape;
        break;
      case State::Escape:
        state = State::QuotedName;
        break;
      case State::AngleAddress:
        if (c == L'>') {
          addCollected(collected, out);
          state = State::Between;
        } else {
          collected += c;
        }
        break;
      case State::BareAddress:
        if (c == L',' || c == L';') {
          addCollected(collected, out);
          state = State::Between;
        } else if (c == L'<') {
          // What came before was a display name, not an address.
          collected.clear();
          state = State::AngleAddress;
        } else {
          collected += c;
        }
        break;
    }
  }
  addCollected(collected, out);
  return out;
}
