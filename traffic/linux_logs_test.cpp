#include "traffic/linux_logs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/text.h"
#include "tests/testkit.h"

namespace {

using linuxlog::AccessLogFormat;

std::vector<const AccessLogFormat*> knownForms() {
  std::vector<const AccessLogFormat*> v;
  for (const AccessLogFormat& f : AccessLogFormat::known()) v.push_back(&f);
  return v;
}

// The record's fields by name, as UTF-8 text.
std::map<std::string, std::string> fieldsOf(const W3CRecord& r) {
  std::map<std::string, std::string> m;
  for (const std::wstring& name : linuxlog::recordFields()) m[text::toUtf8(name)] = text::toAnsi(r(name));
  return m;
}

std::map<std::string, std::string> access(const std::string& line, const std::vector<const AccessLogFormat*>& formats) {
  linuxlog::RecordBuilder builder;
  bool in = false;
  if (!builder.accessLine(line, formats, in)) return {};
  auto m = fieldsOf(builder.record());
  m["in-logged"] = in ? "yes" : "no";
  // Every value is one column: the record splits back into all its fields.
  EXPECT_EQ(builder.record().line().find(L"  "), std::wstring::npos) << line;
  return m;
}

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace

TEST(AccessLogFormatTest, TheFormsServersWriteBecomeTheRecordOfTheRequest) {
  const auto known = knownForms();
  // Apache combined with mod_logio: in and out from %I and %O; the offset
  // moves the time to the next UTC day; blanks and quotes of the request,
  // the referrer and the agent are carried with "+".
  auto r = access(R"L(192.0.2.1 - alice [10/Oct/2000:20:55:36 -0700] "GET /a b?x=1 y HTTP/1.1" 206 2326 "http://ref/ x" "Mozilla/5.0 (X11; \"q\")" 345 2700)L",
                  known);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r["date"], "2000-10-11");
  EXPECT_EQ(r["time"], "03:55:36");
  EXPECT_EQ(r["c-ip"], "192.0.2.1");
  EXPECT_EQ(r["cs-username"], "alice");
  EXPECT_EQ(r["cs-method"], "GET");
  EXPECT_EQ(r["cs-uri-stem"], "/a+b");
  EXPECT_EQ(r["cs-uri-query"], "x=1+y");
  EXPECT_EQ(r["cs-version"], "HTTP/1.1");
  EXPECT_EQ(r["sc-status"], "206");
  EXPECT_EQ(r["sc-bytes"], "2700");
  EXPECT_EQ(r["cs-bytes"], "345");
  EXPECT_EQ(r["cs(Referer)"], "http://ref/+x");
  EXPECT_EQ(r["cs(User-Agent)"], R"(Mozilla/5.0+(X11;+\"q\"))");
  EXPECT_EQ(r["in-logged"], "yes");

  // Debian's vhost_combined: the host in front, %O as out, no in.
  r = access(R"(www.example.com:443 2001:db8::1 - - [01/Jan/2017:00:30:00 +0100] "HEAD / HTTP/1.0" 304 180 "-" "curl/7.88")", known);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r["date"], "2016-12-31");
  EXPECT_EQ(r["time"], "23:30:00");
  EXPECT_EQ(r["cs-host"], "www.example.com");
  EXPECT_EQ(r["c-ip"], "2001:db8::1");
  EXPECT_EQ(r["cs-username"], "-");
  EXPECT_EQ(r["cs-uri-query"], "-");
  EXPECT_EQ(r["sc-bytes"], "180");
  EXPECT_EQ(r["cs-bytes"], "0");
  EXPECT_EQ(r["in-logged"], "no");

  // Common log with "-" bytes and a request nginx could not parse.
  r = access(R"(10.1.1.1 - - [29/Feb/2016:12:00:00 +0000] "-" 400 -)", known);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r["date"], "2016-02-29");
  EXPECT_EQ(r["cs-method"], "-");
  EXPECT_EQ(r["sc-bytes"], "0");

  // An nginx format of the operator's: $bytes_sent out, $request_length in,
  // ISO time, Host header, request time in milliseconds.
  const AccessLogFormat nginx = AccessLogFormat::parse(
      R"($remote_addr $host $remote_user [$time_iso8601] "$request" $status $body_bytes_sent $bytes_sent $request_length $request_time "$http_referer" "$http_user_agent")");
  EXPECT_TRUE(nginx.logsIncomingBytes());
  r = access(R"(127.0.0.1 b.test - [2017-03-26T01:30:00+14:00] "POST /f.php?a HTTP/1.1" 405 157 325 1200 0.012 "-" "curl/8")",
             {&nginx});
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r["date"], "2017-03-25");
  EXPECT_EQ(r["time"], "11:30:00");
  EXPECT_EQ(r["cs-host"], "b.test");
  EXPECT_EQ(r["sc-bytes"], "325");
  EXPECT_EQ(r["cs-bytes"], "1200");
  EXPECT_EQ(r["time-taken"], "12");
  EXPECT_EQ(r["cs-uri-query"], "a");

  // The same line does not fit a format that expects other fields.
  EXPECT_TRUE(access(R"(127.0.0.1 b.test - [2017-03-26T01:30:00+14:00] "POST / HTTP/1.1" 405 157 325 1200 0.012 "-" "curl/8")", known).empty());
  // Apache's configuration spelling (quotes escaped) is accepted as written.
  const AccessLogFormat quoted = AccessLogFormat::parse(R"("%h %l %u %t \"%r\" %>s %O \"%{Referer}i\" \"%{User-Agent}i\" %D")");
  r = access(R"(1.2.3.4 - - [10/Oct/2000:13:55:36 -0000] "GET / HTTP/1.1" 200 99 "-" "-" 1500000)", {&quoted});
  EXPECT_EQ(r["time-taken"], "1500");
}

