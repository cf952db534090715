#!/bin/sh
# Checks that a 32-bit Windows program runs on every CPU Windows 95 runs on:
# every instruction of its code, whatever library brought it in, is in the
# 80386 integer set listed in LIST. The one exception is UD2, the deliberate
# trap, which raises the same invalid-opcode fault on every CPU. Names each
# instruction outside the set with its address.
#   tools/check-instructions.sh OBJDUMP PROGRAM [LIST]
set -eu
objdump=$1
program=$2
list=${3:-"$(dirname "$0")/../platform/win32/i386-instructions.txt"}
name=$(basename "$program")

# The code sections: every section the header marks as code, as the loader
# maps it executable. The linker ends .text with the lists of static
# constructors and destructors, which must be empty (-1, then 0, each):
# nothing would run them, and they are data, not code.
sections=$("$objdump" -h "$program" | awk '
  $1 ~ /^[0-9]+$/ { section = $2; size = $3; address = $4; next }
  section != "" && /CODE/ { print section, size, address }
  { section = "" }')
[ -n "$sections" ] || { echo "$name has no code section" >&2; exit 1; }
echo "$sections" | grep -q '^\.text ' || { echo "$name has no .text section" >&2; exit 1; }

disassembly() {
  echo "$sections" | while read -r section size address; do
    start=$((0x$address))
    end=$((0x$address + 0x$size))
    if [ "$section" = .text ]; then
      end=$((end - 16))
      lists=$("$objdump" -s -j .text --start-address="$end" "$program" |
        awk '/^ [0-9a-f]+ / { print $2 $3 $4 $5 }' | tr -d '\n')
      if [ "$lists" != ffffffff00000000ffffffff00000000 ]; then
        echo "$name: its code does not end with empty constructor and destructor lists ($lists)" >&2
        echo "0:	00	(bad)"
      fi
    fi
    "$objdump" -d -z -M intel -j "$section" --start-address="$start" --stop-address="$end" "$program"
  done
}

disassembly |
  awk -F'\t' -v list="$list" -v name="$name" -v sections="$(echo "$sections" | cut -d' ' -f1 | tr '\n' ' ')" '
  BEGIN {
    while ((getline line < list) > 0) {
      if (line ~ /^#/ || line ~ /^[ \t]*$/) continue
      allowed[line] = 1
      size++
    }
    split("rep repz repe repnz repne lock data16 addr16 cs ds es fs gs ss", p, " ")
    for (i in p) prefix[p[i]] = 1
  }
  # An instruction line: address, bytes, then the instruction; a line with
  # no third field holds the rest of a long instruction'"'"'s bytes.
  NF >= 3 && $1 ~ /^ *[0-9a-f]+:$/ {
    count++
    address = $1; sub(/^ */, "", address); sub(/:$/, "", address)
    bytes = $2; sub(/ +$/, "", bytes)
    n = split($3, word, / +/)
    mnemonic = ""
    for (i = 1; i <= n; ++i) if (!(word[i] in prefix)) { mnemonic = word[i]; break }
    why = ""
    if (mnemonic == "ud2") traps++
    else if (mnemonic == "(bad)" || mnemonic == "") why = "not an instruction"
    else if (!(mnemonic in allowed)) why = "not in the 80386 integer set"
    else if (mnemonic == "nop" && bytes != "90") why = "a long NOP (Pentium Pro and later)"
    if (why != "") { text = $3; gsub(/ +/, " ", text); print "0x" address ": " text ": " why; bad++ }
  }
  END {
    sub(/ $/, "", sections)
    if (count == 0) { print "no instructions found in " name; exit 1 }
    if (bad) { print bad " of " count " instructions of " name " are not on every 80386"; exit 1 }
    print "instruction check: " count " instructions of " name " (code sections: " sections "), each in the 80386 integer set (" size " instructions listed) or the UD2 trap (" traps + 0 ")"
  }'
