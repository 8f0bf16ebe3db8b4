#!/bin/sh
# The manual page lints clean with groff and mandoc, and has no space before punctuation: any
# message fails.
set -eu
page=$1

# Neither linter sees a space before punctuation. .B, .I, .SB and .SM join their arguments with
# spaces, so `.B WORD ,` renders "WORD ," where `.BR WORD ,` puts the comma beside the word; and
# a text line that begins with punctuation is joined to the line before it with a space. An
# ellipsis after a word is meant.
spaced_punctuation() {
  awk '
    function report() { printf "%s:%d: space before punctuation: %s\n", FILENAME, FNR, $0 }
    /^\.(B|I|SB|SM)[ \t]/ {
      for (i = 2; i <= NF; i++) {
        word = $i
        sub(/^\\&/, "", word)
        if (word ~ /^[.,;:!?)]+$/ && word != "...") { report(); break }
      }
      next
    }
    /^[,;:!?)]/ || /^\\&[.,;:!?)]/ { report() }
  ' "$1"
}

# Each check runs whatever the one before it found.
out=$({
  groff -man -ww -z "$page" || true
  mandoc -T lint "$page" || true
  spaced_punctuation "$page" || true
} 2>&1)
if [ -n "$out" ]; then
  printf '%s\n' "$out"
  exit 1
fi
echo "clean: $page"
