#!/bin/sh
# Times `brindle remove` and `brindle install` on generated machines of 10^4,
# 10^5 and 10^6 keys (the median of RUNS runs, each on a fresh copy), beside
# the floor: reading the same registry file and writing it back atomically
# with standard tools (cat, sync, mv). "remove, other order" is remove on the
# same registry with its keys in reverse order, every subkey before its
# parent: a file not in the form the program writes. "remove, hive" is
# remove on the same machine as a Windows 9x drive, its registry the
# SYSTEM.DAT the generator writes, changed in place; its floor reads and
# rewrites that file. Prints one Markdown table.
#   tools/bench/e2e.sh [RUNS]        (default 5; SIZES="10000 100000" to choose)
set -eu
cd "$(dirname "$0")/../.."
runs=${1:-5}
sizes=${SIZES:-"10000 100000 1000000"}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target brindle brindle-genmachine brindle-measure >/dev/null
bin=$PWD/build-bench
drivers=$PWD/examples/drivers
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# measure MACHINE COMMAND...: "seconds kib" of one run on a fresh copy.
measure() {
  pristine=$1
  shift
  rm -rf "$work/run"
  cp -a "$pristine" "$work/run"
  sync
  (cd "$drivers" && BRINDLE_MACHINE="$work/run" "$bin/brindle-measure" "$@" 2>/dev/null |
    tail -n 1)
}

# floor FILE: reading FILE (below the machine) and writing it back atomically.
floor() {
  file=$work/run/$1
  "$bin/brindle-measure" sh -c "cat '$file' > '$file.tmp' && sync '$file.tmp' && mv '$file.tmp' '$file'"
}

echo "| keys | file MB | mode | program s | floor s | ratio | peak MB | peak / file |"
echo "|---:|---:|---|---:|---:|---:|---:|---:|"
for keys in $sizes; do
  "$bin/brindle-genmachine" --keys "$keys" --match 10 "$work/pristine-$keys"
  "$bin/brindle-genmachine" --keys "$keys" --match 10 --hive "$work/hive-$keys"
  cp -a "$work/pristine-$keys" "$work/reversed-$keys"
  # The generator writes CR LF: a key and its values are the lines between
  # two blank ones.
  awk 'BEGIN { RS = "\r\n\r\n"; ORS = "" } NR == 1 { head = $0; next }
       $0 != "" { block[++n] = $0 }
       END { print head "\r\n"; for (i = n; i >= 1; --i) print "\r\n" block[i] "\r\n"; print "\r\n" }' \
    "$work/pristine-$keys/registry.reg" >"$work/reversed-$keys/registry.reg"
  for mode in remove install "remove, other order" "remove, hive"; do
    pristine=$work/pristine-$keys
    command=$mode
    file=registry.reg
    if [ "$mode" = "remove, other order" ]; then
      pristine=$work/reversed-$keys
      command=remove
    elif [ "$mode" = "remove, hive" ]; then
      pristine=$work/hive-$keys
      command=remove
      file=windows/SYSTEM.DAT
    fi
    bytes=$(stat -c %s "$pristine/$file")
    : >"$work/times"
    : >"$work/floors"
    : >"$work/peaks"
    for _ in $(seq "$runs"); do
      set -- $(measure "$pristine" "$bin/brindle" "$command")
      echo "$1" >>"$work/times"
      echo "$2" >>"$work/peaks"
      rm -rf "$work/run"
      cp -a "$pristine" "$work/run"
      sync
      floor "$file" | cut -d' ' -f1 >>"$work/floors"
    done
    time=$(median <"$work/times")
    floor_time=$(median <"$work/floors")
    peak=$(median <"$work/peaks")
    awk -v k="$keys" -v b="$bytes" -v m="$mode" -v t="$time" -v f="$floor_time" -v p="$peak" \
      'BEGIN { printf "| %d | %.1f | %s | %.3f | %.3f | %.2f | %.1f | %.2f |\n",
               k, b / 1048576, m, t, f, t / f, p / 1024, p * 1024 / b }'
  done
  rm -rf "$work/pristine-$keys" "$work/reversed-$keys" "$work/hive-$keys"
done
