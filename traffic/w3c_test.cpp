#include "traffic/w3c.h"

#include <gtest/gtest.h>

// The test makes a FIFO itself; the product never creates one.
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/text.h"

// Counts the allocations of the whole binary, so that a test can show that
// reading a line in the steady state allocates nothing.
std::atomic<long> g_allocations{0};

__attribute__((noinline)) void* operator new(std::size_t n) {
  ++g_allocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined, so that the compiler does not pair malloc with delete.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// Every test gets a directory of its own, and the program's shared places
// point into it.
class W3CTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "w3c_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("HALVEX_REGISTRY", (dir_ / "registry.db").c_str(), 1);
    setenv("HALVEX_LOCK_DIR", (dir_ / "locks").c_str(), 1);
    setenv("HALVEX_EVENT_LOG", (dir_ / "events.log").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::wstring write(const std::string& name, const std::string& bytes) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.wstring();
  }

  fs::path dir_;
};

// One section as read: its field list and the lines of its records, each as
// "value|value|..." over its field list.
struct Section {
  std::vector<std::wstring> fields;
  std::vector<std::wstring> records;
};

std::vector<Section> readAll(const std::wstring& path) {
  std::vector<Section> out;
  for (W3CFile::iterator section(path); !section.atEnd(); ++section) {
    Section s{section.fields(), {}};
    for (W3CFile::record_iterator r(section); !r.atEnd(); ++r) {
      std::wstring joined;
      for (size_t i = 0; i < s.fields.size(); ++i) {
        if (i != 0) joined += L'|';
        joined += (*r)(s.fields[i]);
      }
      s.records.push_back(joined);
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::wstring> lines(const std::wstring& path) {
  std::vector<std::wstring> out;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) { out.push_back(r.line()); });
  return out;
}

using Fields = std::vector<std::wstring>;
using Values = std::vector<std::wstring>;

}  // namespace

TEST_F(W3CTest, IgnoresDataLinesBeforeTheFirstBlock) {
  auto all = readAll(write("a.log", "1 2\nstray line\n#Fields: a b\n3 4\n5 6\n"));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].fields, (Fields{L"a", L"b"}));
  EXPECT_EQ(all[0].records, (Values{L"3|4", L"5|6"}));
}

TEST_F(W3CTest, MapsEachBlockWithItsOwnFieldList) {
  auto path = write("a.log",
                    "#Software: server\n#Fields: date time sc-bytes\n2016-12-07 10:00:00 100\n"
                    "#Software: server\n#Fields: sc-bytes date time\n200 2016-12-08 11:00:00\n");
  auto all = readAll(path);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].records, (Values{L"2016-12-07|10:00:00|100"}));
  EXPECT_EQ(all[1].records, (Values{L"200|2016-12-08|11:00:00"}));

  // A caller that resolves columns once per block must see the new order.
  std::vector<std::wstring> bytes, dates;
  uint64_t seen = 0;
  int bytesColumn = -1, dateColumn = -1;
  int resolutions = 0;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) {
    if (r.generation() != seen) {
      seen = r.generation();
      bytesColumn = r.column(L"sc-bytes");
      dateColumn = r.column(L"date");
      ++resolutions;
    }
    bytes.emplace_back(r.value(bytesColumn));
    dates.emplace_back(r.value(dateColumn));
  });
  EXPECT_EQ(resolutions, 2);
  EXPECT_EQ(bytes, (Values{L"100", L"200"}));
  EXPECT_EQ(dates, (Values{L"2016-12-07", L"2016-12-08"}));

  // Reading the same file again never reuses a generation of the first pass.
  uint64_t first = seen;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) { EXPECT_GT(r.generation(), first); });
}

TEST_F(W3CTest, ParsesDirectives) {
  auto path = write("a.log",
                    "#Fields:a b\n1 2\n"
                    "#Fields:    a \t b  \n3 4\n"
                    "#Date: 2016-12-07 10:56:14\n#Remark\n#: nameless\n#Fields: x\n#Fields: a b\n5 6\n");
  W3CFile::iterator section(path);
  EXPECT_EQ(section.fields(), (Fields{L"a", L"b"}));
  ++section;
  EXPECT_EQ(section.fields(), (Fields{L"a", L"b"}));
  ++section;
  ASSERT_FALSE(section.atEnd());
  auto& d = section.directives();
  // Only the first colon ends the name; later ones belong to the value.
  EXPECT_EQ(d.at(L"Date"), L"2016-12-07 10:56:14");
  EXPECT_EQ(d.at(L"Remark"), L"");
  EXPECT_EQ(d.count(L""), 0u);
  // The later "Fields" of the block replaces the earlier one.
  EXPECT_EQ(d.at(L"Fields"), L"a b");
  EXPECT_EQ(section.fields(), (Fields{L"a", L"b"}));
  W3CFile::record_iterator r(section);
  ASSERT_FALSE(r.atEnd());
  EXPECT_EQ((*r)(L"b"), L"6");
  ++section;
  EXPECT_TRUE(section.atEnd());
}

