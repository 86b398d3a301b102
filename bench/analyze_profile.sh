#!/usr/bin/env bash
# Where `loquant analyze` spends its processor time, next to `loquant pitch`
# (the tracker alone) on the same file, from a sampled call-graph profile.
#
#   bench/analyze_profile.sh [BUILD_DIR] [FILE]
#
# FILE defaults to the one-hour mono recording that bench/analyze_speed.sh
# makes. Prints each part's inclusive share of analyze's samples:
#   tracker      the wavelet pitch tracker;
#   conditioner  the audio conditioning ahead of the components;
#   statistics   the component statistics kept at every wait and post (the
#                shared section's message history, under its mutex);
#   parameters   the components' per-frame parameter reads (a walk of the
#                shared section's records, under its mutex and the master's);
#   reading      reading and converting the recording;
# and analyze's CPU time over that of `loquant pitch`, whole and without the
# parts the last line names. Needs `perf` (Debian linux-perf).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
file=${2:-${TMPDIR:-/tmp}/loquant-bench/hour-mono.wav}
loquant=$build/cli/loquant
command -v perf >/dev/null || { echo "perf is not installed (linux-perf)" >&2; exit 1; }
[ -f "$file" ] || { echo "no $file: run bench/analyze_speed.sh first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# cpu_of COMMAND...: the median CPU time (user + system) of three runs.
cpu_of() {
  for _ in 1 2 3; do
    /usr/bin/time -o "$work/time" -f '%U %S' "$@" > /dev/null 2>/dev/null
    awk '{print $1 + $2}' "$work/time"
  done | sort -g | sed -n 2p
}
pitch_cpu=$(cpu_of "$loquant" pitch "$file")
analyze_cpu=$(cpu_of "$loquant" analyze "$file")

perf record -q -F 1000 --call-graph dwarf,16384 -o "$work/perf.data" \
  "$loquant" analyze "$file" > /dev/null 2>&1
perf report -i "$work/perf.data" --children --sort symbol --stdio 2>/dev/null |
  grep -E '^ +[0-9.]+%' > "$work/report"

# share PATTERN: the largest inclusive share of a symbol matching PATTERN.
share() {
  awk -v p="$1" '$0 ~ p {v = $1; sub("%", "", v); if (v + 0 > m) m = v + 0} END {print m + 0}' \
    "$work/report"
}
tracker=$(share 'WaveletPitchTracker::computePitch')
conditioner=$(share 'host::Conditioner::process')
statistics=$(share 'ComponentMemory::addComponentStats')
parameters=$(share 'ZelAPI::getParameter')
reading=$(share 'host::AudioSource::nextSamples')

printf 'loquant pitch CPU %.3f s, loquant analyze CPU %.3f s (%s)\n' "$pitch_cpu" "$analyze_cpu" \
  "$(basename "$file")"
printf '  %-12s %5.1f %%\n' tracker "$tracker" conditioner "$conditioner" \
  statistics "$statistics" parameters "$parameters" reading "$reading"
printf '  %-12s %5.1f %%\n' rest \
  "$(echo "100 - $tracker - $conditioner - $statistics - $parameters - $reading" | bc -l)"
without() {
  echo "$analyze_cpu * (100 - $*) / 100 / $pitch_cpu" | bc -l
}
printf 'analyze CPU / pitch CPU: %.2f; without statistics and parameters: %.2f; ' \
  "$(echo "$analyze_cpu / $pitch_cpu" | bc -l)" "$(without "$statistics - $parameters")"
printf 'without those and the conditioner: %.2f\n' \
  "$(without "$statistics - $parameters - $conditioner")"
