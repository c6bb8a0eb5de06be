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
# Whole lines, for the parsing direction: one the library writes, one it never does.
seed event_line line 'write\tfile:/tmp/a\\tb\\\\c\t-3\t100\t101'
seed event_line line_leading_zero 'read\tfile:/tmp/a\t03\t100\t101'

seed pipe_fd_env plain '5'
seed pipe_fd_env signed '-2147483648'
seed pipe_fd_env max '+2147483647'
seed pipe_fd_env too_big '2147483648'
seed pipe_fd_env zeros '0005'
seed pipe_fd_env blank ' 3'
