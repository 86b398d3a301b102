#!/usr/bin/env bash
# End-to-end speed of `loquant analyze`, measured side by side with a peer
# pitch tracker on the same files in one run: quiet, with the two cores
# busy, two analyses at once, the cost of the audio conditioning, and peak
# memory.
#
#   bench/analyze_speed.sh [BUILD_DIR] [RUNS] [RATE]
#
# Makes (once, in $TMPDIR/loquant-bench) one-hour and ten-minute RATE Hz
# (default 44100) 16-bit speech recordings from the bundled conversation,
# each channel alone and both. Prints the median wall and CPU time of each
# command over RUNS runs (default 3), the ratios the speed goals are stated
# in, the peak resident memory, and whether repeated runs gave
# byte-identical output. bench/analyze_profile.sh shows where the time goes.
# The peer is `aubiopitch -p yinfast -B 2048 -H 1024` (Debian aubio-tools,
# installed when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-3}
rate=${3:-44100}
loquant=$build/cli/loquant
work=${TMPDIR:-/tmp}/loquant-bench
# Recordings at another rate than 44.1 kHz (where the conditioning upsamples
# for the components below it) live in a folder of their own.
[ "$rate" = 44100 ] || work=$work-$rate
mkdir -p "$work"

command -v aubiopitch >/dev/null || apt-get install -y -qq aubio-tools >/dev/null
command -v sox >/dev/null || apt-get install -y -qq sox >/dev/null
[ -x /usr/bin/time ] || apt-get install -y -qq time >/dev/null
[ -x "$loquant" ] || { echo "no $loquant: build first (scripts/setup)" >&2; exit 1; }

if [ ! -f "$work/hour-mono.wav" ]; then
  sox "$root/examples/conversation.wav" -r "$rate" "$work/conv44.wav"
  sox "$work/conv44.wav" "$work/left.wav" remix 1
  sox "$work/left.wav" "$work/hour-mono.wav" repeat 208 trim 0 3600
  sox "$work/conv44.wav" "$work/hour-stereo.wav" repeat 208 trim 0 3600
  sox "$work/hour-mono.wav" "$work/ten-mono.wav" trim 0 600
fi
# The other channel alone: two channels are compared with each of their
# channels analysed alone, since the two speakers' speech differs.
if [ ! -f "$work/hour-right.wav" ]; then
  sox "$work/conv44.wav" "$work/right.wav" remix 2
  sox "$work/right.wav" "$work/hour-right.wav" repeat 208 trim 0 3600
fi

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# once VAR COMMAND...: runs the command once and appends "wall cpu peak_kB"
# (cpu = user + system) to the array named VAR.
once() {
  local -n into=$1; shift
  /usr/bin/time -o "$work/time" -f '%e %U %S %M' "$@" > /dev/null 2>/dev/null
  read -r w u s m < "$work/time"
  into+=("$w $(echo "$u + $s" | bc -l) $m")
}

# report LABEL VAR: prints and sets the medians of wall time ($wall), CPU
# time ($cpu) and peak resident memory ($peak, kB) of the runs in VAR.
report() {
  local -n runs_of=$2
  wall=$(printf '%s\n' "${runs_of[@]}" | cut -d' ' -f1 | median)
  cpu=$(printf '%s\n' "${runs_of[@]}" | cut -d' ' -f2 | median)
  peak=$(printf '%s\n' "${runs_of[@]}" | cut -d' ' -f3 | median)
  printf '%-46s wall %7.3f s  cpu %7.3f s  peak %6.1f MB\n' "$1" "$wall" "$cpu" \
    "$(echo "$peak / 1024" | bc -l)"
}