TEST(AccessLogFormatTest, FormatsThatCannotBeReadAreRefusedNamingTheCulprit) {
  const auto refused = [](const std::string& format) -> std::string {
    try {
      AccessLogFormat::parse(format);
    } catch (const vexception& e) {
      return text::toUtf8(e.message());
    }
    return "";
  };
  EXPECT_NE(refused("%h %l %u %t \"%r\" %>s %Z").find("%Z"), std::string::npos);
  EXPECT_NE(refused("$remote_addr [$time_local] $status $bogus_thing").find("$bogus_thing"), std::string::npos);
  EXPECT_NE(refused("%h%u %t %s").find("nothing between"), std::string::npos);
  EXPECT_NE(refused("%h %l %u \"%r\" %>s %b").find("time"), std::string::npos);
  EXPECT_NE(refused("%h %t \"%r\" %b").find("status"), std::string::npos);
  EXPECT_NE(refused("%h %{%d/%m}t %s").find("%{%d/%m}t"), std::string::npos);
  // A refused format also names itself.
  EXPECT_NE(refused("%h %t %s %Q").find("\"%h %t %s %Q\""), std::string::npos);
}

TEST(LinuxLogReadTest, BadLinesAreSkippedAndCountedEveryOtherLineCountedOnce) {
  testkit::TempDir dir;
  const std::string path = dir.file("access.log");
  const std::string good = R"(192.0.2.1 - - [10/Oct/2000:13:55:36 +0000] "GET /ok HTTP/1.1" 200 100 "-" "agent")";
  std::string log;
  log += good + "\n";
  log += good.substr(0, 40) + "\n";                                                              // truncated
  log += R"(192.0.2.1 - - [10/Oct/2000:13:55:37 +0000] "GET /a "b" c HTTP/1.1" 200 200 "-" "x")" "\r\n";  // raw quotes, CRLF
  log += "192.0.2.1 - - [10/Oct/2000:13:55:38 +0000] \"GET /\xff\xfe HTTP/1.1\" 200 300 \"-\" \"\xc3\x28 bad\"\n";  // not UTF-8
  log += "192.0.2.1 - - [10/Oct/2000:13:55:39 +0000] \"GET /" + std::string(1 << 20, 'x') + " HTTP/1.1\" 200 400 \"-\" \"-\"\n";  // 1 MB
  log += "192.0.2.1 - - [10/Oct/2000:13:55:40 +0000] \"GET /" + std::string(linuxlog::kMaxLine, 'y') + " HTTP/1.1\" 200 1 \"-\" \"-\"\n";
  log += "[Tue Oct 10 13:55:36.123 2000] [core:error] [pid 1] AH00126: Invalid URI\n";              // an error log line
  log += R"(192.0.2.1 - - [31/Feb/2000:13:55:36 +0000] "GET / HTTP/1.1" 200 5 "-" "-")" "\n";      // no such day
  log += R"(192.0.2.1 - - [10/Oct/2000:13:55:36 +0000] "GET / HTTP/1.1" 2000 5 "-" "-")" "\n";     // no status
  log += "\n\n" + good;                                                                          // no final line end
  std::ofstream(path, std::ios::binary) << log;

  std::vector<std::string> stems;
  int64_t bytes = 0;
  const linuxlog::ReadCounts counts = linuxlog::readAccessLog(text::fromAnsi(path), knownForms(), [&](W3CRecord& r) {
    stems.push_back(text::toAnsi(r(L"cs-uri-stem")));
    bytes += text::parseLeadingInt64(r(L"sc-bytes"));
  });
  EXPECT_EQ(counts.lines, 10);
  EXPECT_EQ(counts.records, 5);
  EXPECT_EQ(counts.skipped, 5);
  EXPECT_EQ(counts.tooLong, 1);
  EXPECT_TRUE(counts.inBytesMissing);
  EXPECT_EQ(bytes, 100 + 200 + 300 + 400 + 100);
  ASSERT_EQ(stems.size(), 5u);
  EXPECT_EQ(stems[1], R"(/a+"b"+c)");
  // Bytes invalid in UTF-8 come back as they were logged.
  EXPECT_EQ(stems[2], "/\xff\xfe");
  EXPECT_EQ(stems[3].size(), (1u << 20) + 1);

  // The form is told by the first lines: directives make a W3C file, an
  // access line an access log, anything else stays W3C.
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(path), true, knownForms()), linuxlog::Form::Access);
  std::ofstream(dir.file("w3c.log"), std::ios::binary) << "#Fields: date time\r\n" << good << "\n";
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(dir.file("w3c.log")), true, knownForms()), linuxlog::Form::W3C);
  std::ofstream(dir.file("error.log"), std::ios::binary) << "[Tue Oct 10 13:55:36 2000] [error] x\n";
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(dir.file("error.log")), true, knownForms()), linuxlog::Form::W3C);
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(path), false, {}), linuxlog::Form::W3C);
  // A deciding line longer than the first read, and one that only begins
  // in it, are judged whole: the rest is read when needed.
  const std::string longRequest = R"(192.0.2.1 - - [10/Oct/2000:13:55:36 +0000] "GET /)" + std::string(6000, 'q') + R"( HTTP/1.1" 200 7 "-" "-")";
  std::ofstream(dir.file("long.log"), std::ios::binary) << longRequest << "\n" << good << "\n";
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(dir.file("long.log")), true, knownForms()), linuxlog::Form::Access);
  std::ofstream(dir.file("late.log"), std::ios::binary) << std::string(4090, ' ') << "\n" << good << "\n";
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(dir.file("late.log")), true, knownForms()), linuxlog::Form::Access);
  std::ofstream(dir.file("longw3c.log"), std::ios::binary) << "#Software: " << std::string(5000, 's') << "\r\n#Fields: date time\r\n";
  EXPECT_EQ(linuxlog::sniff(text::fromAnsi(dir.file("longw3c.log")), true, knownForms()), linuxlog::Form::W3C);
  EXPECT_THROW(linuxlog::readAccessLog(text::fromAnsi(dir.file("missing.log")), knownForms(), [](W3CRecord&) {}), vexception);
}

