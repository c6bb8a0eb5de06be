#!/usr/bin/env bash
# A preloaded library's public face: exactly the functions the entry-point list gives
# it (narrow: the sixteen symbols; wide: those and the WIDE lines) plus the two setters,
# the C library as its only dependency, no start-up or teardown code of its own, and
# each wrapper defined in the folder of the family its entry names.
# Usage: check_library_face.sh LIBRARY narrow|wide ENTRY_POINTS_H OBJECT_DIR
set -euo pipefail
# grep reads its whole input (no -q) wherever a pipe feeds it: with pipefail, a writer
# cut short by an early exit would turn a match into a failure of the pipeline.
lib=$1
kind=$2
list=$3
objects=$4
fail=0

case $kind in
  narrow) libraries='NARROW' ;;
  wide) libraries='NARROW|WIDE|WIDE_VARIADIC|WIDE_DIRECT' ;;
  *) echo "unknown library kind $kind"; exit 2 ;;
esac
want=$( (sed -n -E "s/^X\(($libraries), [a-z_]+, ([A-Za-z0-9_]+),.*/\2/p" "$list"
         echo velmora_io_set_pipe_fd; echo velmora_io_set_pipe_read_fd) | sort -u | tr '\n' ' ' | sed 's/ $//')
# The narrow library's face is a contract: it must stay the sixteen whatever the list grows to.
if [ "$kind" = narrow ] && [ "$want" != "close connect dup2 dup3 read readv recv recvfrom recvmsg send sendmsg sendto velmora_io_set_pipe_fd velmora_io_set_pipe_read_fd write writev" ]; then
  echo "the list gives the narrow library [$want], not the sixteen"; fail=1
fi
have=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u | tr '\n' ' ' | sed 's/ $//')
if [ "$have" != "$want" ]; then
  echo "exports [$have], expected [$want]"; fail=1
fi

# A newcomer finds a wrapper from its entry in one step: its family is its folder.
defined=$(for dir in "$objects"/wrappers/*/; do
  nm --defined-only "$dir"*.o | awk -v family="$(basename "$dir")" '{print family, $3}'
done | sort -u)
misplaced=$(sed -n -E "s/^X\(($libraries), ([a-z_]+), ([A-Za-z0-9_]+),.*/\2 \3/p" "$list" | sort -u |
  comm -23 - <(echo "$defined"))
if [ -n "$misplaced" ]; then
  echo "entries not defined in their family's folder (family name): $misplaced"; fail=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | grep -v -E '^(libc\.so\.6|ld-linux-x86-64\.so\.2)$' || true)
if [ -n "$needed" ]; then
  echo "needs more than the C library: $needed"; fail=1
fi

# Dynamic initialisers or atexit registrations would be start-up/teardown code, and a
# statically linked C++ runtime would bring its own.
if nm "$lib" | grep -E '_GLOBAL__sub_I|_GLOBAL__sub_D' > /dev/null; then
  echo "has global constructors or destructors:"; nm "$lib" | grep -E '_GLOBAL__sub_[ID]'; fail=1
fi
if nm -D --undefined-only "$lib" | grep -E '__cxa_atexit|__cxa_thread_atexit|__tls_get_addr' > /dev/null; then
  echo "imports atexit/TLS-allocation hooks:"; nm -D --undefined-only "$lib" | grep -E '__cxa_atexit|__cxa_thread_atexit|__tls_get_addr'; fail=1
fi
# The observed path must stay safe in a signal handler that interrupted the program's
# allocator or stdio, and the sink's settings must come from a trusted environment in a
# set-user-ID process: no heap, no stdio, no plain getenv anywhere in the library.
unsafe=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' |
  grep -x -E 'malloc|calloc|realloc|free|getenv|f?printf|sprintf|snprintf|fwrite|fputs|fputc|fopen|fclose' || true)
if [ -n "$unsafe" ]; then
  echo "imports functions unsafe on the observed path: $unsafe"; fail=1
fi
# Every system call the library makes for itself goes through its seam: what it takes
# from the C library is memory and string work, the vDSO's clock, the table's lock and
# the loader's data, never a function that enters the kernel on its behalf.
side_doors=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' | grep -v -x -E \
  '_ITM_.*|__gmon_start__|__cxa_finalize|__errno_location|__register_atfork|_r_debug|getauxval|gnu_get_libc_version|(__)?environ|secure_getenv|std(in|out|err)|mem(chr|cmp|cpy|move)|str(chr|rchr|cmp|ncmp|len|nlen)|clock_gettime|pthread_(mutex_(init|lock|trylock|unlock)|once)|dirfd|fileno|__f(bufsize|lbf|pending|writing)' || true)
if [ -n "$side_doors" ]; then
  echo "imports C-library calls that go around the seam: $side_doors"; fail=1
fi
# Thread-local flags use the initial-exec model: static TLS offsets, no __tls_get_addr.
if ! readelf -r "$lib" | grep TPOFF > /dev/null; then
  echo "no initial-exec TLS relocations found"; fail=1
fi
if readelf -d "$lib" | grep -E 'SYMBOLIC' > /dev/null; then
  echo "linked with -Bsymbolic: internal calls would bypass interposition"; fail=1
fi
[ $fail -eq 0 ] && echo "library public face: ok"
exit $fail
