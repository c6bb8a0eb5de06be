// velmora-trace: run a program with libvelmora_io preloaded and show what it
// reports.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "library_locator.h"
#include "messages.h"
#include "options.h"
#include "trace_session.h"
#include "unique_fd.h"

int main(int argc, char** argv) {
  using namespace velmora::trace;

  Options options;
  const ParseOutcome parsed = parse_options(argc, argv, options);
  if (parsed.status == ParseOutcome::help) {
    const std::string text = usage_text();
    const ssize_t ignored = ::write(STDOUT_FILENO, text.data(), text.size());
    (void)ignored;
    return 0;
  }
  if (parsed.status == ParseOutcome::error) {
    say(parsed.message + " (see --help)");
    return 2;
  }

  const LocatedLibrary lib = locate_library(options.lib, options.narrow);
  if (lib.path.empty()) {
    say(lib.error);
    return 2;
  }
  LoadCheck loadable(lib.path);

  // Every output is opened before the program starts, so that a path that cannot
  // be written is refused before any work is done; nothing is emptied until all opened.
  UniqueFd output;
  UniqueFd html;
  for (const auto& [path, fd] : {std::pair{&options.output, &output}, std::pair{&options.html, &html}}) {
    if (path->empty()) continue;
    fd->reset(::open(path->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd->valid()) {
      say(*path + ": cannot write: " + std::strerror(errno));
      return 2;
    }
  }
  // Not a regular file (a terminal, a pipe): nothing to empty.
  if (output.valid()) (void)::ftruncate(output.get(), 0);

  const SessionResult result =
      run_session(options, lib.path, loadable, output.valid() ? output.get() : STDERR_FILENO, std::move(html));
  if (output.reset() != 0) say(options.output + ": " + std::strerror(errno));
  return result.exit_code;
}