TEST(XferlogTest, TransfersBecomeFtpRecordsInUtcAcrossZonesAndClockChanges) {
  linuxlog::RecordBuilder builder;
  {
    // Berlin: clocks go forward at 02:00 on 26 March 2017 and back at 03:00
    // on 29 October 2017.
    ZoneGuard zone("Europe/Berlin");
    linuxlog::XferlogClock clock;
    ASSERT_TRUE(builder.xferlogLine("Sun Mar 26 01:59:59 2017 1 192.0.2.9 1024 /home/u/a b.txt b _ o r alice ftp 0 * c", clock));
    auto r = fieldsOf(builder.record());
    EXPECT_EQ(r["date"], "2017-03-26");
    EXPECT_EQ(r["time"], "00:59:59");
    EXPECT_EQ(r["cs-method"], "sent");
    EXPECT_EQ(r["cs-uri-stem"], "/home/u/a+b.txt");
    EXPECT_EQ(r["sc-bytes"], "1024");
    EXPECT_EQ(r["cs-bytes"], "0");
    EXPECT_EQ(r["cs-username"], "alice");
    EXPECT_EQ(r["c-ip"], "192.0.2.9");
    EXPECT_EQ(r["time-taken"], "1000");
    ASSERT_TRUE(builder.xferlogLine("Sun Mar 26 03:00:00 2017 0 192.0.2.9 77 /up b _ i r alice ftp 0 * i", clock));
    r = fieldsOf(builder.record());
    EXPECT_EQ(r["time"], "01:00:00");
    EXPECT_EQ(r["cs-method"], "created");
    EXPECT_EQ(r["cs-bytes"], "77");
    EXPECT_EQ(r["sc-bytes"], "0");
    // Old xferlog lines have no completion status.
    ASSERT_TRUE(builder.xferlogLine("Sun Oct 29 03:30:00 2017 2 ::ffff:10.0.0.1 5 /pub/x a _ o a guest@ ftp 0 *", clock));
    r = fieldsOf(builder.record());
    EXPECT_EQ(r["time"], "02:30:00");
    EXPECT_EQ(r["cs-username"], "anonymous");
  }
  {
    // Fourteen hours ahead of UTC: the local morning is the previous UTC day.
    ZoneGuard zone("Pacific/Kiritimati");
    linuxlog::XferlogClock clock;
    ASSERT_TRUE(builder.xferlogLine("Mon Jan  2 05:00:00 2017 1 1.2.3.4 1 /f b _ o r bob ftp 0 * c", clock));
    EXPECT_EQ(fieldsOf(builder.record())["date"], "2017-01-01");
    EXPECT_EQ(fieldsOf(builder.record())["time"], "15:00:00");
    linuxlog::XferlogClock utc(true);
    ASSERT_TRUE(builder.xferlogLine("Mon Jan  2 05:00:00 2017 1 1.2.3.4 1 /f b _ o r bob ftp 0 * c", utc));
    EXPECT_EQ(fieldsOf(builder.record())["date"], "2017-01-02");
  }
  linuxlog::XferlogClock clock(true);
  // Lines that are not transfers.
  for (const char* bad : {"Mon Jan  2 05:00:00 2017 1 1.2.3.4 1 /f b _ x r bob ftp 0 * c", "Mon Jan  2 05:00:00 2017 1 1.2.3.4",
                          "Mon Foo  2 05:00:00 2017 1 1.2.3.4 1 /f b _ o r bob ftp 0 * c", "Mon Jan 31 5:00:00 2017 1 1.2.3.4 1 /f b _ o r bob ftp 0 * c",
                          "Mon Feb 30 05:00:00 2017 1 1.2.3.4 1 /f b _ o r bob ftp 0 * c", "Mon Jan  2 05:00:00 2017 1 1.2.3.4 -5 /f b _ o r bob ftp 0 * c",
                          R"(192.0.2.1 - - [10/Oct/2000:13:55:36 +0000] "GET /ok HTTP/1.1" 200 100 "-" "agent")"})
    EXPECT_FALSE(builder.xferlogLine(bad, clock)) << bad;
}

