#!/usr/bin/env bash
# End-to-end speed of `loquant analyze` on hour-long recordings, measured
# side by side with a peer pitch tracker on the same file in one run.
#
#   bench/analyze_speed.sh [BUILD_DIR] [RUNS]
#
# Makes (once, in $TMPDIR/loquant-bench) a one-hour 44.1 kHz 16-bit mono
# speech recording from the bundled conversation, and a two-channel one.
# Prints the median wall time of each command over RUNS runs (default 3),
# the ratio to `aubiopitch -p yinfast -B 2048 -H 1024` (Debian package
# aubio-tools; installed when missing), the peak resident memory of analyze,
# and whether repeated runs gave byte-identical output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
loquant=$build/cli/loquant
work=${TMPDIR:-/tmp}/loquant-bench
mkdir -p "$work"

command -v aubiopitch >/dev/null || apt-get install -y -qq aubio-tools >/dev/null
command -v sox >/dev/null || apt-get install -y -qq sox >/dev/null
[ -x "$loquant" ] || { echo "no $loquant: build first (scripts/setup)" >&2; exit 1; }

if [ ! -f "$work/hour-mono.wav" ]; then
  sox "$root/examples/conversation.wav" -r 44100 "$work/conv44.wav"
  sox "$work/conv44.wav" "$work/left.wav" remix 1
  sox "$work/left.wav" "$work/hour-mono.wav" repeat 208 trim 0 3600
  sox "$work/conv44.wav" "$work/hour-stereo.wav" repeat 208 trim 0 3600
fi

# median_time LABEL COMMAND...: runs the command $runs times, prints and
# returns (in $median) the median wall time in seconds.
median_time() {
  local label=$1; shift
  local times=()
  for _ in $(seq "$runs"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" > /dev/null
    t1=$(date +%s%N)
    times+=("$(echo "($t1 - $t0) / 1000000000" | bc -l)")
  done
  median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  printf '%-44s median %7.3f s   (runs: %s)\n' "$label" "$median" "$(printf '%.3f ' "${times[@]}")"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
median_time "aubiopitch yinfast, 1 h mono" aubiopitch -p yinfast -B 2048 -H 1024 -i "$work/hour-mono.wav"
aubio=$median
median_time "loquant analyze, 1 h mono" "$loquant" analyze "$work/hour-mono.wav"
mono=$median
median_time "loquant analyze, 1 h two channels" "$loquant" analyze "$work/hour-stereo.wav"
printf 'ratio analyze mono / aubiopitch yinfast: %.2f\n' "$(echo "$mono / $aubio" | bc -l)"

peak=$( { /usr/bin/time -f '%M' "$loquant" analyze "$work/hour-mono.wav" > /dev/null; } 2>&1 | tail -1)
printf 'peak resident memory, 1 h mono: %.1f MB\n' "$(echo "$peak / 1024" | bc -l)"

"$loquant" analyze "$work/hour-stereo.wav" > "$work/a.jsonl"
"$loquant" analyze "$work/hour-stereo.wav" > "$work/b.jsonl"
if cmp -s "$work/a.jsonl" "$work/b.jsonl"; then
  echo "repeated runs: byte-identical ($(wc -l < "$work/a.jsonl") lines)"
else
  echo "repeated runs: DIFFERENT"; exit 1
fi
