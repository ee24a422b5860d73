#include "antivirus/av_log_reader.h"

#include <gtest/gtest.h>

#include <utility>

#include "antivirus/av_test_support.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

using Pieces = std::vector<std::pair<std::wstring, bool>>;

class AvLogReaderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return install_.path(name); }

  static Pieces readAll(const std::string& path, size_t blockBytes = 256 * 1024) {
    AvLogReader reader(vfs::openRead(text::fromAnsi(path)), blockBytes);
    Pieces pieces;
    std::wstring_view piece;
    bool whole = false;
    while (reader.next(piece, whole)) pieces.emplace_back(std::wstring(piece), whole);
    return pieces;
  }

 private:
  testkit::Installation install_;
};

}  // namespace

TEST_F(AvLogReaderTest, SkipsTheByteOrderMarkAndTellsWholeLines) {
  avtest::writeLogFile(path("a.log"), L"first\r\nsecond\r\nunfinished");
  EXPECT_EQ(readAll(path("a.log")), (Pieces{{L"first\r\n", true}, {L"second\r\n", true}, {L"unfinished", false}}));

  // Without a byte-order mark the first character is text.
  avtest::writeLogFile(path("b.log"), L"xy\r\n", false);
  EXPECT_EQ(readAll(path("b.log")), (Pieces{{L"xy\r\n", true}}));

  avtest::writeLogFile(path("empty.log"), L"");
  EXPECT_EQ(readAll(path("empty.log")), Pieces{});
  testkit::writeFile(path("nothing.log"), "");
  EXPECT_EQ(readAll(path("nothing.log")), Pieces{});
}

TEST_F(AvLogReaderTest, SplitsLinesLongerThanTheBufferIntoPiecesThatAreNotWhole) {
  const size_t max = AvLogReader::kMaxPieceChars;
  ASSERT_EQ(max, 15999u);
  const std::wstring fits = std::wstring(max - 2, L'a') + L"\r\n";
  const std::wstring oneTooLong = std::wstring(max - 1, L'b') + L"\r\n";
  const std::wstring huge = std::wstring(100000, L'c') + L"\r\n";
  avtest::writeLogFile(path("long.log"), fits + oneTooLong + huge + L"d\r\n");

  const Pieces pieces = readAll(path("long.log"));
  ASSERT_EQ(pieces.size(), 1u + 2u + 7u + 1u);
  EXPECT_EQ(pieces[0], std::make_pair(fits, true));
  EXPECT_EQ(pieces[1], std::make_pair(std::wstring(max - 1, L'b') + L"\r", false));
  EXPECT_EQ(pieces[2], std::make_pair(std::wstring(L"\n"), false));
  std::wstring joined;
  for (size_t i = 3; i < 10; ++i) {
    EXPECT_FALSE(pieces[i].second) << i;
    EXPECT_LE(pieces[i].first.size(), max);
    joined += pieces[i].first;
  }
  EXPECT_EQ(joined, huge);
  EXPECT_EQ(pieces[10], std::make_pair(std::wstring(L"d\r\n"), true));
}

TEST_F(AvLogReaderTest, GivesTheSameTextWhateverTheBlockSize) {
  const std::wstring content = L"\U0001F600 smile\r\n\u00e9t\u00e9 \U00010348\r\nlast \U0001F600";
  avtest::writeLogFile(path("pairs.log"), content);
  const Pieces expected{{L"\U0001F600 smile\r\n", true}, {L"\u00e9t\u00e9 \U00010348\r\n", true}, {L"last \U0001F600", false}};
  for (size_t block : {1u, 2u, 3u, 4u, 5u, 7u, 9u, 65536u}) EXPECT_EQ(readAll(path("pairs.log"), block), expected) << "block " << block;
}

TEST_F(AvLogReaderTest, DropsTheOddByteOfATruncatedFile) {
  testkit::writeFile(path("cut.log"), std::string("\xFF\xFE", 2) + text::toUtf16le(L"ok\r\nha") + "l");
  EXPECT_EQ(readAll(path("cut.log")), (Pieces{{L"ok\r\n", true}, {L"ha", false}}));
  testkit::writeFile(path("mark.log"), std::string("\xFF\xFE\x41", 3));
  EXPECT_EQ(readAll(path("mark.log")), Pieces{});
}
