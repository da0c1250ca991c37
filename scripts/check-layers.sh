#!/usr/bin/env bash
# Checks that every project include goes downward through the layers: a
# source file may include its own folder's headers, the folders its row of
# the layer table in README.md ("Source layout") names, and nothing else.
# Test code (*_test.cc, *_test_util.h, *_test_util.cc) may in addition
# include testing/. The README's table is the only list of the layers: this
# script reads it and names no other folder itself.
#
#   scripts/check-layers.sh [DIR]   DIR: the source tree (default: the one
#                                   this script is in)
#
# Prints one line per violation, "path:line: <folder> may not include
# <folder> ("<include>")", and exits with 1 if there is any; exits with 2
# when the table cannot be read. A file in a folder the table lacks, or an
# include of one, is a violation too.
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"
readme=README.md
[ -f "$readme" ] || { echo "check-layers: no $readme in $(pwd)" >&2; exit 2; }

# The table, one line per folder: "<folder> <allowed folder>..." with
# "nothing" or "anything" for the empty and the unbounded list.
table=$(awk '
  function fail(msg) { print "check-layers: " FILENAME ":" FNR ": " msg > "/dev/stderr"; bad = 1; exit 2 }
  function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
  # The backticked words of s, space-separated, trailing "/" dropped; what
  # is left besides them must be commas, "and" and blanks.
  function names(s,   out, tok, rest) {
    out = ""; rest = ""
    while (match(s, /`[^`]*`/)) {
      tok = substr(s, RSTART + 1, RLENGTH - 2)
      sub(/\/+$/, "", tok)
      if (tok !~ /^[A-Za-z0-9_.-]+(\/[A-Za-z0-9_.-]+)*$/) fail("not a folder: `" tok "`")
      out = out (out == "" ? "" : " ") tok
      rest = rest substr(s, 1, RSTART - 1)
      s = substr(s, RSTART + RLENGTH)
    }
    rest = rest s
    gsub(/(^|[ ,\t])and([ ,\t]|$)/, " ", rest)
    gsub(/[ ,\t]/, "", rest)
    if (rest != "") fail("unexpected text \"" rest "\" beside the folder names")
    return out
  }
  { sub(/\r$/, "") }
  /^## / { insection = ($0 ~ /^## Source layout[ \t]*$/); if (intable) done = 1; intable = 0 }
  done || !insection { next }
  intable == 0 && /^\|[ \t]*folder[ \t]*\|[ \t]*may include[ \t]*\|[ \t]*$/ {
    if (seen) fail("a second layer table")
    seen = 1; intable = 1; next
  }
  intable == 1 {
    if ($0 !~ /^\|[ \t:-]+\|[ \t:-]+\|[ \t]*$/) fail("no separator line below the table head")
    intable = 2; next
  }
  intable == 2 && !/^\|/ { intable = 0; done = 1; next }
  intable == 2 {
    n = split($0, cell, "|")
    if (n != 4 || trim(cell[1]) != "" || trim(cell[4]) != "") fail("a row needs two cells")
    folders = names(cell[2])
    if (folders == "") fail("a row without a folder")
    deps = trim(cell[3])
    gsub(/\([^()]*\)/, "", deps)            # remarks in parentheses
    deps = trim(deps)
    if (deps == "nothing" || deps == "anything") allowed = deps
    else if ((allowed = names(deps)) == "") fail("no folders in \"" cell[3] "\"")
    nf = split(folders, f, " ")
    for (i = 1; i <= nf; i++) {
      if (f[i] in row) fail("folder " f[i] "/ in two rows")
      row[f[i]] = allowed; order[++count] = f[i]
    }
  }
  END {
    if (bad) exit 2
    if (!seen) { print "check-layers: no \"| folder | may include |\" table under \"## Source layout\" in " FILENAME > "/dev/stderr"; exit 2 }
    if (count == 0) { print "check-layers: the layer table in " FILENAME " has no rows" > "/dev/stderr"; exit 2 }
    for (i = 1; i <= count; i++) {
      if (row[order[i]] != "nothing" && row[order[i]] != "anything") {
        nd = split(row[order[i]], d, " ")
        for (j = 1; j <= nd; j++)
          if (!(d[j] in row)) {
            print "check-layers: " FILENAME ": " order[i] "/ may include " d[j] ", which has no row" > "/dev/stderr"
            exit 2
          }
      }
      print order[i], row[order[i]]
    }
  }' "$readme")

# The sources: what git tracks or would track, else everything on disk;
# never the build trees or the demo's sandbox.
list_sources() {
  if command -v git >/dev/null &&
     [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
    git ls-files -co --exclude-standard
  else
    find . \( -path ./build -o -path './build*' -o -path ./sandbox -o -path ./.git \) -prune \
      -o -type f -print | sed 's|^\./||'
  fi | grep -E '\.(h|cc|c)$' | grep -Ev '^(build[^/]*|sandbox)/' | sort -u |
    while IFS= read -r f; do [ -f "$f" ] && printf '%s\n' "$f"; done
}
sources=$(list_sources)
[ -n "$sources" ] || { echo "check-layers: no source files in $(pwd)" >&2; exit 2; }

printf '%s\n' "$sources" | awk -v table="$table" '
  BEGIN {
    nrows = split(table, line, "\n")
    for (i = 1; i <= nrows; i++) {
      n = split(line[i], w, " ")
      folder[i] = w[1]; allow[w[1]] = ""
      for (j = 2; j <= n; j++) allow[w[1]] = allow[w[1]] " " w[j] " "
    }
  }
  # The table folder a path lies in (the longest row that is a prefix of
  # it: support/xml/ before support/), or "" for none.
  function folder_of(p,   i, best) {
    best = ""
    for (i = 1; i <= nrows; i++)
      if (index(p, folder[i] "/") == 1 && length(folder[i]) > length(best)) best = folder[i]
    return best
  }
  function dir_of(p) { return p ~ /\// ? substr(p, 1, match(p, /\/[^\/]*$/) - 1) : "the top folder" }
  function may(from, to, is_test) {
    if (to == from || allow[from] == " anything ") return 1
    if (is_test && to == "testing") return 1
    return index(allow[from], " " to " ") > 0
  }
  {
    path = $0; files++
    from = folder_of(path)
    if (from == "") {
      print path ": " dir_of(path) " is not a folder in the layer table"
      violations++
      next
    }
    base = path; sub(/.*\//, "", base)
    is_test = (base ~ /_test\.cc$/ || base ~ /_test_util\.(h|cc)$/)
    lineno = 0
    while ((getline text < path) > 0) {
      lineno++
      if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
      inc = text
      sub(/^[ \t]*#[ \t]*include[ \t]*"/, "", inc)
      sub(/".*/, "", inc)
      includes++
      to = folder_of(inc)
      if (to == "") {
        printf "%s:%d: %s may not include %s (\"%s\"), which is not a folder in the layer table\n", path, lineno, from, dir_of(inc), inc
        violations++
      } else if (!may(from, to, is_test)) {
        printf "%s:%d: %s may not include %s (\"%s\")\n", path, lineno, from, to, inc
        violations++
      }
    }
    close(path)
  }
  END {
    if (violations) {
      printf "layers: %d violation%s in %d files, %d includes\n", violations, violations == 1 ? "" : "s", files, includes
      exit 1
    }
    printf "layers: %d files, %d includes, all downward\n", files, includes
  }'
