#!/usr/bin/env bash
# The output of each test the last ctest run in a tree failed, its last
# lines only, printed again where a CI log's tail shows it: ctest prints it
# as each test ends, hundreds of lines above the summary.
#   scripts/failed-output.sh BUILD_DIR
set -euo pipefail
temporary="$1/Testing/Temporary"
[ -f "$temporary/LastTestsFailed.log" ] && [ -f "$temporary/LastTest.log" ] || exit 0
lines_per_test=25
cut -d: -f2- "$temporary/LastTestsFailed.log" |
awk -v keep="$lines_per_test" '
    NR == FNR { failed[$0] = 1; next }
    /^[0-9]+\/[0-9]+ Testing: / { sub(/^[0-9]+\/[0-9]+ Testing: /, ""); name = $0; next }
    /^Output:$/ { inside = 1; n = 0; getline; next }   # the rule under "Output:"
    /^<end of output>$/ {
        if (inside && (name in failed)) {
            print "== output of failed test " name " (last " keep " lines)"
            for (i = (n > keep ? n - keep : 0); i < n; i++) print kept[i % keep]
        }
        inside = 0; next
    }
    inside { kept[n % keep] = $0; n++ }
' - "$temporary/LastTest.log"
