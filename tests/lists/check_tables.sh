#!/usr/bin/env bash
# One table per format: every row of the type-code table (src/hooklist/type_codes.h) names
# a formatter that value_formatters.cpp defines, and the generator's rules and callback
# wiring agree with the tracer's tables, and the README names the same codes. Prints
# "ok"/"not ok" lines.
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
# The README's paragraph on type codes names exactly the table's codes.
table_codes=$(sed -n "s/^ *ROW('\(.\)'.*/\1/p" "$table" | sort | tr -d '\n')
readme_codes=$(sed -n '/one type code per 32-bit argument:/,/^$/p' "$root/README.md" |
  grep -o '`.`' | tr -d '`' | sort -u | tr -d '\n')
if [ -n "$table_codes" ] && [ "$table_codes" = "$readme_codes" ]; then
  echo "ok type codes: the README names the table's codes ($table_codes)"
else
  echo "not ok type codes: the table has '$table_codes', the README names '$readme_codes'"
fi
/usr/bin/python3 "$root/tools/lstgen/lstgen.py" --check-tables
