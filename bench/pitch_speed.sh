#!/usr/bin/env bash
# Whole-program speed of `loquant pitch` on one hour of 44.1 kHz 16-bit mono
# speech, side by side with aubiopitch's Schmitt-trigger tracker on the same
# file (frames of 2048 samples, hop 1024).
#
# Goals: loquant pitch in at most 1.0 s of wall time, and at most 0.7 times
# the time of aubiopitch.
#
# Usage: bench/pitch_speed.sh [LOQUANT_BINARY]
#   LOQUANT_BINARY defaults to build/cli/loquant (a Release build).
#   RUNS (default 3) sets the runs per tool; WORKDIR keeps the generated
#   files (default: a temporary directory, removed at the end).
#
# Needs: sox, espeak-ng, GNU time (Debian packages sox, espeak-ng, time) and
# aubiopitch (Debian package aubio-tools). The speech is espeak-ng output resampled to
# 44.1 kHz and repeated to one hour; without espeak-ng a synthetic vowel
# (a 120 Hz harmonic series with a slow vibrato, cut into syllables) is used.
#
# aubiopitch selects its method with -p; its -m is the mixing switch and
# takes no value, so "-p schmitt" is the Schmitt-trigger run.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
loquant="${1:-$here/build/cli/loquant}"
runs="${RUNS:-3}"

for tool in sox soxi aubiopitch /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "pitch_speed: $tool is missing" >&2; exit 2; }
done
[[ -x "$loquant" ]] || { echo "pitch_speed: no loquant binary at $loquant" >&2; exit 2; }

if [[ -n "${WORKDIR:-}" ]]; then
  work="$WORKDIR"
  mkdir -p "$work"
else
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
fi

hour="$work/speech_hour.wav"
if [[ ! -s "$hour" ]]; then
  if command -v espeak-ng >/dev/null; then
    espeak-ng -s 150 -w "$work/voice.wav" \
      "The quick brown fox jumps over the lazy dog. We measure the pitch of every \
frame of this voice, and then we do it again, for one whole hour of talking."
  else
    sox -n -r 44100 -c 1 "$work/voice.wav" synth 0.25 sine 120 sine 240 sine 360 \
      vol 0.6 pad 0 0.15 repeat 15 vibrato 5 40
  fi
  sox "$work/voice.wav" -r 44100 -b 16 -c 1 "$work/voice44.wav"
  length="$(soxi -D "$work/voice44.wav")"
  # "repeat N" plays N more times: int(3600 / length) + 1 copies last at
  # least an hour; trim cuts them to exactly 3600 s.
  repeats="$(awk -v l="$length" 'BEGIN { printf "%d", 3600 / l }')"
  sox "$work/voice44.wav" "$hour" repeat "$repeats" trim 0 3600
fi
echo "input: $hour ($(soxi -d "$hour"), $(soxi -r "$hour") Hz, $(soxi -b "$hour")-bit," \
  "$(soxi -c "$hour") channel)"

# Runs "$@" once with output to /dev/null; prints "wall_ms cpu_ms" (CPU:
# user + system of the process and its threads, from GNU time).
measure() {
  local report
  report="$(mktemp)"
  /usr/bin/time -f "%e %U %S" -o "$report" "$@" >/dev/null
  awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' "$report"
  rm -f "$report"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

loquant_wall=() loquant_cpu=() aubio_wall=() aubio_cpu=()
for ((i = 1; i <= runs; ++i)); do
  read -r w c < <(measure "$loquant" pitch "$hour")
  loquant_wall+=("$w") loquant_cpu+=("$c")
  read -r w c < <(measure aubiopitch -p schmitt -B 2048 -H 1024 -i "$hour")
  aubio_wall+=("$w") aubio_cpu+=("$c")
  echo "run $i: loquant pitch ${loquant_wall[-1]} ms (cpu ${loquant_cpu[-1]} ms)," \
    "aubiopitch ${aubio_wall[-1]} ms (cpu ${aubio_cpu[-1]} ms)"
done

lq="$(median "${loquant_wall[@]}")"
ab="$(median "${aubio_wall[@]}")"
ratio="$(awk -v a="$lq" -v b="$ab" 'BEGIN { printf "%.3f", a / b }')"
echo "median wall time: loquant pitch $lq ms, aubiopitch -p schmitt $ab ms, ratio $ratio"
echo "median cpu time: loquant pitch $(median "${loquant_cpu[@]}") ms," \
  "aubiopitch $(median "${aubio_cpu[@]}") ms"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores" \
  "(wall times hold only on an otherwise idle machine)"

status=0
if ((lq > 1000)); then
  echo "goal missed: loquant pitch above 1.0 s"
  status=1
fi
if awk -v r="$ratio" 'BEGIN { exit !(r > 0.7) }'; then
  echo "goal missed: ratio above 0.7"
  status=1
fi
((status == 0)) && echo "goals met"
exit "$status"
