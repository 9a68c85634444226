#!/usr/bin/env bash
# A faulty flare row fails the build with one message naming the row and
# its problem in words, and nothing else.
#   faulty_rows_test.sh BUILD_DIR
set -uo pipefail
if out=$(cmake --build "$1" --target broken_row 2>&1); then
  echo "the faulty rows compiled"
  exit 1
fi
expect() {  # expect ID WORDS: the build names the row and its problem
  grep -qF "faulty flare row wisp.test.broken.$1: $2" <<<"$out" ||
    { echo "no message for wisp.test.broken.$1: $2"; bad=1; }
}
bad=0
expect marker "the flare does not start with the marker @&!*@*@( and an event id closed by ')'"
expect kind "the event id is not of the row's kind"
expect read "a conversion the read cannot supply or the message cannot show"
expect length "the order does not give one argument index per conversion of the message"
expect range "an order index beyond the arguments the read reads"
expect type "a string shown as a number or a number shown as a string"
expect many "more arguments than a row holds (FLARE_ROW_MAX_ARGS)"
# Each faulty row is one error: no trail of template errors after it.
errors=$(grep -c 'error: ' <<<"$out")
named=$(grep -c 'error: .*faulty flare row' <<<"$out")
[ "$errors" -eq 7 ] && [ "$named" -eq 7 ] ||
  { echo "$errors errors, $named of them naming a faulty row; 7 and 7 expected"; bad=1; }
[ "$bad" -eq 0 ] || { echo "$out"; exit 1; }
echo "each faulty row fails the build once, named with its problem"