TEST_F(W3CTest, BlockWithoutFieldsYieldsEmptyValues) {
  auto path = write("a.log", "#Software: x\nfields? none\n#fields: a\n1\n");
  W3CFile::iterator section(path);
  EXPECT_TRUE(section.fields().empty());
  W3CFile::record_iterator r(section);
  ASSERT_FALSE(r.atEnd());
  EXPECT_EQ(r->line(), L"fields? none");
  EXPECT_EQ((*r)(L"fields?"), L"");
  ++section;
  // "fields" in lower case is not the field list.
  EXPECT_TRUE(section.fields().empty());
}

TEST_F(W3CTest, KeepsEmptyColumnsAndPairsInOrder) {
  auto all = readAll(write("a.log",
                           "#Fields: a b c\n"
                           "x  y\n"        // two blanks: empty middle column
                           " x y\n"        // leading separator: empty first column
                           "x y \n"        // one trailing separator adds nothing
                           "x\t\t\n"       // two trailing separators add one empty value
                           "x\n"           // short line
                           "x y z extra\n"  // extra values are dropped
                           "x\vy\fz\n"));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].records, (Values{L"x||y", L"|x|y", L"x|y|", L"x||", L"x||", L"x|y|z", L"x|y|z"}));

  W3CRecord shortLine({L"a", L"b", L"c"}, L"x");
  EXPECT_EQ(shortLine.value(shortLine.column(L"c")), L"");
  EXPECT_EQ(shortLine(L"absent"), L"");
  EXPECT_EQ(shortLine.column(L"absent"), -1);
  EXPECT_EQ(shortLine.column(L"A"), -1);  // names are case-sensitive
  EXPECT_EQ(shortLine.value(-1), L"");
  EXPECT_EQ(shortLine.value(7), L"");
}

TEST_F(W3CTest, ColumnsReadInAnyOrderAndFromCopiesAgreeWithTheWholeLine) {
  // A record splits its line only as far as a column asked for; what is
  // asked later, of it or of a copy made half-way, must be what a whole
  // split gives. Plain ASCII lines (split as bytes, eight at a time) and
  // lines that are not (split as wide text) alike.
  const std::vector<std::wstring> fields = {L"a", L"b", L"c", L"d", L"e"};
  W3CRecord reference(fields, L"");
  reference.assignLine("1  3 four 5");
  EXPECT_EQ((Values{std::wstring(reference.value(0)), std::wstring(reference.value(1)), std::wstring(reference.value(2)),
                    std::wstring(reference.value(3)), std::wstring(reference.value(4))}),
            (Values{L"1", L"", L"3", L"four", L"5"}));
  for (const std::string line : {"1  3 four 5", "abcdefghijkl mnopqrstuvwxyz0123\t\tq r", "\xc3\xa9 b\tc\xe4\xb8\xad  e", " x", ""}) {
    Values whole;
    {
      W3CRecord r(fields, L"");
      r.assignLine(line);
      for (int c = 0; c < 5; ++c) whole.emplace_back(r.value(c));
    }
    for (const std::vector<int>& order : {std::vector<int>{4, 0, 2, 1, 3}, {2, 2, 0, 4}, {1, 3}, {0}}) {
      W3CRecord r(fields, L"");
      r.assignLine(line);
      W3CRecord early;
      for (size_t k = 0; k < order.size(); ++k) {
        EXPECT_EQ(r.value(order[k]), whole[static_cast<size_t>(order[k])]) << line << " column " << order[k];
        if (k == 0) early = r;
      }
      const W3CRecord late = r;
      for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(early.value(c), whole[static_cast<size_t>(c)]) << line << ": a copy made after one column, column " << c;
        EXPECT_EQ(late.value(c), whole[static_cast<size_t>(c)]) << line << ": a copy made after all, column " << c;
      }
    }
  }
}

