// The stdio judgement against the truth: every judged call is made for real, and the
// thread's own read and write system call counters (/proc/thread-self/io) say whether
// the C library went to the descriptor.
#include "stdio_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace velmora_io {
namespace {

struct Counters {
  long reads = 0;
  long writes = 0;
};

// Read with raw system calls; the read itself is counted once, in the next sample.
Counters sample() {
  const long fd = syscall(SYS_openat, AT_FDCWD, "/proc/thread-self/io", O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  char text[512] = {};
  const long n = syscall(SYS_read, fd, text, sizeof(text) - 1);
  syscall(SYS_close, fd);
  if (n <= 0) std::abort();
  Counters c;
  if (const char* r = std::strstr(text, "syscr: ")) c.reads = std::atol(r + 7);
  if (const char* w = std::strstr(text, "syscw: ")) c.writes = std::atol(w + 7);
  return c;
}

// What a call really did, and what was judged for it.
struct Outcome {
  Transfer judged;
  bool read = false;
  bool write = false;
};

// Judges, then makes the call; `judge` runs before `call` (or, for the formatted
// functions, is handed the mark taken before it and runs after).
Outcome before_call(const std::function<Transfer()>& judge, const std::function<void()>& call) {
  Outcome o;
  o.judged = judge();
  const Counters a = sample();
  call();
  const Counters b = sample();
  o.read = b.reads - a.reads - 1 > 0;
  o.write = b.writes - a.writes > 0;
  return o;
}

Outcome after_call(FILE* fp, const std::function<void()>& call,
                   const std::function<Transfer(const BufferMark&)>& judge) {
  const BufferMark mark = mark_buffer(fp);
  const Counters a = sample();
  call();
  const Counters b = sample();
  Outcome o;
  o.judged = judge(mark);
  o.read = b.reads - a.reads - 1 > 0;
  o.write = b.writes - a.writes > 0;
  return o;
}

#define EXPECT_OUTCOME(outcome, want_read, want_write)                                   \
  do {                                                                                    \
    const Outcome o_ = (outcome);                                                         \
    EXPECT_EQ(o_.read, want_read) << "really read";                                       \
    EXPECT_EQ(o_.write, want_write) << "really wrote";                                    \
    EXPECT_EQ(o_.judged.read, o_.read) << "judged read";                                  \
    EXPECT_EQ(o_.judged.write, o_.write) << "judged write";                               \
  } while (0)

// A stream over an anonymous file holding `content`, positioned at its start.
class Stream {
 public:
  Stream(const std::string& content, const char* mode, int buffering = -1, std::size_t size = 0) {
    const int fd = memfd_create("stdio_buffer_test", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
    lseek(fd, 0, SEEK_SET);
    fp_ = fdopen(fd, mode);
    if (fp_ == nullptr) std::abort();
    if (buffering >= 0 && setvbuf(fp_, size > 0 ? buffer_ : nullptr, buffering, size) != 0) std::abort();
  }
  ~Stream() { fclose(fp_); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  FILE* get() const { return fp_; }
  std::string contents() const {
    fflush(fp_);
    std::string s(1 << 16, '\0');
    const ssize_t n = pread(fileno(fp_), s.data(), s.size(), 0);
    s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return s;
  }

 private:
  FILE* fp_ = nullptr;
  char buffer_[256];
};

std::string lines(int count, std::size_t width) {
  std::string s;
  for (int i = 0; i < count; ++i) s += std::string(width - 1, static_cast<char>('a' + i % 26)) + "\n";
  return s;
}

TEST(StdioBuffer, LayoutOfTheRunningCLibraryIsKnown) {
  EXPECT_TRUE(stdio_layout_known());
  Stream s("x", "r");
  EXPECT_EQ(stdio_descriptor(s.get()), fileno(s.get()));
  char text[8] = "abc";
  FILE* memory = fmemopen(text, sizeof(text), "r");
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(stdio_descriptor(memory), -1);  // no descriptor behind it
  fclose(memory);
  EXPECT_EQ(stdio_descriptor(nullptr), -1);
}

// getc and __uflow: a refill once per buffer, the end-of-file read once, then nothing
// (end of file is sticky) until clearerr.
TEST(StdioBuffer, SingleBytesRefillOncePerBufferAndStopAtEndOfFile) {
  Stream s(std::string(40, 'g'), "r", _IOFBF, 16);
  FILE* fp = s.get();
  int refills = 0;
  for (int i = 0; i < 40; ++i) {
    const Outcome o = before_call([&] { return next_byte_transfer(fp); }, [&] { ASSERT_EQ(getc(fp), 'g'); });
    EXPECT_OUTCOME(o, o.read, false);
    refills += o.read;
  }
  EXPECT_EQ(refills, 3);
  EXPECT_OUTCOME(before_call([&] { return next_byte_transfer(fp); }, [&] { ASSERT_EQ(__uflow(fp), EOF); }), true,
                 false);
  EXPECT_OUTCOME(before_call([&] { return next_byte_transfer(fp); }, [&] { ASSERT_EQ(fgetc(fp), EOF); }), false,
                 false);
  clearerr(fp);
  EXPECT_OUTCOME(before_call([&] { return next_byte_transfer(fp); }, [&] { ASSERT_EQ(getc(fp), EOF); }), true,
                 false);
}

TEST(StdioBuffer, LinesReadOnlyWhenTheBufferHoldsNoNewlineAndTooFewBytes) {
  Stream s("ab\ncd\n" + std::string(30, 'l') + "\nz", "r", _IOFBF, 16);
  FILE* fp = s.get();
  char line[64];
  auto fgets_n = [&](int n) {
    return before_call([&] { return line_transfer(fp, n); }, [&] { (void)fgets(line, n, fp); });
  };
  EXPECT_OUTCOME(fgets_n(sizeof(line)), true, false);   // fresh: fills the buffer
  EXPECT_OUTCOME(fgets_n(sizeof(line)), false, false);  // "cd\n" is buffered
  EXPECT_OUTCOME(fgets_n(1), false, false);             // room for the terminator only
  EXPECT_OUTCOME(fgets_n(5), false, false);             // 4 of the 10 buffered 'l's
  EXPECT_OUTCOME(fgets_n(sizeof(line)), true, false);   // 6 'l's, no newline: refills
  EXPECT_OUTCOME(fgets_n(sizeof(line)), true, false);   // "z", then end of file
  EXPECT_OUTCOME(fgets_n(sizeof(line)), false, false);  // sticky end of file
}

TEST(StdioBuffer, DelimitedReadsLookForTheirDelimiterInTheBuffer) {
  Stream s("one;two;" + std::string(20, 'x') + ";", "r", _IOFBF, 16);
  FILE* fp = s.get();
  char* text = nullptr;
  std::size_t size = 0;
  auto getdelim_semicolon = [&] {
    return before_call([&] { return delimited_transfer(fp, ';'); }, [&] { (void)getdelim(&text, &size, ';', fp); });
  };
  EXPECT_OUTCOME(getdelim_semicolon(), true, false);
  EXPECT_OUTCOME(getdelim_semicolon(), false, false);
  EXPECT_OUTCOME(getdelim_semicolon(), true, false);
  EXPECT_OUTCOME(before_call([&] { return delimited_transfer(fp, '\n'); }, [&] { (void)getline(&text, &size, fp); }),
                 true, false);
  std::free(text);
}

// fread refills for less than a buffer's worth and reads directly for more, also after
// end of file.
TEST(StdioBuffer, BlockReadsRefillOrReadDirectly) {
  Stream s(std::string(100, 'r'), "r", _IOFBF, 16);
  FILE* fp = s.get();
  char block[128];
  auto fread_n = [&](std::size_t n) {
    return before_call([&] { return block_read_transfer(fp, n); }, [&] { (void)fread(block, 1, n, fp); });
  };
  EXPECT_OUTCOME(fread_n(4), true, false);
  EXPECT_OUTCOME(fread_n(12), false, false);  // the rest of the buffer
  EXPECT_OUTCOME(fread_n(0), false, false);
  EXPECT_OUTCOME(fread_n(40), true, false);  // direct
  EXPECT_OUTCOME(fread_n(100), true, false);  // direct, to end of file
  EXPECT_OUTCOME(fread_n(4), false, false);   // sticky end of file through the buffer
  EXPECT_OUTCOME(fread_n(32), true, false);   // but a direct read still goes out
}

// One fread may make several reads: a direct one, refills, the one that meets end of
// file. Counted after the call as glibc makes them on a regular file.
TEST(StdioBuffer, BlockReadsCountEveryReadOfOneCall) {
  struct Case {
    std::size_t file, want;
    long reads;
  };
  for (const Case c : {Case{1000, 1001, 3}, Case{8, 4000, 2}, Case{1000, 300, 2}, Case{1000, 100, 1},
                       Case{0, 10, 1}, Case{256, 256, 1}, Case{256, 257, 2}}) {
    Stream s(std::string(c.file, 'f'), "r", _IOFBF, 128);
    FILE* fp = s.get();
    std::string block(c.want, '\0');
    const BufferMark mark = mark_buffer(fp);
    const Counters a = sample();
    const std::size_t got = fread(block.data(), 1, c.want, fp);
    const Counters b = sample();
    EXPECT_EQ(b.reads - a.reads - 1, c.reads) << c.file << " bytes, fread " << c.want;
    EXPECT_EQ(block_read_calls(mark, fp, c.want, got), static_cast<std::size_t>(c.reads))
        << c.file << " bytes, fread " << c.want;
  }
}

TEST(StdioBuffer, LineReadsCountEveryReadOfOneCall) {
  struct Case {
    const char* name;
    std::string file;
    int buffering;
    std::size_t size;
  };
  const std::string line(1000, 'l');
  for (const Case& c : {Case{"long lines", line + "\n" + line + "\n", _IOFBF, 128},
                        Case{"no final newline", "ab\ncd", _IOFBF, 128},
                        Case{"full buffers", std::string(255, 'x') + "\n", _IOFBF, 128},
                        Case{"unbuffered", "one\ntwo\n", _IONBF, 0}}) {
    Stream s(c.file, "r", c.buffering, c.size);
    FILE* fp = s.get();
    for (int call = 0; call < 4; ++call) {
      char text[4096];
      const BufferMark mark = mark_buffer(fp);
      const Transfer judged = line_transfer(fp, sizeof(text));
      const Counters a = sample();
      const char* got = fgets(text, sizeof(text), fp);
      const Counters b = sample();
      const long reads = b.reads - a.reads - 1;
      EXPECT_EQ(judged.read, reads > 0) << c.name << ", call " << call;
      if (judged.read) {
        EXPECT_EQ(line_read_calls(mark, fp, got != nullptr ? std::strlen(got) : 0), static_cast<std::size_t>(reads))
            << c.name << ", call " << call;
      }
    }
  }
}

TEST(StdioBuffer, ByteWritesFlushAFullBufferALineOrEveryByteUnbuffered) {
  {
    Stream s("", "w", _IOFBF, 16);
    FILE* fp = s.get();
    int flushes = 0;
    for (int i = 0; i < 40; ++i) {
      const Outcome o = before_call([&] { return put_byte_transfer(fp, 'p'); }, [&] { ASSERT_EQ(putc('p', fp), 'p'); });
      EXPECT_OUTCOME(o, false, o.write);
      flushes += o.write;
    }
    EXPECT_EQ(flushes, 2);
    EXPECT_OUTCOME(before_call([&] { return overflow_transfer(fp, EOF); }, [&] { (void)__overflow(fp, EOF); }),
                   false, true);
    EXPECT_OUTCOME(before_call([&] { return overflow_transfer(fp, EOF); }, [&] { (void)__overflow(fp, EOF); }),
                   false, false);
    EXPECT_EQ(s.contents(), std::string(40, 'p'));
  }
  {
    Stream s("", "w", _IOLBF, 16);
    FILE* fp = s.get();
    EXPECT_OUTCOME(before_call([&] { return put_byte_transfer(fp, 'a'); }, [&] { fputc('a', fp); }), false, false);
    EXPECT_OUTCOME(before_call([&] { return overflow_transfer(fp, 'b'); }, [&] { __overflow(fp, 'b'); }), false,
                   false);
    EXPECT_OUTCOME(before_call([&] { return put_byte_transfer(fp, '\n'); }, [&] { fputc('\n', fp); }), false, true);
  }
  {
    Stream s("", "w", _IONBF);
    FILE* fp = s.get();
    EXPECT_OUTCOME(before_call([&] { return put_byte_transfer(fp, 'u'); }, [&] { fputc('u', fp); }), false, true);
  }
}

TEST(StdioBuffer, BlockWritesFlushWhatDoesNotFit) {
  const std::string small = "0123456789", big(5000, 'B');
  {
    Stream s("", "w");  // the C library's own buffer, allocated at first use
    FILE* fp = s.get();
    auto fwrite_s = [&](const std::string& data) {
      return before_call([&] { return block_write_transfer(fp, data.data(), data.size()); },
                         [&] { ASSERT_EQ(fwrite(data.data(), 1, data.size(), fp), data.size()); });
    };
    EXPECT_OUTCOME(fwrite_s(small), false, false);
    EXPECT_OUTCOME(fwrite_s(big), false, true);
    EXPECT_OUTCOME(fwrite_s(""), false, false);
    EXPECT_OUTCOME(before_call([&] { return pending_transfer(fp); }, [&] { fflush(fp); }), false, true);
    EXPECT_OUTCOME(before_call([&] { return pending_transfer(fp); }, [&] { fflush(fp); }), false, false);
    EXPECT_TRUE(s.contents() == small + big);
  }
  {
    Stream s("", "w");
    FILE* fp = s.get();
    EXPECT_OUTCOME(before_call([&] { return block_write_transfer(fp, big.data(), big.size()); },
                               [&] { fputs(big.c_str(), fp); }),
                   false, true);  // fresh stream, more than a block
  }
  {
    // Below 128 bytes glibc does not keep writes block-aligned: what does not fit in the
    // room left goes out whole, and a stream not yet in put mode has no room at all.
    Stream s("", "w", _IOFBF, 16);
    FILE* fp = s.get();
    auto fputs_s = [&](const std::string& data) {
      return before_call([&] { return block_write_transfer(fp, data.data(), data.size()); },
                         [&] { fputs(data.c_str(), fp); });
    };
    EXPECT_OUTCOME(fputs_s(small), false, true);
    EXPECT_OUTCOME(fputs_s(small), false, false);
    EXPECT_OUTCOME(fputs_s(small), false, true);
  }
  {
    Stream s("", "w", _IOLBF, 128);
    FILE* fp = s.get();
    auto fputs_s = [&](const std::string& data) {
      return before_call([&] { return block_write_transfer(fp, data.data(), data.size()); },
                         [&] { fputs(data.c_str(), fp); });
    };
    EXPECT_OUTCOME(fputs_s("no newline"), false, false);
    EXPECT_OUTCOME(fputs_s("ends\nhere"), false, true);
    EXPECT_OUTCOME(fputs_s("more"), false, false);
    EXPECT_OUTCOME(fputs_s(lines(4, 40)), false, true);  // does not fit
  }
}

// A read on a stream that holds output flushes it first.
TEST(StdioBuffer, ReadingAfterWritingFlushesThenReads) {
  Stream s("0123456789", "r+", _IOFBF, 128);
  FILE* fp = s.get();
  ASSERT_EQ(fseek(fp, 0, SEEK_SET), 0);
  ASSERT_EQ(fputs("AB", fp), 1);
  ASSERT_EQ(fseek(fp, 0, SEEK_CUR), 0);
  ASSERT_EQ(fputs("CD", fp), 1);
  EXPECT_OUTCOME(before_call([&] { return next_byte_transfer(fp); }, [&] { EXPECT_EQ(getc(fp), '4'); }), true, true);
}

TEST(StdioBuffer, FormattedOutputIsJudgedFromTheBufferAfterTheCall) {
  auto fprintf_line = [](FILE* fp, int width) {
    return after_call(
        fp, [&] { fprintf(fp, "%*d\n", width, 7); },
        [&](const BufferMark& m) { return formatted_output_transfer(m, fp, width + 1); });
  };
  {
    Stream s("", "w", _IOFBF, 128);
    EXPECT_OUTCOME(fprintf_line(s.get(), 50), false, false);
    EXPECT_OUTCOME(fprintf_line(s.get(), 50), false, false);
    EXPECT_OUTCOME(fprintf_line(s.get(), 30), false, true);
    EXPECT_OUTCOME(fprintf_line(s.get(), 500), false, true);
    EXPECT_OUTCOME(after_call(
                       s.get(), [&] { fprintf(s.get(), "%s", ""); },
                       [&](const BufferMark& m) { return formatted_output_transfer(m, s.get(), 0); }),
                   false, false);
  }
  {
    Stream s("", "w", _IOLBF, 128);
    EXPECT_OUTCOME(fprintf_line(s.get(), 5), false, true);
  }
  {
    Stream s("", "w", _IONBF);
    EXPECT_OUTCOME(fprintf_line(s.get(), 5), false, true);
  }
}

TEST(StdioBuffer, FormattedInputIsJudgedFromTheBufferAfterTheCall) {
  Stream s("1 2 3 4 5 6 7 8 9 10 11 12\n", "r", _IOFBF, 16);
  FILE* fp = s.get();
  int value = 0;
  auto scan = [&] {
    return after_call(fp, [&] { (void)fscanf(fp, "%d", &value); },
                      [&](const BufferMark& m) { return formatted_input_transfer(m, fp); });
  };
  int refills = 0;
  for (int i = 1; i <= 12; ++i) {
    const Outcome o = scan();
    EXPECT_EQ(value, i);
    EXPECT_OUTCOME(o, o.read, false);
    refills += o.read;
  }
  EXPECT_EQ(refills, 2);
  EXPECT_OUTCOME(scan(), true, false);   // end of file
  EXPECT_OUTCOME(scan(), false, false);  // sticky
}

}  // namespace
}  // namespace velmora_io
