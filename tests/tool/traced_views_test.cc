// What the tracer makes of real commands' events: the formats and their escaping, the
// filters, the files view and summary, the Chrome trace and the HTML report.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

TEST(TracedViews, CatFileWithTabAndNewlineInName) {
  TempDir dir;
  const std::string name = dir / "tab\there\nline";
  write_file(name, "contents\n");
  const std::string detail = "file:" + name;
  // cat's output goes into a pipe: with a regular file as output, cat copies
  // in the kernel (copy_file_range) instead of reading.
  const std::vector<std::string> cat = {"sh", "-c", "cat -- \"$1\" | cat > /dev/null", "sh", name};
  const auto args = [&](std::vector<std::string> options) {
    options.insert(options.end(), cat.begin(), cat.end());
    return with_lib(options);
  };

  // raw: the library's own escaping, parsed back to the exact name.
  RunResult r = run_tool(dir, args({"--format", "raw", "--match", dir.path(), "-o", dir / "raw"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::size_t bad = 0;
  const std::vector<Event> events = raw_events(dir / "raw", &bad);
  EXPECT_EQ(bad, 0u);
  EXPECT_GE(count_events(events, "read", detail), 1u);
  EXPECT_NE(read_file(dir / "raw").find("\tfile:" + dir.path() + "/tab\\there\\nline\t"), std::string::npos);

  // text: escapes shown, never a raw TAB or LF inside the line.
  r = run_tool(dir, args({"--match", dir.path(), "-o", dir / "text"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string text = read_file(dir / "text");
  EXPECT_NE(text.find(" read      fd="), std::string::npos) << text;
  EXPECT_NE(text.find("file:" + dir.path() + "/tab\\there\\nline\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\t'), std::string::npos);

  // jsonl: valid JSON that decodes to the exact name.
  r = run_tool(dir, args({"--format", "jsonl", "--match", dir.path(), "-o", dir / "json"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(read_file(dir / "json").find("\"detail\":\"file:" + dir.path() + "/tab\\there\\nline\""),
            std::string::npos);
  if (!python3_path().empty()) {
    const std::string decoded =
        capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json") + " 2>&1");
    EXPECT_NE(decoded.find("read\t" + hex(detail) + "\n"), std::string::npos) << decoded;
  }
}

TEST(TracedViews, MatchAndExcludeRepeatWithGlobs) {
  REQUIRE_PYTHON();
  TempDir dir;
  for (const char* name : {"a.txt", "b.log", "c.txt", "d.log"}) write_file(dir / name, "x\n");
  const RunResult r = run_tool(
      dir, with_lib(concat({"--format", "raw", "--match", "*.txt", "--match", "b.lo", "--exclude", "*/c.txt",
                            "--exclude", "file:/nonexistent/*", "-o", dir / "raw"},
                           io_steps({"r:" + (dir / "a.txt"), "r:" + (dir / "b.log"), "r:" + (dir / "c.txt"),
                                     "r:" + (dir / "d.log")}))));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::set<std::string> seen;
  for (const Event& e : raw_events(dir / "raw")) seen.insert(e.detail);
  EXPECT_EQ(seen, (std::set<std::string>{"file:" + (dir / "a.txt"), "file:" + (dir / "b.log")}));
}

// What a build tool wants: inputs and outputs, each once, with counts; and
// the jsonl forms of that and of the summary are JSON.
TEST(TracedViews, FilesAndJsonSummary) {
  REQUIRE_PYTHON();
  TempDir dir;
  // Longer than any terminal: a summary written to a file shows it whole.
  const std::string a = dir / (std::string(90, 'd') + "-input-a.txt");
  write_file(a, "a\n");
  write_file(dir / "b", "b\n");
  const std::vector<std::string> cmd = io_steps({"r:" + a, "r:" + a, "r:" + (dir / "b"), "w:" + (dir / "c")});

  RunResult r = run_tool(dir, with_lib(concat({"--files", "-c", "--match", dir.path(), "-o", dir / "files"}, cmd)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string files = read_file(dir / "files");
  // read(), then the read() that finds the end: two events per whole read. Sorted by path.
  EXPECT_NE(files.find("Files read (2):\n     2  " + (dir / "b") + "\n     4  " + a + "\n"), std::string::npos)
      << files;
  EXPECT_NE(files.find("Files written (1):\n     1  " + (dir / "c") + "\n"), std::string::npos) << files;
  EXPECT_NE(files.find("\nfile:" + a + " "), std::string::npos) << files;  // the summary's row, whole
  EXPECT_EQ(files.find("fd="), std::string::npos) << files;               // no event stream

  if (python3_path().empty()) return;
  const auto json_of = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--format", "jsonl", "--match", dir.path(), "-o", dir / "json"});
    r = run_tool(dir, with_lib(concat(options, cmd)));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json") + " 2>&1");
  };
  std::string decoded = json_of({"--files"});
  EXPECT_NE(decoded.find("files\tread\t" + a + "\t4\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("files\twritten\t" + (dir / "c") + "\t1\n"), std::string::npos) << decoded;
  decoded = json_of({"-c"});
  // Six reads, three closes, a write and its close: the summary counts what the stream shows.
  EXPECT_NE(decoded.find("summary\t11\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("process\t"), std::string::npos) << decoded;
}

// A shell script's redirections, touch, mv, rm and mkdir, as --files shows them whole
// and per process; and each of 200 quick programs a shell starts, named by its exec.
TEST(TracedViews, WideLibraryFilesViewAndProgramNames) {
  TempDir dir;
  const std::string d = std::filesystem::canonical(dir.path()).string();
  RunResult r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--per-process", "--under", d, "-o", dir / "files",
                               "sh", "-c", "cd \"$1\" && echo hi > w.txt; sort w.txt > w3.txt; touch t; mv t t2; "
                               "rm t2; mkdir d", "sh", d});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string files = read_file(dir / "files");
  for (const std::string& s : {"Files created (3):\n     1  " + d + "/t\n     1  " + d + "/w.txt\n     1  " + d + "/w3.txt\n",
                               "Files deleted (1):\n     1  " + d + "/t2\n", "Directories made (1):\n     1  " + d + "/d\n",
                               "Renamed (1):\n     1  " + d + "/t \u2192 " + d + "/t2\n"}) {
    EXPECT_NE(files.find(s), std::string::npos) << s << "\n" << files;
  }
  const std::size_t sort = files.find(": /usr/bin/sort w.txt\n");
  ASSERT_NE(sort, std::string::npos) << files;
  const std::string rule = files.substr(sort, files.find("\nProcess", sort) - sort);
  EXPECT_NE(rule.find("Files read (1):\n       2  " + d + "/w.txt\n  Files written (1):\n       1  " + d + "/w3.txt\n"),
            std::string::npos) << rule;
  if (!python3_path().empty()) {
    r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--per-process", "--format", "jsonl", "--under", d, "-o",
                       dir / "json", "sh", "-c", "cd \"$1\" && touch t && mv t t2", "sh", d});
    const std::string json = capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json"));
    EXPECT_NE(json.find("files\trenamed\t" + d + "/t -> " + d + "/t2\t1\n"), std::string::npos) << json;
    EXPECT_NE(json.find(":created\t" + d + "/t\t1\n"), std::string::npos) << json;  // per process
  }

  // Each child looks along PATH before it execs: named by its exec line, not as the shell.
  r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--summary-only", "-o", dir / "names", "sh", "-c",
                     "PATH=/nonexistent:/usr/bin:/bin; i=0; while [ $i -lt 200 ]; do x=$(head -c0 /dev/null); "
                     "i=$((i+1)); done"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string names = read_file(dir / "names");
  EXPECT_EQ(count_of(names, "  /usr/bin/head -c0 /dev/null\n"), 200u) << names;
  EXPECT_EQ(count_of(names, "gone"), 0u);
}

// The pictures of one small threaded program: the Chrome trace event format,
// and the HTML report rendered by a real headless browser.
TEST(TracedViews, ChromeTraceOfThreadedProgram) {
  REQUIRE_PYTHON();
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "chrome", "-c", "-o", dir / "trace.json", python3_path(),
                                              script_path("threads_tcp.py"), dir.path(), "4"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string checked =
      capture(python3_path() + " " + script_path("check_chrome.py") + " " + (dir / "trace.json") + " 2>&1");
  // One instant event per line received: as many as the summary counted.
  const std::string instant = line_with(checked, "instant\t");
  ASSERT_FALSE(instant.empty()) << checked;
  EXPECT_GT(std::stoul(instant.substr(8)), 0u);
  EXPECT_EQ(line_with(checked, "summary\t").substr(8), instant.substr(8)) << checked;
  EXPECT_EQ(checked.find("unnamed"), std::string::npos) << checked;
  // The main thread and four client threads at least.
  std::size_t threads = 0;
  for (std::size_t at = checked.find("\nthread\t"); at != std::string::npos; at = checked.find("\nthread\t", at + 1)) {
    ++threads;
  }
  EXPECT_GE(threads, 5u) << checked;
  // Events named by what they touched; each process's life a bar.
  EXPECT_NE(checked.find("\nname\twrite thread-0.txt\n"), std::string::npos) << checked;
  EXPECT_NE(checked.find("\nname\tconnect 127.0.0.1:"), std::string::npos) << checked;
  EXPECT_NE(checked.find("\nlife\t"), std::string::npos) << checked;
}

TEST(TracedViews, HtmlReportOfThreadedProgramInABrowser) {
  REQUIRE_PYTHON();
  if (chromium_path().empty()) GTEST_SKIP() << "chromium not found";
  TempDir dir;
  // A copy of the script in the test's own directory: the report, and the README's
  // picture made from it, then name no path of the machine that ran the test.
  const std::string script = dir / "threads_tcp.py";
  write_file(script, read_file(script_path("threads_tcp.py")));
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", "--html", dir / "report.html",
                                              python3_path(), script, dir.path(), "4"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::set<std::string> resources;
  std::set<std::int64_t> tids;
  std::set<std::int32_t> pids;
  for (const Event& e : raw_events(dir / "raw")) {
    if (e.kind != "sql_write") resources.insert(e.detail);
    tids.insert(e.tid);
    pids.insert(e.pid);
  }
  ASSERT_FALSE(resources.empty());

  // Run as root in a container: no sandbox, nothing from the network, a profile of its own.
  const std::string browser = "timeout 120 " + chromium_path() +
                              " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                              " --disable-background-networking --disable-component-update --disable-sync"
                              " --user-data-dir=" + (dir / "profile") + " --window-size=1280,900 ";
  const std::string url = "file://" + (dir / "report.html");
  const std::string dom = capture(browser + "--dump-dom " + url + " 2>/dev/null");
  // The page counts script errors and console errors on its body.
  EXPECT_NE(dom.find("data-errors=\"0\""), std::string::npos) << dom.substr(0, 2000);
  for (const std::string& name : resources) EXPECT_NE(dom.find(">" + name + "<"), std::string::npos) << name;
  for (const std::int64_t tid : tids) EXPECT_NE(dom.find("tid " + std::to_string(tid) + " "), std::string::npos) << tid;
  // A time axis with labelled ticks from 0 ms, and one row per process, labelled by its program.
  EXPECT_NE(dom.find(">0 ms</span>"), std::string::npos) << dom.substr(0, 4000);
  EXPECT_GE(count_of(dom, "class=\"tick\""), 3u) << dom.substr(0, 4000);
  EXPECT_EQ(count_of(dom, "class=\"proc\""), pids.size()) << dom.substr(0, 4000);
  for (const std::int32_t pid : pids) {
    EXPECT_NE(dom.find(">pid " + std::to_string(pid) + "  python3"), std::string::npos) << pid;
  }

  const std::string shot = report_screenshot_path();
  std::remove(shot.c_str());
  capture(browser + "--screenshot=" + shot + " " + url + " 2>/dev/null");
  EXPECT_TRUE(read_file(shot).starts_with("\x89PNG")) << shot;
}

}  // namespace
}  // namespace velmora::trace::testing