TEST(RecordBuilderTest, ValuesFilledDirectlyAreTheColumnsOfTheLineTheyMake) {
  // The oracle: the record the W3C split gives for the line the values make.
  const std::vector<std::wstring> fields = {L"a", L"b", L"c"};
  const auto expectSame = [&](const W3CRecord& got, const W3CRecord& want) {
    EXPECT_EQ(got.line(), want.line());
    for (int c = -1; c < 5; ++c) EXPECT_EQ(got.value(c), want.value(c)) << c << " in " << text::toUtf8(want.line());
    for (const std::wstring& name : fields) EXPECT_EQ(got(name), want(name));
  };
  W3CRecord record(fields, L"");
  using V = std::vector<std::string_view>;
  // Every kind of blank within a value is "+", an empty value "-"; values
  // past the field list stay in the line only.
  record.set(L"b", L"set before");
  record.assignValues(V{"x y", "", "z\tw\r\v\f\n", "extra value"});
  expectSame(record, W3CRecord(fields, L"x+y - z+w++++ extra+value"));
  // A shorter line after a longer one keeps nothing of it; missing columns are empty.
  record.assignValues(V{"q"});
  expectSame(record, W3CRecord(fields, L"q"));
  record.assignValues(V{});
  expectSame(record, W3CRecord(fields, L""));
  // Bytes beyond ASCII take the code page's conversion of the whole line,
  // the bytes invalid in UTF-8 included.
  const std::string_view cafe = "caf\xc3\xa9 au lait", invalid = "\xff\xfe\x80", control = "\x01\x7f";
  W3CRecord split(fields, L"");
  split.assignLine("caf\xc3\xa9+au+lait \xff\xfe\x80 \x01\x7f");
  record.assignValues(V{cafe, invalid, control});
  expectSame(record, split);
  record.assignValues(V{"ascii", "again"});
  expectSame(record, W3CRecord(fields, L"ascii again"));
  // A record without a field list has the line but no columns.
  W3CRecord bare;
  bare.assignValues(V{"a", "b"});
  EXPECT_EQ(bare.line(), L"a b");
  EXPECT_TRUE(bare.value(0).empty());
}

