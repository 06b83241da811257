#!/usr/bin/env bash
# Checks manual pages (plain or gzipped, given as arguments): groff with every
# warning switched on and man-db's renderer must say nothing on standard error
# (groff -ww exits 0 even when it warns), and the page must render to text.
set -uo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 PAGE..." >&2
  exit 2
fi
failed=0
for page in "$@"; do
  if [ ! -r "$page" ]; then
    echo "$page: cannot be read" >&2
    failed=1
    continue
  fi
  source_text() { if [[ $page == *.gz ]]; then gzip -dc -- "$page"; else cat -- "$page"; fi; }
  warnings=$(source_text | groff -ww -z -man 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    printf '%s: groff -ww -z -man:\n%s\n' "$page" "$warnings" >&2
    failed=1
  fi
  warnings=$(MANWIDTH=80 man --warnings -l -- "$page" 2>&1 >/dev/null)
  lines=$(MANWIDTH=80 man -l -- "$page" 2>/dev/null | grep -c .)
  if [ -n "$warnings" ] || [ "$lines" -lt 10 ]; then
    printf '%s: man -l (%s lines):\n%s\n' "$page" "$lines" "$warnings" >&2
    failed=1
  fi
done
exit "$failed"
