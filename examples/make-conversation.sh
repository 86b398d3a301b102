#!/usr/bin/env bash
# Makes conversation.wav: a short two-speaker exchange, one speaker per
# channel (left: a low voice, right: a higher one), 44.1 kHz, 16-bit, with a
# planned gap between turns, a pause within a turn, an overlap where the
# second speaker starts before the first has finished, and a long silence.
#
# Needs espeak-ng, sox and bc (Debian packages of the same names).
#
# Timeline (seconds):        left (speaker1)               right (speaker2)
#   0.50 - ~2.3   "Did you see the game last night?"
#   ~2.9 - ~5.0                                          "I did, it was a close one."
#   ~5.6 - ...    "The last minute was wild." | pause 0.8 s | "I could not believe it."
#   overlap:                                             "Neither could I, honestly." starts 0.5 s
#                                                         before speaker1 ends
#   then 1.5 s of silence, and speaker2: "Shall we watch the next one together?"
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() {  # say VOICE PITCH FILE TEXT
  espeak-ng -v "$1" -p "$2" -s 150 -w "$work/raw.wav" "$4"
  sox "$work/raw.wav" -r 44100 -c 1 -b 16 "$3" norm -3
}
len() { soxi -D "$1"; }

say en-us 30 "$work/a1.wav" "Did you see the game last night?"
say en-gb+f3 70 "$work/b1.wav" "I did, it was a close one."
say en-us 30 "$work/a2.wav" "The last minute was wild."
say en-us 30 "$work/a3.wav" "I could not believe it."
say en-gb+f3 70 "$work/b2.wav" "Neither could I, honestly."
say en-gb+f3 70 "$work/b3.wav" "Shall we watch the next one together?"

# Place each utterance on its speaker's track with silence before it.
t=0.5
a1=$t;           t=$(echo "$t + $(len "$work/a1.wav") + 0.6" | bc -l)
b1=$t;           t=$(echo "$t + $(len "$work/b1.wav") + 0.6" | bc -l)
a2=$t;           t=$(echo "$t + $(len "$work/a2.wav") + 0.8" | bc -l)
a3=$t;           t=$(echo "$t + $(len "$work/a3.wav") - 0.5" | bc -l)
b2=$t;           t=$(echo "$t + $(len "$work/b2.wav") + 1.5" | bc -l)
b3=$t;           t=$(echo "$t + $(len "$work/b3.wav") + 1.0" | bc -l)
total=$t

track() {  # track OUT (START FILE)...
  local out=$1; shift
  local parts=()
  local i=0
  while [ $# -gt 0 ]; do
    sox "$2" "$work/p$i.wav" pad "$1" 0
    sox "$work/p$i.wav" "$work/q$i.wav" pad 0 "$(echo "$total - $1 - $(len "$2")" | bc -l)"
    parts+=("$work/q$i.wav")
    i=$((i + 1)); shift 2
  done
  if [ ${#parts[@]} -eq 1 ]; then cp "${parts[0]}" "$out"; else sox -m "${parts[@]}" "$out"; fi
}
track "$work/left.wav" "$a1" "$work/a1.wav" "$a2" "$work/a2.wav" "$a3" "$work/a3.wav"
track "$work/right.wav" "$b1" "$work/b1.wav" "$b2" "$work/b2.wav" "$b3" "$work/b3.wav"
sox -M "$work/left.wav" "$work/right.wav" -b 16 conversation.wav trim 0 "$total"
printf 'speaker1: %.2f %.2f %.2f  speaker2: %.2f %.2f %.2f  total %.2f s\n' \
  "$a1" "$a2" "$a3" "$b1" "$b2" "$b3" "$total"
