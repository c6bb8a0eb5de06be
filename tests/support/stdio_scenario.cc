// stdio DIR: every stdio reading function the wide library wraps reads its own file
// DIR/<function>.in to the end; every writing function then writes the text of
// DIR/fgets.in into its own file DIR/<function>.out and closes it. One file per
// function, so a test can hold each function's events against the system calls that
// strace sees on the same file. Prints <function>=<bytes> for each file read.

// Plain declarations only: optimised builds would otherwise inline getline and the
// _unlocked byte functions, and the program would never call them.
#define __NO_INLINE__ 1
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>

#include "scenario_main.h"

extern "C" {
// The fortified and ISO C entry points, called by name: this driver is built without
// fortification, and its fscanf would otherwise always be the ISO C one.
size_t __fread_chk(void*, size_t, size_t, size_t, FILE*);
size_t __fread_unlocked_chk(void*, size_t, size_t, size_t, FILE*);
char* __fgets_chk(char*, size_t, int, FILE*);
char* __fgets_unlocked_chk(char*, size_t, int, FILE*);
int __fprintf_chk(FILE*, int, const char*, ...);
int __vfprintf_chk(FILE*, int, const char*, va_list);
int __isoc99_fscanf(FILE*, const char*, ...);
int __isoc99_vfscanf(FILE*, const char*, va_list);
int plain_fscanf(FILE*, const char*, ...) __asm__("fscanf");
int plain_vfscanf(FILE*, const char*, va_list) __asm__("vfscanf");
}

namespace velmora_test {
namespace {

using Reader = std::string (*)(FILE*);
using Writer = void (*)(FILE*, const std::string&);

template <size_t (*Read)(void*, size_t, size_t, FILE*)>
std::string by_blocks(FILE* fp) {
  std::string got;
  char block[3000];
  for (size_t n; (n = Read(block, 1, sizeof(block), fp)) > 0;) got.append(block, n);
  return got;
}

template <size_t (*Read)(void*, size_t, size_t, size_t, FILE*)>
std::string by_checked_blocks(FILE* fp) {
  std::string got;
  char block[3000];
  for (size_t n; (n = Read(block, sizeof(block), 1, sizeof(block), fp)) > 0;) got.append(block, n);
  return got;
}

template <char* (*Read)(char*, int, FILE*)>
std::string by_lines(FILE* fp) {
  std::string got;
  char line[200];
  while (Read(line, sizeof(line), fp) != nullptr) got += line;
  return got;
}

template <char* (*Read)(char*, size_t, int, FILE*)>
std::string by_checked_lines(FILE* fp) {
  std::string got;
  char line[200];
  while (Read(line, sizeof(line), sizeof(line), fp) != nullptr) got += line;
  return got;
}

template <ssize_t (*Read)(char**, size_t*, int, FILE*)>
std::string by_delimiter(FILE* fp) {
  std::string got;
  char* text = nullptr;
  size_t size = 0;
  for (ssize_t n; (n = Read(&text, &size, ',', fp)) > 0;) got.append(text, static_cast<size_t>(n));
  std::free(text);
  return got;
}

std::string by_getline(FILE* fp) {
  std::string got;
  char* text = nullptr;
  size_t size = 0;
  for (ssize_t n; (n = getline(&text, &size, fp)) > 0;) got.append(text, static_cast<size_t>(n));
  std::free(text);
  return got;
}

template <int (*const* Read)(FILE*)>
std::string by_bytes(FILE* fp) {
  std::string got;
  for (int c; (c = (*Read)(fp)) != EOF;) got.push_back(static_cast<char>(c));
  return got;
}
int (*const FGETC)(FILE*) = fgetc;
int (*const FGETC_UNLOCKED)(FILE*) = fgetc_unlocked;
int (*const GETC)(FILE*) = getc;
int (*const GETC_UNLOCKED)(FILE*) = getc_unlocked;

// The body programs inline for getc_unlocked: __uflow when the buffer is empty.
std::string by_inline_getc(FILE* fp) {
  std::string got;
  for (int c; (c = __getc_unlocked_body(fp)) != EOF;) got.push_back(static_cast<char>(c));
  return got;
}

template <int (*Scan)(FILE*, const char*, ...)>
std::string by_scanf(FILE* fp) {
  std::string got;
  for (char c; Scan(fp, "%c", &c) == 1;) got.push_back(c);
  return got;
}

template <int (*Scan)(FILE*, const char*, va_list)>
int scan_list(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int done = Scan(fp, format, args);
  va_end(args);
  return done;
}

template <size_t (*Write)(const void*, size_t, size_t, FILE*)>
void in_blocks(FILE* fp, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += 1000) Write(text.data() + at, 1, std::min<size_t>(1000, text.size() - at), fp);
}

// Line by line, flushing every tenth line with Flush when one is given.
template <int (*Put)(const char*, FILE*), int (*Flush)(FILE*) = nullptr>
void in_lines(FILE* fp, const std::string& text) {
  int lines = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    Put(text.substr(at, end - at).c_str(), fp);
    at = end;
    if (Flush != nullptr && ++lines % 10 == 0) Flush(fp);
  }
}

template <int (*const* Put)(int, FILE*)>
void in_bytes(FILE* fp, const std::string& text) {
  for (char c : text) (*Put)(c, fp);
}
int (*const FPUTC)(int, FILE*) = fputc;
int (*const FPUTC_UNLOCKED)(int, FILE*) = fputc_unlocked;
int (*const PUTC)(int, FILE*) = putc;
int (*const PUTC_UNLOCKED)(int, FILE*) = putc_unlocked;

