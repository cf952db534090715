#!/bin/sh
# Times `brindle remove` and `brindle install` on generated machines of 10^4,
# 10^5 and 10^6 keys (the median of RUNS runs, each on a fresh copy), beside
# the floor of what any tool that rewrites the registry file safely must do:
# read the file, write it anew, fsync it, rename it over the old one
# (`cat F > F.tmp && sync F.tmp && mv F.tmp F`; `sync FILE` is an fsync of
# that file, no whole-system sync).
#   remove, remove reversed, remove interleaved: the same registry with its
#     keys in export order, in reverse order (every subkey before its
#     parent), and parents first with sibling subtrees interleaved (level by
#     level, as a merged or hand-assembled file has them);
#   remove, hive: the same machine as a Windows 9x drive, its SYSTEM.DAT
#     changed in place; its floor is what the safety of that change needs:
#     read the hive, write the new hive and the backup copy, fsync both,
#     rename the new one over the hive;
#   remove, devices (and interleaved): a registry of the same size from an
#     independent generator (tools/bench/device_registry.py), shaped as a
#     machine's device database: four fifths devices under Enum, the rest
#     driver instances under the classes, 2% the replicator's.
# Prints one Markdown table.
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

# floor FILE [hive]: the floor above for FILE below the machine.
floor() {
  file=$work/run/$1
  if [ "${2:-}" = hive ]; then
    "$bin/brindle-measure" sh -c "tee '$file.brb' < '$file' > '$file.brn' && sync '$file.brn' '$file.brb' && mv '$file.brn' '$file'"
  else
    "$bin/brindle-measure" sh -c "cat '$file' > '$file.tmp' && sync '$file.tmp' && mv '$file.tmp' '$file'"
  fi
}

# reorder ORDER IN OUT: the generator's registry (CR LF; a key and its
# values are the lines between two blank ones) with its keys reordered.
reorder() {
  awk -v order="$1" 'BEGIN { RS = "\r\n\r\n"; ORS = "" }
       NR == 1 { head = $0; next }
       $0 != "" { block[++n] = $0; path = $0; sub(/\].*/, "", path)
                  depth[n] = gsub(/\\/, "", path); if (depth[n] > deepest) deepest = depth[n] }
       END { print head "\r\n"
             if (order == "reversed") { for (i = n; i >= 1; --i) print "\r\n" block[i] "\r\n" }
             else { for (d = 0; d <= deepest; ++d) for (i = 1; i <= n; ++i)
                      if (depth[i] == d) print "\r\n" block[i] "\r\n" }
             print "\r\n" }' "$2" >"$3"
}

echo "| keys | file MB | mode | program s | floor s | ratio | peak MB | peak / file |"
echo "|---:|---:|---|---:|---:|---:|---:|---:|"
for keys in $sizes; do
  "$bin/brindle-genmachine" --keys "$keys" --match 10 "$work/pristine-$keys"
  "$bin/brindle-genmachine" --keys "$keys" --match 10 --hive "$work/hive-$keys"
  for order in reversed interleaved; do
    cp -a "$work/pristine-$keys" "$work/$order-$keys"
    reorder $order "$work/pristine-$keys/registry.reg" "$work/$order-$keys/registry.reg"
  done
  cp -a "$work/pristine-$keys" "$work/devices-$keys"
  python3 tools/bench/device_registry.py "$keys" >"$work/devices-$keys/registry.reg"
  cp -a "$work/devices-$keys" "$work/devices-interleaved-$keys"
  reorder interleaved "$work/devices-$keys/registry.reg" "$work/devices-interleaved-$keys/registry.reg"
  for mode in remove "remove reversed" "remove interleaved" install "remove, hive" \
      "remove, devices" "remove, devices interleaved"; do
    pristine=$work/pristine-$keys
    command=${mode%% *}
    file=registry.reg
    kind=
    case $mode in
      "remove reversed") pristine=$work/reversed-$keys ;;
      "remove interleaved") pristine=$work/interleaved-$keys ;;
      "remove, devices") pristine=$work/devices-$keys command=remove ;;
      "remove, devices interleaved") pristine=$work/devices-interleaved-$keys command=remove ;;
      "remove, hive")
        pristine=$work/hive-$keys
        command=remove
        file=windows/SYSTEM.DAT
        kind=hive
        ;;
    esac
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
      floor "$file" $kind | cut -d' ' -f1 >>"$work/floors"
    done
    time=$(median <"$work/times")
    floor_time=$(median <"$work/floors")
    peak=$(median <"$work/peaks")
    awk -v k="$keys" -v b="$bytes" -v m="$mode" -v t="$time" -v f="$floor_time" -v p="$peak" \
      'BEGIN { printf "| %d | %.1f | %s | %.3f | %.3f | %.2f | %.1f | %.2f |\n",
               k, b / 1048576, m, t, f, t / f, p / 1024, p * 1024 / b }'
  done
  rm -rf "$work/pristine-$keys" "$work/reversed-$keys" "$work/interleaved-$keys" "$work/hive-$keys" \
    "$work/devices-$keys" "$work/devices-interleaved-$keys"
done
