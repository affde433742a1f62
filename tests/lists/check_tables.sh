#!/usr/bin/env bash
# One table per format: every row of the type-code table (src/hooklist/type_codes.h) names
# a formatter that value_formatters.cpp defines, and the generator's rules and callback
# wiring agree with the tracer's tables. Prints "ok"/"not ok" lines.
root=$(cd "$(dirname "$0")/../.." && pwd)
table=$root/src/hooklist/type_codes.h
formatters=$root/src/tracelog/value_formatters.cpp
missing=()
while read -r code formatter; do
  grep -q "^bool $formatter(LineBuilder& line, const ArgWord\* words)" "$formatters" ||
    missing+=("$code:$formatter")
done < <(sed -n "s/^ *ROW('\(.\)', [0-9]*, \([A-Za-z0-9]*\),.*/\1 \2/p" "$table")
rows=$(grep -c "^ *ROW('" "$table")
if [ "$rows" -gt 0 ] && [ ${#missing[@]} -eq 0 ]; then
  echo "ok type codes: each of the $rows rows has its formatter"
else
  echo "not ok type codes without a formatter: ${missing[*]:-no rows read}"
fi
/usr/bin/python3 "$root/tools/lstgen/lstgen.py" --check-tables
