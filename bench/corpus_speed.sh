#!/usr/bin/env bash
# Throughput of `loquant corpus run` on a generated corpus: --jobs 1 against
# --jobs 2, the whole corpus against the sum of one `loquant analyze` per
# file, and the time to resume a finished corpus (nothing redone).
#
#   bench/corpus_speed.sh [BUILD_DIR] [CONVERSATIONS] [SECONDS]
#
# Defaults: 200 two-speaker conversations of 180 s (10 hours of audio) at
# 16 kHz. The conversations are cut from the bundled stereo conversation,
# repeated, at 20 different offsets; conversation n is a link to cut n mod 20
# (so the corpus takes 20 files' room on disk, and every conversation is
# analysed in full). Smoke run: bench/corpus_speed.sh build 4 20
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
count=${2:-200}
seconds=${3:-180}
loquant=$build/cli/loquant
work=${TMPDIR:-/tmp}/loquant-corpus-bench-$count-$seconds
command -v sox >/dev/null || apt-get install -y -qq sox >/dev/null
[ -x "$loquant" ] || { echo "no $loquant: build first (scripts/setup)" >&2; exit 1; }

if [ ! -d "$work/corpus" ]; then
  mkdir -p "$work/cuts" "$work/corpus"
  sox "$root/examples/conversation.wav" -r 16000 "$work/conv16.wav"
  length=$(soxi -D "$work/conv16.wav")
  repeats=$(echo "($seconds + 20 * 7) / $length + 1" | bc)
  sox "$work/conv16.wav" "$work/long.wav" repeat "$repeats"
  for cut in $(seq 0 19); do
    sox "$work/long.wav" "$work/cuts/cut$cut.wav" trim "$((cut * 7))" "$seconds"
  done
  rm "$work/long.wav"
  for n in $(seq 0 $((count - 1))); do
    ln -s "$work/cuts/cut$((n % 20)).wav" "$work/corpus/$(printf 'c%04d' "$n").wav"
  done
fi

now() { date +%s.%N; }
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "corpus: $count conversations of $seconds s, $(echo "$count * $seconds / 3600" | bc -l | cut -c1-5) hours"

run() {  # run JOBS: a fresh output folder, planned and run; prints the wall time
  rm -rf "$work/out$1"
  "$loquant" corpus plan "$work/corpus" --out "$work/out$1" 2>/dev/null
  local t0; t0=$(now)
  "$loquant" corpus run "$work/out$1" --jobs "$1" --no-progress 2>/dev/null
  echo "$(now) - $t0" | bc -l
}
one=$(run 1)
two=$(run 2)
t0=$(now)
"$loquant" corpus run "$work/out2" --jobs 2 --no-progress 2>"$work/resume.err"
resume=$(echo "$(now) - $t0" | bc -l)
grep -q "(0 now, $count skipped)" "$work/resume.err" || { echo "resume redid work:" >&2; cat "$work/resume.err" >&2; exit 1; }
# The sum of the single analyses, each its own process as `analyze` runs it.
t0=$(now)
for f in "$work"/cuts/*.wav; do "$loquant" analyze "$f" --no-progress > /dev/null; done
single=$(echo "($(now) - $t0) * $count / 20" | bc -l)
cmp -s "$work/out1/conversations/c0001.jsonl" "$work/out2/conversations/c0001.jsonl" \
  && same=yes || same=no

audio=$(echo "$count * $seconds" | bc)
printf 'corpus run --jobs 1            %8.2f s  (%6.1fx real time)\n' "$one" "$(echo "$audio / $one" | bc -l)"
printf 'corpus run --jobs 2            %8.2f s  (%6.1fx real time)\n' "$two" "$(echo "$audio / $two" | bc -l)"
printf 'sum of single analyze runs     %8.2f s  (20 files timed, scaled to %d)\n' "$single" "$count"
printf 'resume of the finished corpus  %8.3f s\n' "$resume"
printf '  throughput --jobs 2 / --jobs 1          %5.2f  (goal >= 1.8)\n' "$(echo "$one / $two" | bc -l)"
printf '  corpus run --jobs 1 / sum of analyzes   %5.2f  (goal <= 1.2)\n' "$(echo "$one / $single" | bc -l)"
printf '  outputs of --jobs 1 and --jobs 2 equal: %s\n' "$same"
