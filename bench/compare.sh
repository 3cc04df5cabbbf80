#!/usr/bin/env bash
# bench/compare.sh [BUILD_DIR]: whole-process comparisons of mivo-convert with
# its peers, timed by hyperfine on generated 10-minute 48 kHz stereo files.
# Each comparison runs in rounds; a round times every command of it once,
# one after the other, so that both sides meet the same machine (a shared
# machine's speed drifts over minutes). A goal is judged by the median over
# the rounds of peer time / Mivo time (higher is better for Mivo):
#   1. the high-precision conversion at precisions 0-3 against FFmpeg's soxr
#      resampler (its default precision) and SoX's `rate -v`;
#   2. normalization (automatic level and DC offset, the WAV written and
#      synced) against `cp` of the same file followed by `sync` of the copy;
#   3. a batch of four files with normalization, high precision (the
#      default precision 1) and MP3: all processors against one (taskset).
# ROUNDS=N sets the rounds (default 7), BATCH_ROUNDS=N those of the batch
# (3); PARTS="precise normalize batch" chooses the comparisons. The timings
# (hyperfine's JSON, one file per round) and the summary are kept in
# BUILD_DIR/bench-compare/. The load average is printed before and after:
# measure on a quiet machine.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
convert=$build/bin/mivo-convert
rounds=${ROUNDS:-7}
batchRounds=${BATCH_ROUNDS:-3}
parts=${PARTS:-precise normalize batch}
results=$(realpath -m "$build/bench-compare")
rm -rf "$results"
mkdir -p "$results"

for tool in hyperfine sox ffmpeg taskset python3; do
  command -v "$tool" >/dev/null || { echo "compare: $tool is missing (make setup installs it)" >&2; exit 1; }
done
[[ -x $convert ]] || { echo "compare: $convert is not built (make build)" >&2; exit 1; }
convert=$(realpath "$convert")

work=$(mktemp -d "${TMPDIR:-/tmp}/mivo-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir out batch-out

echo "== load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
echo "== making the inputs (10 minutes, 48000 Hz, 16-bit stereo)"
sox -n -r 48000 -c 2 -b 16 in.wav synth 600 sine 440 pinknoise vol 0.5
for i in 1 2 3 4; do
  sox -n -r 48000 -c 2 -b 16 "b$i.wav" synth 600 sine $((200 * i)) brownnoise vol 0.$((4 + i))
done

settings() {  # NAME LINES...
  local name=$1
  shift
  printf '%s\n' "$@" >"$name.ini"
}
for p in 0 1 2 3; do
  settings "p$p" RecWav=1 Rec4844=1 m_nConvKind=1 "m_nFs44Precision=$p"
done
settings norm RecWav=1 RecNormalize=1 NormalizeAuto=1 DcOffsetAuto=1
settings batch RecWav=1 RecMp3=1 RecNormalize=1 NormalizeAuto=1 DcOffsetAuto=1 Rec4844=1 m_nConvKind=1 \
  m_nFs44Precision=1

hf() {  # NAME ROUNDS COMMANDS... (name, command pairs)
  local name=$1 n=$2
  shift 2
  local args=()
  while (($#)); do
    args+=(-n "$1" "$2")
    shift 2
  done
  for ((round = 1; round <= n; round++)); do
    # The first round warms the caches up; every run starts without outputs.
    hyperfine --style basic --runs 1 --warmup $((round == 1)) --export-json "$results/$name.$round.json" \
      --prepare "rm -rf $work/out/* $work/batch-out/*" "${args[@]}" | grep -E '^Benchmark|Time'
  done
}

has() { [[ " $parts " == *" $1 "* ]]; }

for p in 0 1 2 3; do
  has precise || break
  echo "== high precision $p"
  hf "precise$p" "$rounds" \
    "mivo-convert precision $p" "$convert --config p$p.ini -o out in.wav" \
    "ffmpeg soxr" "ffmpeg -nostdin -v error -y -i in.wav -af aresample=44100:resampler=soxr out/ff.wav" \
    "sox rate -v" "sox in.wav out/sox.wav rate -v 44100"
done

has normalize && echo "== normalization" && hf normalize "$rounds" \
  "mivo-convert normalize" "$convert --config norm.ini -o out in.wav" \
  "cp + sync" "sh -c 'cp in.wav out/copy.wav && sync out/copy.wav'"

has batch && echo "== a batch of four files: normalize, high precision 1, MP3" && hf batch "$batchRounds" \
  "mivo-convert batch, all processors" "$convert --config batch.ini -o batch-out b1.wav b2.wav b3.wav b4.wav" \
  "mivo-convert batch, one processor" \
  "taskset -c 0 $convert --config batch.ini -o batch-out b1.wav b2.wav b3.wav b4.wav"

echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$results" <<'EOF' | tee "$results/summary.txt"
import glob, json, statistics, sys
work = sys.argv[1]
def rounds(name):
    out = []
    if not glob.glob(f"{work}/{name}.*.json"):
        return out
    for path in sorted(glob.glob(f"{work}/{name}.*.json")):
        with open(path) as f:
            out.append({r["command"]: r["mean"] for r in json.load(f)["results"]})
    return out
def row(goal, name, mine, peer, want):
    rs = rounds(name)
    if not rs:
        return
    m = [r[mine] for r in rs]
    p = [r[peer] for r in rs]
    ratio = statistics.median(b / a for a, b in zip(m, p))
    verdict = "met" if ratio >= want else "MISSED"
    print(f"{goal:<44} {statistics.mean(m):6.3f} s ({min(m):.3f}-{max(m):.3f})  vs {statistics.mean(p):6.3f} s "
          f"({min(p):.3f}-{max(p):.3f})  {ratio:5.2f}x (goal {want}x: {verdict}, {len(rs)} rounds)")
print("\nSummary (mean wall time and range over the rounds; ratio = median of peer time / Mivo time)")
for p in range(4):
    row(f"precision {p} vs ffmpeg aresample soxr", f"precise{p}", f"mivo-convert precision {p}", "ffmpeg soxr", 1.2)
    row(f"precision {p} vs sox rate -v", f"precise{p}", f"mivo-convert precision {p}", "sox rate -v", 2.0)
row("normalize vs cp + sync", "normalize", "mivo-convert normalize", "cp + sync", 0.5)
row("batch of 4, all processors vs one", "batch", "mivo-convert batch, all processors",
    "mivo-convert batch, one processor", 1.7)
EOF
