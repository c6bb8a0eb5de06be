#!/usr/bin/env bash
# Regenerates the small seed corpora in corpus/<target>/. Each seed is a tiny binary
# file written with printf, so the set stays reviewable.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus

seed() {  # seed <target> <name> <printf-format>
  mkdir -p "$out/$1"
  printf -- "$3" > "$out/$1/$2"
}

rm -rf "$out"

# Query and Parse messages, a few near misses, and a non-SQL message first.
seed sql_extract query 'Q\x00\x00\x00\x0dSELECT 1\x00'
seed sql_extract query_then_sync 'Q\x00\x00\x00\x0dSELECT 1\x00S\x00\x00\x00\x04'
seed sql_extract query_empty 'Q\x00\x00\x00\x05\x00'
seed sql_extract query_short 'Q\x00\x00\x00\x0dSELECT 1'
seed sql_extract query_utf8 'Q\x00\x00\x00\x0bcaf\xc3\xa9 \x00'
seed sql_extract parse 'P\x00\x00\x00\x15\x00SELECT $1\x00\x00\x01\x00\x00\x00\x17'
seed sql_extract parse_named 'P\x00\x00\x00\x12s1\x00SELECT 1\x00\x00\x00'
seed sql_extract bind_then_query 'B\x00\x00\x00\x04Q\x00\x00\x00\x0dSELECT 1\x00'

# Unix (path, abstract, unnamed), IPv4 and IPv6 addresses; family bytes little-endian.
seed sockaddr_name unix_path '\x01\x00/tmp/app.sock\x00'
seed sockaddr_name unix_abstract '\x01\x00\x00db'
seed sockaddr_name unix_unnamed '\x01\x00'
seed sockaddr_name inet '\x02\x00\x15\x38\x7f\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00'
seed sockaddr_name inet6 '\x0a\x00\x15\x38\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00'
seed sockaddr_name netlink '\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'

# 17 bytes of kind selector and numbers, then the detail.
seed event_line plain '\x00\x03\x00\x00\x00\xd2\x04\x00\x00\xd3\x04\x00\x00\x00\x00\x00\x00file:/tmp/a'
seed event_line escapes '\x01\xff\xff\xff\xff\x01\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00a\tb\\c\n'
seed event_line extremes '\x04\x00\x00\x00\x80\x00\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00\x80SELECT 1'
seed event_line empty_detail '\x02\x05\x00\x00\x00\x06\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00'
# Whole lines, for the parsing direction, named by what every parser of them must do
# (the codec's unit tests and the Python package's read them too): line_* are lines the
# library writes and are accepted, refused_* are lines it never writes.
seed event_line line 'write\tfile:/tmp/a\\tb\\\\c\t-3\t100\t101'
seed event_line line_limits 'read\td\t-2147483648\t2147483647\t-9223372036854775808'
seed event_line line_empty_detail 'sql_write\t\t0\t-1\t9223372036854775807'
seed event_line line_raw_bytes 'close\tfile:/\r\x01\xff\t3\t1\t1'
seed event_line line_wide_kind 'connect_failed\tsocket:127.0.0.1:9\t7\t1\t1'
seed event_line refused_leading_zero 'read\tfile:/tmp/a\t03\t100\t101'
seed event_line refused_minus_zero 'read\tx\t-0\t1\t1'
seed event_line refused_plus 'read\tx\t3\t+1\t1'
seed event_line refused_fd_too_big 'read\tx\t2147483648\t1\t1'
seed event_line refused_pid_too_small 'read\tx\t3\t-2147483649\t1'
seed event_line refused_tid_too_big 'read\tx\t3\t1\t9223372036854775808'
seed event_line refused_unknown_escape 'read\tfile:/a\\r\t3\t1\t1'
seed event_line refused_trailing_backslash 'read\tfile:/a\\\t3\t1\t1'
seed event_line refused_raw_tab 'read\tfile:/a\tb\t3\t1\t1'
seed event_line refused_carriage_return 'read\tx\t3\t1\t1\r'
seed event_line refused_kind 'READ\tx\t3\t1\t1'

seed pipe_fd_env plain '5'
seed pipe_fd_env signed '-2147483648'
seed pipe_fd_env max '+2147483647'
seed pipe_fd_env too_big '2147483648'
seed pipe_fd_env zeros '0005'
seed pipe_fd_env blank ' 3'