TEST_F(W3CTest, ReadsEveryKindOfLineEnd) {
  auto path = write("a.log", "#Fields: a b\r\n1 2\r\n3 4\n5 6\r7 8\n\n\r\n\r\r9 10");
  EXPECT_EQ(lines(path), (Values{L"1 2", L"3 4", L"5 6", L"7 8", L"9 10"}));
  path = write("b.log", "#Fields: a\r#Remark: r\r1\r");
  W3CFile::iterator section(path);
  EXPECT_EQ(section.directives().at(L"Remark"), L"r");
  EXPECT_EQ(lines(path), (Values{L"1"}));
}

TEST_F(W3CTest, StopsAtNulBytes) {
  // Pre-allocated space at the end of a log.
  auto path = write("a.log", std::string("#Fields: a\n1\n2\n") + std::string(4096, '\0'));
  EXPECT_EQ(lines(path), (Values{L"1", L"2"}));

  // A NUL at the start of a line ends the section up to the next block.
  path = write("b.log", "#Fields: a\n1\n\0" "2\n3\n#Fields: a\n4\n"s);
  EXPECT_EQ(lines(path), (Values{L"1", L"4"}));

  // A crash leaves padding in the middle of a log: the block the server
  // appended after its restart is still read.
  path = write("c.log", "#Fields: a b\n1 2\n3 partial" + std::string(100000, '\0') + "#Fields: b a\n5 6\n");
  auto all = readAll(path);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].records, (Values{L"1|2", L"3|partial"}));
  EXPECT_EQ(all[1].records, (Values{L"5|6"}));

  // A NUL in a line ends that line.
  path = write("d.log", "#Fields: a b\nx\0y z\n"s);
  EXPECT_EQ(lines(path), (Values{L"x", L"y z"}));

  // A file of NULs only, an empty file, a file without a block.
  EXPECT_TRUE(readAll(write("e.log", std::string(10, '\0'))).empty());
  EXPECT_TRUE(readAll(write("f.log", "")).empty());
  EXPECT_TRUE(readAll(write("g.log", "1 2\n3 4")).empty());
}

TEST_F(W3CTest, SetValueLivesOnlyInItsRecord) {
  auto path = write("a.log", "#Fields: cs-username cs-method\nDOM\\joe RETR\nann STOR\n");
  W3CFile::iterator section(path);
  W3CFile::record_iterator r(section);
  const int user = r->column(L"cs-username");
  r->set(L"cs-username", L"joe");
  r->set(L"cs-method", L"sent");
  r->set(L"cs-method", L"created");
  r->set(L"added", L"yes");
  EXPECT_EQ(r->value(user), L"joe");
  EXPECT_EQ((*r)(L"cs-username"), L"joe");
  EXPECT_EQ((*r)(L"cs-method"), L"created");
  EXPECT_EQ((*r)(L"added"), L"yes");
  EXPECT_EQ(r->line(), L"DOM\\joe RETR");
  ++r;
  ASSERT_FALSE(r.atEnd());
  EXPECT_EQ(r->value(user), L"ann");
  EXPECT_EQ((*r)(L"cs-method"), L"STOR");
  EXPECT_EQ((*r)(L"added"), L"");
}

TEST_F(W3CTest, RefusesWhatCannotBeOpened) {
  auto expectRefused = [](const std::wstring& path) {
    try {
      W3CFile::iterator section(path);
      ADD_FAILURE() << "opened " << text::toUtf8(path);
    } catch (const vexception& e) {
      EXPECT_EQ(e.message(), L"Can't open file " + path);
      ASSERT_FALSE(e.trace().empty());
      EXPECT_FALSE(e.trace().front().context.empty()) << "the reason is kept";
    }
  };
  expectRefused((dir_ / "missing.log").wstring());

  // A tenant's link to a file it must not read.
  auto target = write("secret.log", "#Fields: a\nsecret\n");
  fs::create_symlink(target, dir_ / "link.log");
  expectRefused((dir_ / "link.log").wstring());

  // A FIFO would block a reader forever; it is refused at once.
  ASSERT_EQ(mkfifo((dir_ / "fifo.log").c_str(), 0600), 0);
  expectRefused((dir_ / "fifo.log").wstring());

  expectRefused(dir_.wstring());
}

