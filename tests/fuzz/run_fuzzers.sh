#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ and runs each for a bounded time.
#
#   run_fuzzers.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR defaults to build-fuzz at the top of the checkout, SECONDS to 20 per target.
# Prints each target's executions and executions per second. Exits non-zero when a
# target fails to build or a fuzzer reports a crash (its input is kept in
# BUILD_DIR/artifacts/). Exits 0 with a message when clang++ or its fuzzer runtime is
# not installed, so callers can run it unconditionally.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build-fuzz}
seconds=${2:-20}
cxx=${CLANG_CXX:-clang++}

if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "run_fuzzers.sh: SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

if ! command -v "$cxx" > /dev/null 2>&1; then
  echo "run_fuzzers.sh: SKIPPED: $cxx not found; the fuzz targets need clang's libFuzzer."
  exit 0
fi

runtime=""
runtime_dir=$("$cxx" -print-runtime-dir 2> /dev/null || true)
if [[ -n $runtime_dir && -f $runtime_dir/libclang_rt.fuzzer-x86_64.a ]]; then
  runtime=$runtime_dir/libclang_rt.fuzzer-x86_64.a
else
  for candidate in /usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a; do
    [[ -f $candidate ]] && runtime=$candidate && break
  done
fi
if [[ -z $runtime ]]; then
  echo "run_fuzzers.sh: SKIPPED: libFuzzer runtime (libclang_rt.fuzzer-x86_64.a) not installed for $cxx."
  exit 0
fi

# Each target with the sources it exercises, compiled in directly: the main build may
# use another compiler, and the sanitizers must see inside these files too.
declare -A sources=(
  [sql_extract]="src/codec/sql_extract.cc src/codec/utf8.cc"
  [sockaddr_name]="src/codec/sockaddr_name.cc"
  [event_line]="src/codec/event_line.cc tools/model/event_parse.cc"
  [pipe_fd_env]="src/codec/pipe_fd_env.cc"
)
targets=(sql_extract sockaddr_name event_line pipe_fd_env)

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -U_FORTIFY_SOURCE -Wall -Wextra -Werror -I "$top/src/codec" -I "$top/tools/model")

mkdir -p "$build/artifacts" || exit 1
status=0
declare -A summary

for t in "${targets[@]}"; do
  bin=$build/fuzz_$t
  srcs=()
  for s in ${sources[$t]}; do srcs+=("$top/$s"); done
  echo "== building fuzz_$t"
  if ! "$cxx" "${flags[@]}" "$here/fuzz_$t.cc" "${srcs[@]}" -o "$bin"; then
    echo "run_fuzzers.sh: fuzz_$t failed to build" >&2
    summary[$t]="BUILD FAILED"
    status=1
    continue
  fi

  # New inputs go to a scratch corpus in the build dir; the checked-in seeds are only read.
  work=$build/corpus/$t
  mkdir -p "$work"
  log=$build/fuzz_$t.log
  echo "== running fuzz_$t for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t-" "$work" "$here/corpus/$t" > "$log" 2>&1
  rc=$?

  units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if ((rc != 0)); then
    echo "run_fuzzers.sh: fuzz_$t FAILED (exit $rc); log $log; last lines:" >&2
    tail -n 40 "$log" >&2
    summary[$t]="FAILED (exit $rc) after ${units:-?} executions"
    status=1
  else
    summary[$t]="ok: ${units:-?} executions, ${rate:-?} exec/s"
  fi
done

echo "== fuzz summary (${seconds}s per target)"
for t in "${targets[@]}"; do
  printf '  fuzz_%-14s %s\n' "$t" "${summary[$t]}"
done
exit $status
