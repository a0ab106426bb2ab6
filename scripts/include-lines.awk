# The include directives of C and C++ sources, as the preprocessor sees them:
# backslash-newlines spliced, comments (also those spanning lines) taken for a
# blank, string and raw-string literals skipped, so an include inside a
# comment or a string does not count and one written as "# /**/ include",
# "%:include" or split over lines does. Header-unit imports (import <x>;)
# count as includes.
#
# One line per directive: FILE <tab> LINE <tab> KIND <tab> NAME, KIND being
# < or " for the two forms and ? for anything else (a macro, a module name),
# NAME then holding the rest of the directive.

function report(    rest, word, kind, name) {
  rest = logical
  if (rest ~ /^[ \t]*(#|%:)/) {
    sub(/^[ \t]*(#|%:)[ \t]*/, "", rest)
  } else if (rest ~ /^[ \t]*(export[ \t]+)?import[ \t]*[<"]/) {
    sub(/^[ \t]*(export[ \t]+)?/, "", rest)
  } else {
    return
  }
  word = rest
  sub(/[^A-Za-z0-9_].*$/, "", word)
  if (word != "include" && word != "include_next" && word != "import") return
  rest = substr(rest, length(word) + 1)
  sub(/^[ \t]+/, "", rest)
  if (rest ~ /^<[^>]*>/) {
    kind = "<"
    name = substr(rest, 2)
    sub(/>.*$/, "", name)
  } else if (rest ~ /^"[^"]*"/) {
    kind = "\""
    name = substr(rest, 2)
    sub(/".*$/, "", name)
  } else {
    kind = "?"
    name = rest
    if (word == "import" && name !~ /^[<"]/) return  # a named module, not a header
  }
  printf "%s\t%d\t%s\t%s\n", file, start, kind, name
}

function flush() {
  if (logical != "") report()
  logical = ""
  start = 0
}

# Where the string or character literal opened by the quote at i ends (its
# closing quote, or past the line's end), backslash escapes skipped.
function literalEnd(s, i, n, quote,    j, c) {
  j = i + 1
  while (j <= n) {
    c = substr(s, j, 1)
    if (c == "\\") { j += 2; continue }
    if (c == quote) break
    j++
  }
  return j
}

# The text of one spliced line with comments as blanks and raw strings as "";
# `mode` carries a block comment or a raw string over to the next line.
function lex(s,    out, i, n, c, j, k, prefix, delim) {
  out = ""
  n = length(s)
  i = 1
  while (i <= n) {
    if (mode == "block") {
      j = index(substr(s, i), "*/")
      if (j == 0) return out
      i += j + 1
      mode = "code"
      continue
    }
    if (mode == "raw") {
      j = index(substr(s, i), rawEnd)
      if (j == 0) return out
      i += j - 1 + length(rawEnd)
      mode = "code"
      continue
    }
    c = substr(s, i, 1)
    if (c == "/" && substr(s, i + 1, 1) == "*") {
      out = out " "
      mode = "block"
      i += 2
      continue
    }
    if (c == "/" && substr(s, i + 1, 1) == "/") return out
    if (c == "\"") {
      # The identifier just before: R, u8R, uR, UR or LR make a raw string.
      k = i
      while (k > 1 && substr(s, k - 1, 1) ~ /[A-Za-z0-9_]/) k--
      prefix = substr(s, k, i - k)
      if (prefix ~ /^(u8|u|U|L)?R$/) {
        j = index(substr(s, i + 1), "(")
        if (j > 0) {
          delim = substr(s, i + 1, j - 1)
          rawEnd = ")" delim "\""
          out = out "\"\""
          mode = "raw"
          i += j + 1
          continue
        }
      }
      j = literalEnd(s, i, n, c)
      out = out substr(s, i, j - i + 1)
      i = j + 1
      continue
    }
    if (c == "'") {
      # A digit separator (1'000) when the token before is a number.
      k = i
      while (k > 1 && substr(s, k - 1, 1) ~ /[A-Za-z0-9_.]/) k--
      if (k < i && substr(s, k, 1) ~ /[0-9]/) {
        out = out c
        i++
        continue
      }
      j = literalEnd(s, i, n, c)
      out = out substr(s, i, j - i + 1)
      i = j + 1
      continue
    }
    out = out c
    i++
  }
  return out
}

FNR == 1 {
  flush()
  file = FILENAME
  mode = "code"
  spliced = ""
  splicedStart = 0
}

{
  line = $0
  sub(/\r$/, "", line)
  if (splicedStart == 0) splicedStart = FNR
  if (line ~ /\\$/) {
    spliced = spliced substr(line, 1, length(line) - 1)
    next
  }
  line = spliced line
  spliced = ""
  if (start == 0) start = splicedStart
  splicedStart = 0
  # Most lines can neither open a comment nor a raw string: no need to lex them.
  if (mode == "code" && index(line, "/*") == 0 && index(line, "R\"") == 0) {
    logical = logical line
  } else {
    logical = logical lex(line)
  }
  if (mode == "code") flush()
}

END {
  if (spliced != "") logical = logical spliced
  flush()
}
