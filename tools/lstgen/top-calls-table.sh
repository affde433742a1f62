#!/usr/bin/env bash
# Writes the table of the 100 functions Wine's programs call most, with the constant sets
# each takes or why it takes none, from tools/lstgen/top-calls.txt and
# tools/lstgen/top-calls-review.txt, to standard output (docs/top-calls.md holds it;
# tests/lists/check_top_calls.sh checks that it is current).
# Usage: top-calls-table.sh >docs/top-calls.md
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
echo "# The 100 most called functions and their constant sets"
echo
echo "Written by \`tools/lstgen/top-calls-table.sh\` from \`tools/lstgen/top-calls.txt\` (counted by"
echo "\`tools/lstgen/survey-top-calls.sh\`: each program below run once in the test guest under"
echo "\`qelrun --auto\`, calls per function counted with \`qelvorn-report\`) and the review"
echo "\`tools/lstgen/top-calls-review.txt\`; \`tests/lists/check_top_calls.sh\` checks every set"
echo "named here against \`lists/decode.txt\` and \`lists/x64/decode.txt\`."
echo
sed -n 's/^# Programs: /Programs: /p' "$here/top-calls.txt" | sed 's/; /`, `/g; s/^Programs: \(.*\)$/Programs: `\1`./'
echo
echo "| # | Function | DLL | Calls | Constant sets (parameter=set) |"
echo "|---|---|---|---|---|"
awk 'FILENAME ~ /review/ {
       if ($0 ~ /^#/ || $0 == "") next
       name = $1
       sub(/^[^ ]+ /, "")
       sets = $0; note = ""
       at = index($0, "-:")
       if (at > 0) { sets = substr($0, 1, at - 1); note = substr($0, at + 3) }
       gsub(/ +$/, "", sets)
       gsub(/ /, ", ", sets)
       text = sets != "" ? "`" sets "`" : ""
       gsub(/, /, "`, `", text)
       if (note != "") text = text (text != "" ? "; " : "") note
       gsub(/\|/, "\\|", text)
       row[name] = text
       next
     }
     $0 !~ /^#/ && $0 != "" { printf "| %d | `%s` | %s | %s | %s |\n", ++n, $1, $2, $3, row[$1] }' \
  "$here/top-calls-review.txt" "$here/top-calls.txt"
