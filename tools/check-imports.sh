#!/bin/sh
# Checks that a Windows program would load on Windows 95 as it shipped: every
# DLL and function in its import table is on the list of calls Windows 95
# has, and the program fits the size a driver disk allows. Wine cannot show
# this: it exports every call in every version mode.
#   tools/check-imports.sh OBJDUMP PROGRAM [LIST] [LIMIT]
set -eu
objdump=$1
program=$2
list=${3:-"$(dirname "$0")/../platform/win32/windows95-imports.txt"}
limit=${4:-65536}

"$objdump" -p "$program" | awk -v list="$list" -v limit="$limit" \
    -v size="$(wc -c <"$program")" -v name="$(basename "$program")" '
  BEGIN {
    while ((getline line < list) > 0) {
      if (line ~ /^#/ || line ~ /^[ \t]*$/) continue
      split(line, field, /[ \t]+/)
      allowed[toupper(field[1]) " " field[2]] = 1
      dlls[toupper(field[1])] = 1
    }
  }
  /^\tDLL Name: / { dll = toupper($3); seen[dll] = 0; order[++dllCount] = dll
                    if (!(dll in dlls)) { print "not on the list: DLL " $3; bad = 1 }
                    next }
  # The lines under a DLL: hint-name address, ordinal hint, function name.
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ {
    function_name = $3
    seen[dll]++; count++
    if (!((dll " " function_name) in allowed)) {
      print "not on the list: " dll " " function_name; bad = 1
    }
    next
  }
  /^$/ { dll = "" }
  END {
    if (count == 0) { print "no imports found in " name; bad = 1 }
    if (size > limit) { print name " is " size " bytes, over " limit; bad = 1 }
    from = ""
    for (i = 1; i <= dllCount; ++i) from = from (i > 1 ? ", " : "") order[i] " (" seen[order[i]] ")"
    if (bad) exit 1
    print "import check: " count " imports, all on the Windows 95 list, from " from "; " name " is " size " bytes (at most " limit ")"
  }'