# measure LABEL COMMAND...: runs the command $runs times and reports it.
measure() {
  local label=$1; shift
  local results=()
  for _ in $(seq "$runs"); do once results "$@"; done
  report "$label" results
}
ratio() { printf '  %-60s %6.2f\n' "$1" "$(echo "$2 / $3" | bc -l)"; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
measure "examples/conversation.wav" "$loquant" analyze "$root/examples/conversation.wav"
measure "aubiopitch yinfast, 1 h mono" aubiopitch -p yinfast -B 2048 -H 1024 -i "$work/hour-mono.wav"
aubio=$wall
# The runs whose times are compared with each other alternate, so that a
# drift of the machine's speed during the script falls on both alike.
pitch_runs=() mono_runs=() raw_runs=() right_runs=() stereo_runs=()
for _ in $(seq "$runs"); do
  once pitch_runs "$loquant" pitch "$work/hour-mono.wav"
  once mono_runs "$loquant" analyze "$work/hour-mono.wav"
  once raw_runs "$loquant" analyze --conditioning off "$work/hour-mono.wav"
  once right_runs "$loquant" analyze "$work/hour-right.wav"
  once stereo_runs "$loquant" analyze "$work/hour-stereo.wav"
done
report "loquant pitch, 1 h mono" pitch_runs
pitch_cpu=$cpu
report "loquant analyze, 1 h mono" mono_runs
mono=$wall; mono_cpu=$cpu
report "loquant analyze --conditioning off, 1 h mono" raw_runs
raw=$wall
report "loquant analyze, 1 h mono, the other channel" right_runs
right=$wall
report "loquant analyze, 1 h two channels" stereo_runs
stereo=$wall
measure "loquant analyze, 10 min mono" "$loquant" analyze "$work/ten-mono.wav"
ten=$wall
measure "aubiopitch yinfast, 10 min mono" aubiopitch -p yinfast -B 2048 -H 1024 \
  -i "$work/ten-mono.wav"
ten_aubio=$wall

# together LABEL COMMAND...: runs two copies of the command at once, $runs
# times; prints and sets ($pair) the median of the slower copy's wall time.
together() {
  local label=$1; shift
  local slower=()
  for _ in $(seq "$runs"); do
    /usr/bin/time -o "$work/time1" -f '%e' "$@" >/dev/null 2>&1 &
    /usr/bin/time -o "$work/time2" -f '%e' "$@" >/dev/null 2>&1 &
    wait
    slower+=("$(cat "$work/time1" "$work/time2" | sort -g | tail -1)")
  done
  pair=$(printf '%s\n' "${slower[@]}" | median)
  printf '%-46s wall %7.3f s (the slower of the two)\n' "$label" "$pair"
}
# Two analyses at once, of the hour (a run of seconds, so start-up and the
# scheduler's noise do not decide the ratio), and the peer's alike.
together "two analyses at once, 1 h mono each" "$loquant" analyze "$work/hour-mono.wav"
pair_mono=$pair
together "two aubiopitch at once, 1 h mono each" aubiopitch -p yinfast -B 2048 -H 1024 \
  -i "$work/hour-mono.wav"
pair_aubio=$pair

# Both cores busy with CPU-bound work at the same priority.
yes > /dev/null & y1=$!
yes > /dev/null & y2=$!
trap 'kill $y1 $y2 2>/dev/null || true' EXIT
measure "busy cores: loquant analyze, 10 min mono" "$loquant" analyze "$work/ten-mono.wav"
busy=$wall
measure "busy cores: aubiopitch yinfast, 10 min mono" aubiopitch -p yinfast -B 2048 -H 1024 \
  -i "$work/ten-mono.wav"
busy_aubio=$wall
kill $y1 $y2 2>/dev/null || true
trap - EXIT

echo "ratios (goal in brackets):"
ratio "analyze 1 h mono / aubiopitch (<= 0.25)" "$mono" "$aubio"
ratio "analyze CPU / wall, 1 h mono (<= 1.1)" "$mono_cpu" "$mono"
ratio "analyze CPU / loquant pitch CPU, 1 h mono (<= 1.5)" "$mono_cpu" "$pitch_cpu"
ratio "analyze two channels / each channel alone, 1 h (<= 2)" "$stereo" \
  "$(echo "($mono + $right) / 2" | bc -l)"
ratio "conditioning on / off, 1 h mono (<= 1.25)" "$mono" "$raw"
ratio "busy cores / quiet, analyze 10 min (<= 3)" "$busy" "$ten"
ratio "busy cores / quiet, aubiopitch 10 min" "$busy_aubio" "$ten_aubio"
ratio "two at once / alone, analyze 1 h (<= 1.25)" "$pair_mono" "$mono"
ratio "two at once / alone, aubiopitch 1 h" "$pair_aubio" "$aubio"

"$loquant" analyze "$work/hour-stereo.wav" > "$work/a.jsonl"
"$loquant" analyze "$work/hour-stereo.wav" > "$work/b.jsonl"
if cmp -s "$work/a.jsonl" "$work/b.jsonl"; then
  echo "repeated runs: byte-identical ($(wc -l < "$work/a.jsonl") lines)"
else
  echo "repeated runs: DIFFERENT"; exit 1
fi
