#!/usr/bin/env bash
# Turns one of the project's Markdown texts into plain text for the release:
# headings underlined, code blocks indented, tables aligned, no inline marks
# (backticks, bold, link targets). Line ends are left as LF.
# Usage: md2txt.sh FILE.md >FILE.txt
set -euo pipefail
exec awk '
function inline(s,   t) {
  gsub(/`/, "", s)
  gsub(/\*\*/, "", s)
  while (match(s, /\[[^]]*\]\([^)]*\)/)) {
    t = substr(s, RSTART + 1)
    t = substr(t, 1, index(t, "]") - 1)
    s = substr(s, 1, RSTART - 1) t substr(s, RSTART + RLENGTH)
  }
  return s
}
function rule(s, c,   r) { r = s; gsub(/./, c, r); return r }
function trim(s) { sub(/^ +/, "", s); sub(/ +$/, "", s); return s }
function pad(s, n) { while (length(s) < n) s = s " "; return s }
# Table rows are gathered, then printed with each column as wide as its
# widest cell; the Markdown separator row becomes a rule under the header.
function flush(   r, c, line, width) {
  if (rows == 0) return
  for (c = 1; c <= cols; c++) width[c] = 0
  for (r = 1; r <= rows; r++)
    for (c = 1; c <= cols; c++)
      if (length(cell[r, c]) > width[c]) width[c] = length(cell[r, c])
  for (r = 1; r <= rows; r++) {
    line = ""
    for (c = 1; c <= cols; c++) {
      if (r == 2) line = line (c > 1 ? "  " : "") rule(pad("", width[c]), "-")
      else line = line (c > 1 ? "  " : "") (c < cols ? pad(cell[r, c], width[c]) : cell[r, c])
    }
    sub(/ +$/, "", line)
    print line
  }
  rows = 0
  cols = 0
}
BEGIN { code = 0; rows = 0; cols = 0 }
/^```/ { flush(); code = !code; next }
code { print ($0 == "" ? "" : "    " $0); next }
/^\|/ {
  line = $0
  gsub(/\\\|/, "\001", line)
  sub(/^\| */, "", line)
  sub(/ *\|$/, "", line)
  n = split(line, part, /\|/)
  rows++
  for (c = 1; c <= n; c++) {
    text = trim(part[c])
    gsub(/\001/, "|", text)
    cell[rows, c] = inline(text)
  }
  if (n > cols) cols = n
  next
}
{ flush() }
/^# / { t = inline(substr($0, 3)); print t; print rule(t, "="); next }
/^## / { t = inline(substr($0, 4)); print t; print rule(t, "-"); next }
/^### / { print inline(substr($0, 5)); next }
{ print inline($0) }
END { flush() }
' "$1"
