// The summary table, the filter, the option parser and the line formats.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "display_text.h"
#include "event_filter.h"
#include "line_printer.h"
#include "options.h"
#include "summary_text.h"

namespace velmora::trace {
namespace {

Event ev(Kind kind, std::string detail, int fd, int pid, long long tid) {
  Event e;
  e.kind = kind;
  e.detail = std::move(detail);
  e.fd = fd;
  e.pid = pid;
  e.tid = tid;
  return e;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string* find_line(const std::vector<std::string>& lines, std::string_view start) {
  for (const auto& l : lines) {
    if (l.starts_with(start)) return &l;
  }
  return nullptr;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

TEST(Summary, CountsPerResourceSortedByTotal) {
  Summary s;
  for (int i = 0; i < 3; ++i) s.add(ev(Kind::read, "file:/a", 3, 10, 10 + i), true);
  s.add(ev(Kind::close, "file:/a", 3, 10, 10), true);
  s.add(ev(Kind::write, "file:/b", 4, 11, 11), true);
  const auto lines = lines_of(summary_text(s));
  const auto* a = find_line(lines, "file:/a");
  const auto* b = find_line(lines, "file:/b");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_LT(a, b);  // larger total first
  // read write conn close query thr total
  EXPECT_EQ(words(*a), (std::vector<std::string>{"file:/a", "3", "0", "0", "1", "0", "3", "4"}));
  EXPECT_EQ(words(*b), (std::vector<std::string>{"file:/b", "0", "1", "0", "0", "0", "1", "1"}));
  const auto* p10 = find_line(lines, "10 ");
  ASSERT_NE(p10, nullptr);
  EXPECT_EQ(words(*p10), (std::vector<std::string>{"10", "3", "0", "0", "1", "0", "3", "4"}));
  const auto* all = find_line(lines, "all ");
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(words(*all).back(), "5");
}

TEST(Summary, QueriesChargedToTheirConnectionAndRanked) {
  Summary s;
  s.add(ev(Kind::connect, "socket:127.0.0.1:5432", 5, 20, 20), true);
  s.add(ev(Kind::sql_write, "SELECT 1", 5, 20, 20), true);
  s.add(ev(Kind::sql_write, "SELECT 1", 5, 20, 21), true);
  s.add(ev(Kind::sql_write, "SELECT 2", 5, 20, 20), true);
  // A query seen before anything named its descriptor is charged once that
  // descriptor shows up.
  s.add(ev(Kind::sql_write, "SELECT 3", 7, 20, 20), true);
  s.add(ev(Kind::write, "socket:[0000:0000:0000:0000:0000:0000:0000:0001]:5432", 7, 20, 20), true);
  // And one that never learns its connection.
  s.add(ev(Kind::sql_write, "SELECT 4", 9, 20, 20), true);
  const std::string text = summary_text(s);
  const auto lines = lines_of(text);
  const auto* v4 = find_line(lines, "socket:127.0.0.1:5432");
  ASSERT_NE(v4, nullptr);
  EXPECT_EQ(words(*v4), (std::vector<std::string>{"socket:127.0.0.1:5432", "0", "0", "1", "0", "3", "2", "4"}));
  const auto* v6 = find_line(lines, "socket:[0000");
  ASSERT_NE(v6, nullptr);
  EXPECT_EQ(words(*v6).back(), "2");
  const auto* unknown = find_line(lines, "(connection not seen)");
  ASSERT_NE(unknown, nullptr);
  // SQL ranking: SELECT 1 (2) before the rest (1 each).
  const auto q1 = text.find("    2  SELECT 1");
  const auto q2 = text.find("    1  SELECT 2");
  ASSERT_NE(q1, std::string::npos) << text;
  ASSERT_NE(q2, std::string::npos) << text;
  EXPECT_LT(q1, q2);
}

// From each sending to the next read of that descriptor in that process that brought
// data, whatever else happens between.
TEST(Summary, QueryTimeToFirstReply) {
  Summary s;
  for (const double sent : {1.0, 2.0, 3.0}) {
    s.add(ev(Kind::sql_write, "SELECT 1", 5, 20, 20), true, sent);
    Event nothing_yet = ev(Kind::read, "socket:x", 5, 20, 20);
    nothing_yet.no_data = true;  // an EAGAIN
    s.add(nothing_yet, true, sent + 0.0005);
    s.add(ev(Kind::read, "socket:x", 5, 21, 21), true, sent + 0.001);  // another process
    s.add(ev(Kind::write, "socket:x", 5, 20, 20), true, sent + 0.002);
    s.add(ev(Kind::read, "socket:x", 5, 20, 20), true, sent + (sent == 2.0 ? 0.030 : 0.020));
    s.add(ev(Kind::read, "socket:x", 5, 20, 20), true, sent + 0.5);
  }
  s.add(ev(Kind::sql_write, "SELECT 2", 6, 20, 20), true, 4.0);
  s.add(ev(Kind::close, "socket:x", 6, 20, 20), true, 4.1);
  s.add(ev(Kind::read, "socket:x", 6, 20, 20), true, 4.2);  // a new descriptor
  const std::string text = summary_text(s);
  EXPECT_NE(text.find("count  reply ms p50  reply ms max  query\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    3        20.000        30.000  SELECT 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    1             -             -  SELECT 2\n"), std::string::npos) << text;
}

// An object file opened read-write and written first is an output, read back or not; a
// file created is one too; a directory opened and never read is listed as a directory.
TEST(Summary, FilesInputsApartFromOutputsAndDirectoriesListed) {
  Summary s;
  for (const auto& [kind, path] : std::vector<std::pair<Kind, std::string>>{
           {Kind::open_read_write, "/o/main.o"}, {Kind::write, "/o/main.o"}, {Kind::read, "/o/main.o"},
           {Kind::create, "/o/app"}, {Kind::read, "/o/app"}, {Kind::open_read, "/usr"},
           {Kind::open_read_write, "/o/db"}, {Kind::read, "/o/db"}, {Kind::write, "/o/db"}}) {
    s.add(ev(kind, "file:" + path, 3, 20, 20), true, 1.0);
  }
  s.settle();
  const auto names = [&](Footprint::List list) {
    std::vector<std::string> out;
    for (const auto& [name, count] : s.footprint().list(list)) out.push_back(name);
    return out;
  };
  EXPECT_EQ(names(Footprint::read), std::vector<std::string>{"/o/db"});
  EXPECT_EQ(names(Footprint::written), (std::vector<std::string>{"/o/app", "/o/db", "/o/main.o"}));
  EXPECT_EQ(names(Footprint::dirs_listed), std::vector<std::string>{"/usr"});
}

TEST(Summary, ManyDistinctQueriesAreCappedWithTheRestAccountedFor) {
  Summary s;
  s.add(ev(Kind::connect, "socket:127.0.0.1:5432", 5, 20, 20), true);
  for (int i = 0; i < 3; ++i) s.add(ev(Kind::sql_write, "BEGIN;", 5, 20, 20), true);
  for (int i = 0; i < 40; ++i) s.add(ev(Kind::sql_write, "SELECT " + std::to_string(i), 5, 20, 20), true);
  const std::string text = summary_text(s);
  EXPECT_NE(text.find("    3  BEGIN;"), std::string::npos) << text;
  // 41 distinct texts: the 25 most frequent shown, 16 texts (16 events) summed up.
  EXPECT_NE(text.find("... and 16 more distinct queries (16 events)"), std::string::npos) << text;
  std::size_t shown = 0;
  for (const auto& l : lines_of(text)) shown += l.find("  SELECT ") != std::string::npos;
  EXPECT_EQ(shown, 24u);
}

TEST(Summary, FilteredEventsNotCounted) {
  Summary s;
  s.add(ev(Kind::connect, "socket:127.0.0.1:5432", 5, 20, 20), false);
  s.add(ev(Kind::sql_write, "SELECT 1", 5, 20, 20), true);
  s.add(ev(Kind::read, "file:/skipped", 3, 20, 20), false);
  EXPECT_EQ(s.events(), 1u);
  const auto lines = lines_of(summary_text(s));
  EXPECT_EQ(find_line(lines, "file:/skipped"), nullptr);
  const auto* conn = find_line(lines, "socket:127.0.0.1:5432");
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(words(*conn), (std::vector<std::string>{"socket:127.0.0.1:5432", "0", "0", "0", "0", "1", "1", "1"}));
}

TEST(Summary, FitsEightyColumns) {
  Summary s;
  const std::string long_name = "file:/" + std::string(200, 'd') + "/end-of-the-name.txt";
  for (int i = 0; i < 123456; ++i) s.add(ev(Kind::write, long_name, 3, 1, 1), true);
  s.add(ev(Kind::sql_write, "SELECT " + std::string(300, 'x') + " FROM t\n\tWHERE y", 9, 1, 1), true);
  s.add(ev(Kind::read, "file:/evil\x1b[2J\xff", 4, 2, 2), true);
  // A file name longer than half the column is still kept whole.
  const std::string long_file = "a-name-over-half-the-column.pyc";
  s.add(ev(Kind::read, "file:/usr/lib/" + std::string(100, 'p') + "/" + long_file, 5, 2, 2), true);
  const std::string text = summary_text(s);
  EXPECT_NE(text.find("\u2026/" + long_file + " "), std::string::npos) << text;
  for (const auto& line : lines_of(text)) {
    EXPECT_LE(display_width(line), 80u) << line;
    for (const char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << line;
  }
  EXPECT_NE(text.find("\u2026"), std::string::npos);
  EXPECT_NE(text.find("end-of-the-name.txt"), std::string::npos);
  EXPECT_NE(text.find("123456"), std::string::npos);
  // Columns line up: every row of the resource table is equally wide.
  const auto lines = lines_of(text);
  const auto* header = find_line(lines, "resource");
  const auto* row = find_line(lines, "file:/ddd");
  ASSERT_NE(header, nullptr);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(display_width(*header), display_width(*row));
}

TEST(Filter, KindsClassesAndMatch) {
  EventFilter f;
  std::string why;
  const Event file_read = ev(Kind::read, "file:/etc/hosts", 3, 1, 1);
  const Event sock_write = ev(Kind::write, "socket:127.0.0.1:80", 4, 1, 1);
  const Event query = ev(Kind::sql_write, "SELECT 1", 4, 1, 1);
  EXPECT_TRUE(f.accepts(file_read) && f.accepts(sock_write) && f.accepts(query));

  ASSERT_TRUE(f.set_kinds("read,sql_write", why));
  EXPECT_TRUE(f.accepts(file_read));
  EXPECT_FALSE(f.accepts(sock_write));
  EXPECT_TRUE(f.accepts(query));
  EXPECT_FALSE(f.set_kinds("read,bogus", why));
  EXPECT_NE(why.find("bogus"), std::string::npos);
  EXPECT_FALSE(f.set_kinds("read,,write", why));

  EventFilter g;
  ASSERT_TRUE(g.set_only("socket", why));
  EXPECT_FALSE(g.accepts(file_read));
  EXPECT_TRUE(g.accepts(sock_write));
  EXPECT_FALSE(g.accepts(query));
  ASSERT_TRUE(g.set_only("file,sql", why));
  EXPECT_TRUE(g.accepts(file_read));
  EXPECT_TRUE(g.accepts(query));
  EXPECT_FALSE(g.set_only("pipe", why));

  EventFilter h;
  h.match = {"hosts"};
  EXPECT_TRUE(h.accepts(file_read));
  EXPECT_FALSE(h.accepts(query));
}

struct Argv {
  explicit Argv(std::vector<std::string> a) : args(std::move(a)) {
    for (auto& s : args) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(args.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> args;
  std::vector<char*> ptrs;
};

ParseOutcome parse(std::vector<std::string> args, Options& o) {
  args.insert(args.begin(), "velmora-trace");
  Argv a(std::move(args));
  return parse_options(a.argc(), a.argv(), o);
}

TEST(Options, Parses) {
  Options o;
  ASSERT_EQ(parse({"--format=jsonl", "-c", "--kind", "read", "--only=file", "--match", "x", "--wait",
                   "0.5", "-o", "out", "--lib", "/l.so", "--", "cmd", "-c", "--format"},
                  o).status,
            ParseOutcome::run);
  EXPECT_EQ(o.format, Format::jsonl);
  EXPECT_TRUE(o.summary);
  EXPECT_TRUE(o.stream);
  EXPECT_EQ(o.wait_seconds, 0.5);
  EXPECT_EQ(o.output, "out");
  EXPECT_EQ(o.lib, "/l.so");
  EXPECT_EQ(o.filter.match, std::vector<std::string>{"x"});
  EXPECT_EQ(o.command, (std::vector<std::string>{"cmd", "-c", "--format"}));

  Options p;
  ASSERT_EQ(parse({"--summary-only", "ls", "-l"}, p).status, ParseOutcome::run);
  EXPECT_TRUE(p.summary);
  EXPECT_FALSE(p.stream);
  EXPECT_EQ(p.command, (std::vector<std::string>{"ls", "-l"}));
}

TEST(Options, Errors) {
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {}, {"--"}, {"--bogus", "ls"}, {"--format", "xml", "ls"}, {"--wait", "-1", "ls"},
           {"--wait", "abc", "ls"}, {"--kind", "nope", "ls"}, {"--only", "pipes", "ls"},
           {"--summary=yes", "ls"}, {"--lib"}, {"-o"}}) {
    Options o;
    const ParseOutcome r = parse(bad, o);
    EXPECT_EQ(r.status, ParseOutcome::error) << (bad.empty() ? "" : bad[0]);
    EXPECT_EQ(r.message.find('\n'), std::string::npos);
    EXPECT_FALSE(r.message.empty());
  }
  Options h;
  EXPECT_EQ(parse({"--help"}, h).status, ParseOutcome::help);
}

TEST(Format, TextJsonRaw) {
  const Event e = ev(Kind::read, "file:/a\tb\xff", 3, 100, 101);
  const std::string raw = "read\tfile:/a\\tb\xff\t3\t100\t101";
  std::string text, json, raw_out;
  format_event(Format::text, e, 1.5, text);
  format_event(Format::jsonl, e, 1.5, json);
  // Twice: a line goes after what the buffer holds.
  format_event(Format::raw, e, 1.5, raw_out);
  format_event(Format::raw, e, 1.5, raw_out);
  EXPECT_NE(text.find("100/101 read"), std::string::npos) << text;
  EXPECT_NE(text.find("fd=3"), std::string::npos) << text;
  EXPECT_NE(text.find("file:/a\\tb\\xff\n"), std::string::npos) << text;
  EXPECT_EQ(json,
            "{\"t\":1.500000,\"pid\":100,\"tid\":101,\"kind\":\"read\",\"fd\":3,"
            "\"detail\":\"file:/a\\tb\\ufffd\",\"detail_base64\":\"ZmlsZTovYQli/w==\"}\n");
  EXPECT_EQ(raw_out, raw + "\n" + raw + "\n");
}

}  // namespace
}  // namespace velmora::trace
