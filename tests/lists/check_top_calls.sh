#!/usr/bin/env bash
# Every function of tools/lstgen/top-calls.txt (the 100 that Wine's programs call most, from
# tools/lstgen/survey-top-calls.sh) has a reviewed row in tools/lstgen/top-calls-review.txt,
# and each parameter (or result) that the row says takes a constant set has that set in
# lists/decode.txt and lists/x64/decode.txt; and docs/top-calls.md is the table these make.
# Prints "ok"/"not ok".
root=$(cd "$(dirname "$0")/../.." && pwd)
top=$root/tools/lstgen/top-calls.txt
review=$root/tools/lstgen/top-calls-review.txt
problems=$(
  awk -F'\t' -v review="$review" -v top="$top" '
    # The review: "FUNCTION PARAMETER=SET..." or "FUNCTION -: why none".
    FILENAME == review {
      if ($0 ~ /^#/ || $0 == "") next
      n = split($0, f, " ")
      reviewed[f[1]] = 1
      for (i = 2; i <= n; i++) {
        if (f[i] == "-:") break
        if (split(f[i], pair, "=") != 2) { print "bad review field " f[i] " of " f[1]; continue }
        wanted[f[1] SUBSEP pair[1]] = pair[2]
        uses[f[1]] = uses[f[1]] " " pair[1]
      }
      next
    }
    FILENAME == top {
      if ($0 ~ /^#/ || $0 == "") next
      split($0, f, " ")
      listed[f[1]] = 1
      order[++count] = f[1]
      next
    }
    # decode.txt: fn DLLS FUNCTION RESULT-TYPE RESULT-SET, NAME TYPE CODES SET per parameter.
    $1 == "fn" {
      file = FILENAME
      got[file SUBSEP $3 SUBSEP "return"] = $5
      for (i = 6; i + 3 <= NF; i += 4) got[file SUBSEP $3 SUBSEP $i] = $(i + 3)
      files[file] = 1
    }
    END {
      for (k = 1; k <= count; k++) {
        fn = order[k]
        if (!(fn in reviewed)) { print fn ": no row in top-calls-review.txt"; continue }
        n = split(uses[fn], params, " ")
        for (i = 1; i <= n; i++) {
          for (file in files) {
            have = got[file SUBSEP fn SUBSEP params[i]]
            if (have != wanted[fn SUBSEP params[i]])
              print fn " " params[i] ": " file " has set \"" have "\", the review says " wanted[fn SUBSEP params[i]]
          }
        }
      }
      if (count != 100) print "top-calls.txt lists " count " functions, not 100"
    }' "$review" "$top" "$root/lists/decode.txt" "$root/lists/x64/decode.txt"
)
# The table in docs/ is the one these files make.
if ! "$root/tools/lstgen/top-calls-table.sh" | cmp -s - "$root/docs/top-calls.md"; then
  problems+=$'\n'"docs/top-calls.md is not what tools/lstgen/top-calls-table.sh writes; run it again"
  problems=${problems#$'\n'}
fi
if [ -z "$problems" ]; then
  echo "ok top calls: the 100 most called functions have the constant sets their review names" \
    "($(grep -c '=' "$review") functions with sets)"
else
  echo "not ok top calls:"
  echo "$problems"
  exit 1
fi