TEST_F(W3CTest, SurvivesHostileContent) {
  // Random bytes weighted towards the ones the reader reacts to.
  std::mt19937 random(12345);
  const char special[] = {'#', ':', ' ', '\t', '\r', '\n', '\0', '\xff', '\xc3'};
  std::string garbage = "#Fields: a b c\n";
  for (int i = 0; i < 2000000; ++i) {
    unsigned r = random();
    garbage += (r & 3) == 0 ? special[(r >> 2) % sizeof(special)] : static_cast<char>(r >> 8);
  }
  size_t records = 0;
  W3CFile::forEachRecord(write("garbage.log", garbage), [&](const W3CRecord& r) {
    ++records;
    for (wchar_t c : r.line()) ASSERT_TRUE(c != L'\n' && c != L'\r' && c != 0);
    EXPECT_LE(r(L"a").size() + r(L"b").size() + r(L"c").size(), r.line().size());
  });
  EXPECT_GT(records, 0u);

  // A 10 MB line is read whole: nothing is truncated.
  std::string big(10 << 20, 'x');
  big[5] = ' ';
  auto path = write("big.log", "#Fields: a b c\n" + big + " tail\nnext 1 2\n");
  std::vector<size_t> sizes;
  std::vector<std::wstring> thirds;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) {
    sizes.push_back(r.line().size());
    thirds.emplace_back(r(L"c"));
  });
  EXPECT_EQ(sizes, (std::vector<size_t>{big.size() + 5, 8}));
  EXPECT_EQ(thirds, (Values{L"tail", L"2"}));
}

TEST_F(W3CTest, KeepsBytesInvalidInTheCharset) {
  // Latin-1 bytes are invalid UTF-8: they decode to escapes and encode back.
  const std::string line = "caf\xe9 \xc3\xa9t\xc3\xa9 \xff\xfe";
  auto path = write("a.log", "#Fields: a b c\n" + line + "\n");
  std::vector<W3CRecord> records;
  W3CFile::forEachRecord(path, [&](const W3CRecord& r) { records.push_back(r); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(text::toAnsi(records[0].line()), line);
  EXPECT_EQ(records[0](L"b"), L"\u00e9t\u00e9");
  EXPECT_EQ(text::toAnsi(records[0](L"a")), "caf\xe9");
  EXPECT_EQ(text::toAnsi(records[0](L"c")), "\xff\xfe");
}

TEST_F(W3CTest, ReadsLinesAcrossBufferBoundaries) {
  // Lines of varying length with CR LF ends, so that terminators and lines
  // straddle the reader's buffer fills at many offsets.
  std::string content = "#Fields: n pad\r\n";
  const int count = 60000;
  for (int i = 0; i < count; ++i) content += std::to_string(i) + " " + std::string(i % 37, 'p') + "\r\n";
  int expected = 0;
  bool inOrder = true;
  W3CFile::forEachRecord(write("a.log", content), [&](const W3CRecord& r) {
    inOrder = inOrder && r(L"n") == std::to_wstring(expected) && r(L"pad").size() == static_cast<size_t>(expected % 37);
    ++expected;
  });
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(expected, count);
}

TEST_F(W3CTest, ReadsLinesWithoutAllocating) {
  std::string content = "#Fields: date time cs-username cs-method sc-bytes\r\n";
  for (int i = 0; i < 20000; ++i)
    content += "2016-12-07 10:00:" + std::to_string(i % 60) + " user" + std::string(i % 50, 'u') + " GET " +
               std::to_string(i) + "\r\n";
  content += "#Fields: sc-bytes date\r\n";
  for (int i = 0; i < 20000; ++i) content += std::to_string(i) + " 2016-12-08\r\n";
  long line = 0, allocations = 0, before = 0;
  size_t chars = 0;
  W3CFile::forEachRecord(write("a.log", content), [&](W3CRecord& r) {
    // Past the first lines of a block, every buffer has reached its size.
    if (line % 20000 == 100) before = g_allocations;
    if (line % 20000 == 19999) allocations += g_allocations - before;
    ++line;
    r.set(L"cs-username", L"a-name-too-long-for-the-small-string-buffer");
    chars += r(L"date").size() + r(L"sc-bytes").size() + r(L"cs-username").size();
  });
  EXPECT_EQ(line, 40000);
  EXPECT_GT(chars, 0u);
  EXPECT_EQ(allocations, 0);
}
