#!/usr/bin/env bash
# The real mivo binary: --command against a running recorder, the refusal
# of a second recorder on the same settings file, SIGTERM and SIGINT while
# recording, the command line's own answers, a FIFO as the input, and a box
# answered through --command.
set -u
MIVO=${1:?usage: command_channel_test.sh path/to/mivo}
T=$(mktemp -d)
export XDG_RUNTIME_DIR=$T/run QT_QPA_PLATFORM=offscreen
mkdir -m 700 "$XDG_RUNTIME_DIR"
INI=$T/mivo.ini
# A silent input keeps the recorder waiting for sound, whatever the machine hears.
sox -D -n -r 44100 -c 2 -b 16 "$T/silence.wav" trim 0 1
printf 'RecTempFolder=%s\nRecFolder=%s\n' "$T" "$T" >"$INI"
PID=
failures=0
passes=0
cleanup() {
  [ -n "$PID" ] && kill -KILL "$PID" 2>/dev/null
  rm -rf "$T"
}
trap cleanup EXIT

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then passes=$((passes + 1)); else
    failures=$((failures + 1)); printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"; fi
}
cmd() { timeout 20 "$MIVO" --config "$INI" --command "$@"; }

u32() { od -A n -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
start_recorder() {  # start_recorder [INPUT]
  timeout 60 "$MIVO" --config "$INI" --input-file "${1:-$T/silence.wav}" >"$T/out.log" 2>&1 &
  PID=$!
  for _ in $(seq 1 200); do
    cmd status >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "FAIL the recorder did not come up"; cat "$T/out.log"; exit 1
}
wait_exit() {  # wait_exit NAME: the recorder ends within 5 s with status 0
  local rc
  for _ in $(seq 1 100); do
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$PID" 2>/dev/null; then check "$1 ends promptly" ended running; kill -KILL "$PID"; fi
  wait "$PID"; rc=$?
  PID=
  check "$1 exit status" 0 "$rc"
}

# The command line.
"$MIVO" --help >/dev/null; check "--help" 0 $?
check "--version" "Mivo Version 0.70" "$("$MIVO" --version)"
"$MIVO" --frobnicate 2>"$T/err"; check "unknown option status" 2 $?
grep -q -- "--frobnicate" "$T/err"; check "unknown option named" 0 $?
cmd status 2>"$T/err"; check "no recorder: status" 1 $?
grep -q "no recorder is running" "$T/err"; check "no recorder: message" 0 $?

start_recorder
"$MIVO" --config "$INI" 2>"$T/err"; check "second recorder refused" 1 $?
grep -q "already running" "$T/err"; check "second recorder: message" 0 $?
# On a desktop the refusal comes in a box too, with the program's title, in
# the middle of the screen (1024x768: centre 512,384; without a window
# manager Qt allows a title bar's height above it).
if command -v xvfb-run >/dev/null && command -v xwininfo >/dev/null; then
  box=$(timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    env -u QT_QPA_PLATFORM "$0" --config "$1" 2>/dev/null & pid=$!
    line=
    for _ in $(seq 1 100); do
      line=$(xwininfo -root -tree | grep "\"Mivo\": (\"" | head -n 1)
      [ -n "$line" ] && break
      sleep 0.1
    done
    sleep 0.3
    xwininfo -root -tree | grep "\"Mivo\": (\"" | head -n 1
    kill -TERM "$pid" 2>/dev/null; wait "$pid"' "$MIVO" "$INI" 2>/dev/null)
  geometry=$(printf '%s' "$box" | grep -o '[0-9]*x[0-9]*+[0-9-]*+[0-9-]*' | head -n 1)
  if [ -z "$geometry" ]; then
    check "second recorder on a display: refusal box" shown none
  else
    IFS='x+' read -r w h x y <<<"$geometry"
    dx=$((x + w / 2 - 512)); dy=$((y + h / 2 - 384))
    [ $((${dx#-} + ${dy#-})) -lt 80 ]; check "refusal box in the middle of the screen ($geometry)" 0 $?
  fi
else
  echo "SKIP the refusal box (xvfb-run or xwininfo missing)"
fi
kill -0 "$PID"; check "first recorder still runs" 0 $?

check "status while stopped" $'停止 (無音)\n\n0\n0' "$(cmd status)"
cmd rec >/dev/null; check "rec" 0 $?
check "status while recording" "録音待ち"$'\n'"$T/music001.wav"$'\n0\n1' "$(cmd status)"
out=$(cmd quit 2>&1); check "quit refused while recording" 1 $?
check "quit refusal text" "録音中は終了できません" "$out"
cmd skip >/dev/null; check "skip" 0 $?
check "status after skip" $'スキップ\nスキップ\n0\n1' "$(cmd status)"
cmd stop >/dev/null; check "stop" 0 $?
cmd quit >/dev/null; check "quit accepted" 0 $?
wait_exit "quit"
grep -q '^RecFilePre=music$' "$INI"; check "settings saved at quit" 0 $?

# A tone, so that the track interrupted by the signal holds audio.
sox -D -n -r 44100 -c 2 -b 16 "$T/tone.wav" synth 5 sine 440 gain -6
for sig in TERM INT; do
  sed -i 's/^RecFilePre=.*/RecFilePre=tape'$sig'/' "$INI"
  start_recorder "$T/tone.wav"
  cmd rec >/dev/null; check "rec before SIG$sig" 0 $?
  sleep 1
  kill -"$sig" "$PID"
  wait_exit "SIG$sig while recording"
  grep -q "^RecFilePre=tape$sig\$" "$INI"; check "settings saved after SIG$sig" 0 $?
  track=$T/tape${sig}001.wav
  if [ -f "$track" ]; then
    size=$(stat -c %s "$track")
    check "SIG$sig: RIFF size of the track" $((size - 8)) "$(u32 "$track" 4)"
    check "SIG$sig: data size of the track" $((size - 46)) "$(u32 "$track" 42)"
    [ "$(u32 "$track" 42)" -gt 100000 ]; check "SIG$sig: the track holds the audio" 0 $?
  else
    check "SIG$sig: the interrupted track is kept" yes no
  fi
  cmd status 2>/dev/null; check "no recorder after SIG$sig" 1 $?
done

# A FIFO nobody writes to, given as the input: refused at once, and whatever
# happens a signal ends the program (generous bound, no timing asserted).
mkfifo "$T/fifo.wav"
# (Started without the EXIT trap: a signal that comes before the exec must
# not run the clean-up in the forked shell.)
trap - EXIT
"$MIVO" --config "$INI" --input-file "$T/fifo.wav" >/dev/null 2>"$T/err" &
fifo_pid=$!
trap cleanup EXIT
kill -TERM "$fifo_pid" 2>/dev/null
for _ in $(seq 1 200); do kill -0 "$fifo_pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$fifo_pid" 2>/dev/null; then check "FIFO input: the program ends" ended running; kill -KILL "$fifo_pid"; fi
wait "$fifo_pid"; [ $? -ne 0 ]; check "FIFO input: not a success" 0 $?
timeout 20 "$MIVO" --config "$INI" --input-file "$T/fifo.wav" 2>"$T/err"; check "FIFO input refused" 2 $?
grep -q "not a regular file" "$T/err"; check "FIFO input: message" 0 $?

# A box of the start-up (gaps no track can hold), seen and answered through
# the command channel, as over SSH or on the offscreen platform.
sed -i 's/^PostGapLen=.*/PostGapLen=2000000000/' "$INI"
grep -q '^PostGapLen=2000000000$' "$INI" || printf 'PostGapLen=2000000000\n' >>"$INI"
start_recorder
out=$(cmd status)
printf '%s\n' "$out" | grep -q '^box: Mivo$'; check "status shows the open box" 0 $?
printf '%s\n' "$out" | grep -q '^  曲の前後に付ける無音が長すぎて'; check "status shows the box's text" 0 $?
printf '%s\n' "$out" | grep -q '^  answer: ok$'; check "status shows the answers" 0 $?
cmd quit >/dev/null 2>&1; check "quit refused while the box is open" 1 $?
cmd answer cancel >/dev/null 2>&1; check "an answer the box has no button for" 1 $?
cmd answer ok >/dev/null; check "answer ok" 0 $?
for _ in $(seq 1 200); do cmd status | grep -q '^box:' || break; sleep 0.05; done
cmd status | grep -q '^box:'; check "the box is gone" 1 $?
cmd quit >/dev/null; check "quit after the answer" 0 $?
wait_exit "quit after the answer"
grep -q '^PostGapLen=0$' "$INI"; check "the gaps are stored as 0" 0 $?

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
