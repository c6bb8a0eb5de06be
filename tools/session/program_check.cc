#include "program_check.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "unique_fd.h"

namespace velmora::trace {
namespace {

// PT_INTERP of a 64-bit program: its loader's path, "" when it has none, nothing when
// the headers cannot be read.
std::optional<std::string> interpreter_of(int fd, const Elf64_Ehdr& header) {
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) return std::nullopt;
  // All the program headers in one read: the loader's are among the first few.
  Elf64_Phdr headers[128];
  if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > std::size(headers)) return std::nullopt;
  const ssize_t size = static_cast<ssize_t>(header.e_phnum * sizeof(Elf64_Phdr));
  if (::pread(fd, headers, static_cast<std::size_t>(size), static_cast<off_t>(header.e_phoff)) != size) {
    return std::nullopt;
  }
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    const Elf64_Phdr& ph = headers[i];
    if (ph.p_type != PT_INTERP) continue;
    char interp[256] = {};
    const std::size_t len = ph.p_filesz < sizeof interp - 1 ? ph.p_filesz : sizeof interp - 1;
    if (::pread(fd, interp, len, static_cast<off_t>(ph.p_offset)) != static_cast<ssize_t>(len)) return std::nullopt;
    return std::string(interp);
  }
  return std::string();
}

std::string check_elf(int fd, const Elf64_Ehdr& header) {
  if (header.e_ident[EI_CLASS] != ELFCLASS64) return "is a 32-bit program, which a 64-bit library cannot enter";
  const std::optional<std::string> interp = interpreter_of(fd, header);
  if (!interp) return {};
  if (interp->empty()) return "is statically linked";
  if (::access(interp->c_str(), X_OK) != 0) return "needs the dynamic loader " + *interp + ", which is missing";
  return {};
}

// The ELF header of the file open at fd, when it is a 64-bit ELF file.
bool read_header64(int fd, Elf64_Ehdr& header) {
  return ::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
         std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64;
}

std::string reason_at(const std::string& path, int depth);

}  // namespace

std::string find_program(const std::string& command) {
  if (command.empty()) return {};
  if (command.find('/') != std::string::npos) return command;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = dirs.find(':');
    // An empty entry means the current directory.
    const std::string_view dir = colon == 0 || dirs.empty() ? std::string_view(".") : dirs.substr(0, colon);
    std::string candidate(dir);
    candidate += '/';
    candidate += command;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

std::string unobservable_reason(const std::string& path) { return reason_at(path, 0); }

std::string program_interpreter(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  Elf64_Ehdr header;
  if (!file.valid() || !read_header64(file.get(), header)) return {};
  return interpreter_of(file.get(), header).value_or(std::string());
}

namespace {

std::string reason_at(const std::string& path, int depth) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return {};
  char head[256] = {};
  const ssize_t n = ::pread(file.get(), head, sizeof head - 1, 0);
  if (n >= 2 && head[0] == '#' && head[1] == '!') {
    // "#!/bin/sh -e": the interpreter is the first word.
    const std::string line(head + 2, ::strcspn(head + 2, "\n"));
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return {};
    const std::string interpreter = line.substr(start, line.find_first_of(" \t", start) - start);
    // The kernel follows a few levels of interpreters; so do we, no more.
    if (depth >= 4) return {};
    const std::string why = reason_at(interpreter, depth + 1);
    if (why.empty()) return why;
    std::string text = "runs ";
    text += interpreter;
    text += ", which ";
    text += why;
    return text;
  }
  if (n < static_cast<ssize_t>(sizeof(Elf64_Ehdr)) || std::memcmp(head, ELFMAG, SELFMAG) != 0) return {};
  Elf64_Ehdr header;
  std::memcpy(&header, head, sizeof header);
  return check_elf(file.get(), header);
}

}  // namespace

}  // namespace velmora::trace