// The body programs inline for putc_unlocked: __overflow when the buffer has no room.
void in_inline_putc(FILE* fp, const std::string& text) {
  for (char c : text) __putc_unlocked_body(c, fp);
}

template <int (*Print)(FILE*, const char*, ...)>
void in_printf(FILE* fp, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += 100) Print(fp, "%.*s", static_cast<int>(std::min<size_t>(100, text.size() - at)), text.data() + at);
}

int checked_fprintf(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = __vfprintf_chk(fp, 1, format, args);
  va_end(args);
  return n;
}
int listed_fprintf(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vfprintf(fp, format, args);
  va_end(args);
  return n;
}
int fprintf_chk(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[128];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return __fprintf_chk(fp, 1, "%s", text);
}

const struct {
  const char* name;
  Reader read;
} READERS[] = {
    {"fread", by_blocks<fread>},
    {"fread_unlocked", by_blocks<fread_unlocked>},
    {"__fread_chk", by_checked_blocks<__fread_chk>},
    {"__fread_unlocked_chk", by_checked_blocks<__fread_unlocked_chk>},
    {"fgets", by_lines<fgets>},
    {"fgets_unlocked", by_lines<fgets_unlocked>},
    {"__fgets_chk", by_checked_lines<__fgets_chk>},
    {"__fgets_unlocked_chk", by_checked_lines<__fgets_unlocked_chk>},
    {"getline", by_getline},
    {"getdelim", by_delimiter<getdelim>},
    {"__getdelim", by_delimiter<__getdelim>},
    {"fgetc", by_bytes<&FGETC>},
    {"fgetc_unlocked", by_bytes<&FGETC_UNLOCKED>},
    {"getc", by_bytes<&GETC>},
    {"getc_unlocked", by_bytes<&GETC_UNLOCKED>},
    {"__uflow", by_inline_getc},
    {"fscanf", by_scanf<plain_fscanf>},
    {"__isoc99_fscanf", by_scanf<__isoc99_fscanf>},
    {"vfscanf", by_scanf<scan_list<plain_vfscanf>>},
    {"__isoc99_vfscanf", by_scanf<scan_list<__isoc99_vfscanf>>},
};

const struct {
  const char* name;
  Writer write;
} WRITERS[] = {
    {"fwrite", in_blocks<fwrite>},
    {"fwrite_unlocked", in_blocks<fwrite_unlocked>},
    {"fputs", in_lines<fputs>},
    {"fputs_unlocked", in_lines<fputs_unlocked>},
    {"fflush", in_lines<fputs, fflush>},
    {"fflush_unlocked", in_lines<fputs_unlocked, fflush_unlocked>},
    {"fputc", in_bytes<&FPUTC>},
    {"fputc_unlocked", in_bytes<&FPUTC_UNLOCKED>},
    {"putc", in_bytes<&PUTC>},
    {"putc_unlocked", in_bytes<&PUTC_UNLOCKED>},
    {"__overflow", in_inline_putc},
    {"fprintf", in_printf<fprintf>},
    {"vfprintf", in_printf<listed_fprintf>},
    {"__fprintf_chk", in_printf<fprintf_chk>},
    {"__vfprintf_chk", in_printf<checked_fprintf>},
};

}  // namespace

int scenario_stdio(int, char** argv) {
  const std::string dir = argv[2];
  std::string text;
  for (const auto& r : READERS) {
    FILE* in = std::fopen((dir + "/" + r.name + ".in").c_str(), "r");
    if (in == nullptr) fail(r.name);
    const std::string got = r.read(in);
    std::fclose(in);
    fact(r.name, static_cast<long long>(got.size()));
    if (std::strcmp(r.name, "fgets") == 0) text = got;
  }
  for (const auto& w : WRITERS) {
    FILE* out = std::fopen((dir + "/" + w.name + ".out").c_str(), "w");
    if (out == nullptr) fail(w.name);
    w.write(out, text);
    if (std::fclose(out) != 0) fail(w.name);
  }
  // errno, set to a mark, after closing streams without a descriptor and reopening stdin.
  char* text_copy = nullptr;  // the memory stream's, left to the process's end
  size_t size = 0;
  for (FILE* stream : {open_memstream(&text_copy, &size), fmemopen(nullptr, 64, "w"), fopencookie(nullptr, "w", cookie_io_functions_t{}), stdin, stdin}) {
    errno = EDOM;
    std::fclose(stream);
    fact("fclose_errno", errno);
  }
  errno = EDOM;
  fact("freopen_errno", std::freopen((dir + "/fgets.in").c_str(), "r", stdin) != nullptr ? errno : -1);
  // Writes, seeks back and reads: each seek flushes what was written, and a seek to the
  // end refills the buffer from the block holding it.
  FILE* rw = std::fopen((dir + "/fseek.rw").c_str(), "w+");
  char line[64];
  fpos_t start;
  std::fgetpos(rw, &start);
  for (int i = 0; i < 10; ++i) {
    std::fprintf(rw, "line %d\n", i);
    i % 2 == 0 ? std::fseek(rw, 0, SEEK_SET) : std::fsetpos(rw, &start);
    if (std::fgets(line, sizeof(line), rw) == nullptr) fail("fgets");
    fseeko(rw, 0, SEEK_END);
  }
  std::rewind(rw);
  std::fclose(rw);
  return 0;
}

}  // namespace velmora_test