TEST(RecordBuilderTest, ALineGivesTheSameRecordWhateverLinesCameBefore) {
  const AccessLogFormat nginx = AccessLogFormat::parse(
      R"($remote_addr $host $remote_user [$time_iso8601] "$request" $status $body_bytes_sent $bytes_sent $request_length $request_time "$http_referer" "$http_user_agent")");
  const AccessLogFormat timed = AccessLogFormat::parse(R"(%h %l %u %t "%r" %>s %b %D %T "%{Referer}i" "%{User-Agent}i" %{Host}i)");
  std::vector<const AccessLogFormat*> formats = {&nginx, &timed};
  for (const AccessLogFormat* f : knownForms()) formats.push_back(f);
  const std::string day = "192.0.2.1 - bob [10/Oct/2000:";
  const std::string tail = R"L( "GET /p?q HTTP/1.1" 200 10 "http://r/ x" "Mozilla/5.0 (X11; \"q\")")L";
  // Runs of lines of one day and offset, broken by times that are none, by
  // another offset, another day, other formats and other bytes.
  const std::vector<std::string> lines = {
      day + "13:55:36 -0700]" + tail,
      day + "23:59:59 -0700]" + tail,
      day + "24:00:00 -0700]" + tail,
      day + "12:60:00 -0700]" + tail,
      day + "12:00:61 -0700]" + tail,
      day + "12:00.00 -0700]" + tail,
      day + "1a:00:00 -0700]" + tail,
      day + "00:00:00 -0700]" + tail,
      day + "00:00:00 +1400]" + tail,
      day + "00:00:00 -0700]" + tail,
      "192.0.2.1 - bob [11/Oct/2000:00:00:00 -0700]" + tail,
      "192.0.2.1 - bob [31/Sep/2000:00:00:00 -0700]" + tail,
      "192.0.2.1 - bob [31/Dec/9999:23:59:59 -1200]" + tail,
      R"(10.0.0.1 h.test - [2017-03-26T01:30:00+14:00] "POST /f.php?a b HTTP/1.1" 405 157 325 1200 12.345 "-" "curl/8")",
      "10.0.0.1 - - [10/Oct/2000:13:55:36 -0700] \"GET /t\tab\x0b HTTP/1.1\" 200 5 1234567 3 \"-\" \"ag\xc3\xa9nt \xff\" h.test",
      "10.0.0.1 - - [10/Oct/2000:13:55:37 -0700] \"GET /" + std::string(3000, 'z') + " x HTTP/1.0\" 304 - \"\" \"\"",
      day + "13:55:38 -0700]" + tail,
  };
  linuxlog::RecordBuilder warm;
  int accepted = 0;
  for (const std::string& line : lines) {
    linuxlog::RecordBuilder fresh;
    bool warmIn = false, freshIn = false;
    const bool ok = fresh.accessLine(line, formats, freshIn);
    ASSERT_EQ(warm.accessLine(line, formats, warmIn), ok) << line;
    if (!ok) continue;
    ++accepted;
    EXPECT_EQ(warmIn, freshIn);
    EXPECT_EQ(warm.record().line(), fresh.record().line()) << line;
    EXPECT_EQ(fieldsOf(warm.record()), fieldsOf(fresh.record())) << line;
    // Every column is the value the W3C reader splits from the record's line.
    EXPECT_EQ(fieldsOf(warm.record()), fieldsOf(W3CRecord(linuxlog::recordFields(), warm.record().line()))) << line;
  }
  // The five lines with no time of day and the 31st of September are skipped.
  EXPECT_EQ(accepted, static_cast<int>(lines.size()) - 6);
}
