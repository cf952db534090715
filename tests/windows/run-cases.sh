#!/bin/sh
# Runs the Windows program through cases under Wine and writes down what it
# left, for the Wine test to compare with the simulated build. The same
# script runs on a host with Wine, or inside a libguestfs appliance whose
# root holds 32-bit Wine (the defaults below are that root's).
#   run-cases.sh CASES RESULTS
# CASES holds a directory a case:
#   mode        "default" (Wine's own) or "win98" (Wine reporting Windows 98)
#   import.reg  the registry to import first, if any
#   lay         what to make on drive C: first, a line each: "away DIR"
#               (moved aside), "d DIR", or "f FILE CONTENT"; paths below C:\
#   sources/    the driver directory the program runs in
#   steps/NN    the arguments of run NN, one a line
#   paths       the paths below C:\ whose state to note
# RESULTS gets a directory a case: out.NN and status.NN of each run,
# system.reg (HKEY_LOCAL_MACHINE as Wine saved it after the runs), and
# drive/, where each path of `paths` that exists on drive C: is made again:
# a directory, or a copy of the file (found in any letter case, as on
# Windows). Cases run WORKERS at a time, each worker in prefixes of its own.
# Environment: EXE (the program), WINE, WINESERVER, WINEARCH, WORKERS.
set -u
cases=$1
results=$2
: "${EXE:=/work/brindle.exe}"
: "${WINE:=/usr/lib/wine/wine}"
: "${WINESERVER:=/usr/lib/wine/wineserver}"
: "${WINEARCH:=win32}"
: "${WORKERS:=2}"
export WINEARCH WINEDEBUG=-all HOME="${HOME:-/tmp}"
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "${TMPDIR:-/tmp}/brindle-wine.XXXXXX")
mkdir -p "$results"

# Where a prefix differs from case to case: its registry, and the
# directories of drive C: a case lays or the program changes.
changed="system.reg user.reg userdef.reg drive_c/windows/inf
  drive_c/windows/system drive_c/windows/system32/drivers"

# Puts prefix $2 back as prefix $1 is. A new one links to $1's files (most
# of it is 500 MB of DLLs, which nothing writes); what changes is copied,
# as Wine writes some files in place, through every link.
reset_prefix() {
  [ -d "$2" ] || cp -al "$1" "$2"
  for part in $changed; do
    rm -rf "${2:?}/$part" "$2/$part.away"
    cp -a "$1/$part" "$2/$part"
  done
}

# The host path of $2 (a path below C:\) on drive $1: a name missing in
# that spelling is looked for in any letter case.
find_path() {
  found=$1
  saved=$IFS
  IFS='\'
  set -f
  set -- $2
  set +f
  IFS=$saved
  for name; do
    if [ ! -e "$found/$name" ]; then
      match=$(find "$found" -mindepth 1 -maxdepth 1 -iname "$name" 2>/dev/null | head -n 1)
      [ -n "$match" ] && name=${match##*/}
    fi
    found=$found/$name
  done
  printf '%s' "$found"
}

# Runs case $1 in prefix $2, writing down what it left in $3.
run_case() {
  dir=$1
  out=$3
  export WINEPREFIX=$2
  drive=$WINEPREFIX/drive_c
  mkdir -p "$out/drive"
  "$WINESERVER" -p  # one server for the whole case
  if [ -f "$dir/import.reg" ]; then
    (cd "$dir" && "$WINE" regedit /S import.reg)
  fi
  while read -r kind path content; do
    host=$(find_path "$drive" "$path")
    case $kind in
      away) [ -e "$host" ] && mv "$host" "$host.away" ;;
      d) mkdir -p "$host" ;;
      f) mkdir -p "${host%/*}" && rm -f "$host" && printf '%s\n' "$content" >"$host" ;;
    esac
  done <"$dir/lay"
  for step in "$dir"/steps/*; do
    [ -f "$step" ] || continue
    n=${step##*/}
    set --
    while IFS= read -r argument; do set -- "$@" "$argument"; done <"$step"
    (cd "$dir/sources" && "$WINE" "$EXE" "$@" >"$out/out.$n")
    echo $? >"$out/status.$n"
  done
  "$WINESERVER" -k  # saves the registry
  "$WINESERVER" -w
  cp "$WINEPREFIX/system.reg" "$out/system.reg"
  while IFS= read -r path; do
    host=$(find_path "$drive" "$path")
    copy=$out/drive/$(printf '%s' "$path" | tr '\\' '/')
    if [ -d "$host" ]; then
      mkdir -p "$copy"
    elif [ -f "$host" ]; then
      mkdir -p "${copy%/*}" && cp "$host" "$copy"
    fi
  done <"$dir/paths"
}

# Worker $1 of WORKERS takes every WORKERS-th case.
worker() {
  i=0
  for case_dir in "$cases"/*/; do
    case_dir=${case_dir%/}
    if [ $((i % WORKERS)) -eq "$1" ]; then
      mode=$(cat "$case_dir/mode")
      echo "case ${case_dir##*/}"
      reset_prefix "$work/$mode" "$work/$mode.$1"
      run_case "$case_dir" "$work/$mode.$1" "$results/${case_dir##*/}"
    fi
    i=$((i + 1))
  done
}

{
  # A prefix for each mode, made once; each worker's are made from them.
  echo "making the prefixes"
  WINEPREFIX=$work/default "$WINE" wineboot -i
  WINEPREFIX=$work/default "$WINESERVER" -w
  reset_prefix "$work/default" "$work/win98"
  WINEPREFIX=$work/win98 "$WINE" reg add 'HKEY_CURRENT_USER\Software\Wine' \
    /v Version /t REG_SZ /d win98 /f
  WINEPREFIX=$work/win98 "$WINESERVER" -w
} >"$results/log" 2>&1
w=0
while [ "$w" -lt "$WORKERS" ]; do
  worker "$w" >"$results/log.$w" 2>&1 &
  w=$((w + 1))
done
wait
rm -rf "$work"
