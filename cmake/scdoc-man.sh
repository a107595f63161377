#!/bin/sh
# Builds a man page from its scdoc source: scdoc-man.sh SCDOC SOURCE PAGE
# Two touches on scdoc's output: hyphenation off after .TH (which turns it back on), and every
# hyphen in bold text (the option names) a minus sign, so that "--verdict-timeout" is never
# broken across lines and can be searched for and copied as typed.
set -eu
"$1" < "$2" |
  perl -pe 's{\\fB(.*?)\\fR}{"\\fB" . ($1 =~ s/(?<!\\)-/\\-/gr) . "\\fR"}ge' |
  sed '/^\.TH /a .nh' > "$3.tmp"
mv "$3.tmp" "$3"
