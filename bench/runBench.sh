#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Side-by-side benchmark on generated inputs in tmpfs, page-cached: the tool;
# the atomic copy (the tool's own replacement protocol without conversion, the
# limit for this job); dd, which rewrites in place (a reference); and the plain
# iostream design. Prints the best and median wall time and the least user and
# system time of several interleaved runs; goals are judged on the best, since
# shared machines are noisy.
#
# usage: runBench.sh TOOL PLAIN GENERATOR ATOMICCOPY [MICROBENCH]
# environment: BENCH_SIZES_MIB (default "64 256 1024"), BENCH_RUNS (default 7),
#              BENCH_DIR (default /dev/shm/initHashDataBench),
#              BENCH_BEFORE (another build of the tool, such as the one before
#              a change, run interleaved with this one and compared)
set -euo pipefail

tool=$1 plain=$2 generator=$3 atomic=$4 micro=${5:-}
sizes=${BENCH_SIZES_MIB:-64 256 1024}
runs=${BENCH_RUNS:-7}
before=${BENCH_BEFORE:-}
programs="tool atomic dd plain"
if [ -n "$before" ]; then
  [ -x "$before" ] || { echo "runBench: BENCH_BEFORE is not an executable: $before" >&2; exit 2; }
  before=$(realpath "$before")
  programs="tool before atomic dd plain"
fi
work=${BENCH_DIR:-/dev/shm/initHashDataBench}

for program in /usr/bin/time dd valgrind callgrind_annotate cp; do
  command -v "$program" >/dev/null || { echo "runBench: needs $program" >&2; exit 2; }
done
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs "$@" in $work with the input name on standard input; prints "wall user sys rssKiB".
# Wall time is taken to the millisecond: time(1) rounds it to 10 ms, too coarse for small inputs.
timed() {
  local input=$1 start end; shift
  rm -f userData.txt copy.txt
  start=$(date +%s%N)
  /usr/bin/time -f '%U %S %M' -o time.txt "$@" <<<"$input" >/dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) '{ printf "%.3f %s %s %s\n", ns / 1e9, $1, $2, $3 }' time.txt
}

# best and median wall time, least user and least system time, largest peak RSS
summarize() {
  sort -n -k1,1 | awk 'NR == 1 { user = $2; sys = $3 }
    { wall[NR] = $1; if ($2 < user) user = $2; if ($3 < sys) sys = $3; if ($4 > rss) rss = $4 }
    END { printf "%.3f %.3f %.2f %.2f %d\n", wall[1], wall[int((NR + 1) / 2)], user, sys, rss }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v v="$1" -v limit="$2" -v op="$3" 'BEGIN { ok = (op == "<=" ? v <= limit : v >= limit); print (ok ? "met" : "MISSED") }'; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo),"\
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
echo "inputs in $(df -h --output=fstype "$work" | tail -1 | tr -d ' ') at $work, page-cached; $runs runs each"
echo
printf '%-6s %-6s %8s %8s %7s %7s %9s %8s %10s\n' size prog best_s median_s user_s sys_s peak_MiB MB/s records/s

declare -A best sysBest
largest=${sizes##* } smallest=${sizes%% *}
for size in $sizes; do
  input="users${size}.txt"
  "$generator" $((size * 1048576)) "$input"
  records=$(wc -l <"$input")
  bytes=$(stat -c %s "$input")
  cat "$input" >/dev/null
  # Interleaved, so that a noisy spell on the machine does not fall on one program alone.
  rm -f times.*
  for ((i = 0; i < runs; ++i)); do
    for prog in $programs; do
      case $prog in
        tool) timed "$input" "$tool" ;;
        before) timed "$input" "$before" ;;
        atomic) timed "$input" "$atomic" ;;
        dd) timed "" dd if="$input" of=copy.txt bs=256K status=none ;;
        plain) timed "$input" "$plain" ;;
      esac >>"times.$prog"
      [ "$prog" = dd ] || mv userData.txt "out.$prog"
    done
  done
  rm -f copy.txt
  cmp -s out.atomic "$input" || { echo "runBench: the atomic copy differs from $input" >&2; exit 1; }
  for prog in $programs; do
    summarize <"times.$prog" >summary.txt
    read -r wall median user sys rss <summary.txt
    best[$prog.$size]=$wall
    sysBest[$prog.$size]=$sys
    printf '%-6s %-6s %8s %8s %7s %7s %9.1f %8.0f %10.0f\n' "${size}M" "$prog" "$wall" "$median" "$user" "$sys" \
      "$(ratio "$rss" 1024)" "$(ratio "$(ratio "$bytes" 1000000)" "$wall")" "$(ratio "$records" "$wall")"
    [ "$prog" = tool ] && rss1=$rss
    [ "$prog" = tool ] && userTool=$user
    [ "$prog" = before ] && userBefore=$user
  done
  cmp -s out.tool out.plain || { echo "runBench: the tool and the plain design disagree on $input" >&2; exit 1; }
  if [ -n "$before" ]; then
    cmp -s out.tool out.before || { echo "runBench: the tool and the build before disagree on $input" >&2; exit 1; }
    echo "       tool/before: wall $(ratio "${best[tool.$size]}" "${best[before.$size]}"), user $(ratio "$userTool" "$userBefore"), system $(ratio "${sysBest[tool.$size]}" "${sysBest[before.$size]}"); before/atomic copy: wall $(ratio "${best[before.$size]}" "${best[atomic.$size]}"), system $(ratio "${sysBest[before.$size]}" "${sysBest[atomic.$size]}")"
  fi
  echo "       tool/atomic copy: wall $(ratio "${best[tool.$size]}" "${best[atomic.$size]}"), system $(ratio "${sysBest[tool.$size]}" "${sysBest[atomic.$size]}"); tool/dd $(ratio "${best[tool.$size]}" "${best[dd.$size]}"); plain/tool $(ratio "${best[plain.$size]}" "${best[tool.$size]}"); outputs identical; tool peak RSS $(ratio "$rss1" 1024) MiB"
  rm -f out.tool out.plain out.atomic out.before
  [ "$size" = "$largest" ] || rm -f "$input"
done

echo
if [ -f "users${largest}.txt" ]; then
  rm -f userData.txt
  if (ulimit -v 262144 && "$tool" <<<"users${largest}.txt"); then limited=met; else limited=MISSED; fi
  echo "under ulimit -v 262144 the ${largest} MiB input converts: $limited"
fi

"$generator" $((8 * 1048576)) users8.txt
# Instructions of a run on "$1" (the input name on standard input) of the
# command that follows; the callgrind output is kept in cg.out.
instructions() {
  local input=$1; shift
  rm -f userData.txt copy.txt
  valgrind --tool=callgrind --callgrind-out-file=cg.out "$@" <<<"$input" 2>&1 >/dev/null |
    awk '/Collected/ { print $NF }'
}
# "instructions scan" of the block loop in cg.out.
loopInstructionsAndScan() {
  callgrind_annotate cg.out 2>/dev/null | awk '/convertWholeRecords/ { gsub(",", "", $1);
    scan = match($0, /convertWholeRecords[A-Za-z0-9]*/) ? substr($0, RSTART + 19, RLENGTH - 19) : "?";
    print $1, scan; exit }'
}
toolIns=$(instructions users8.txt "$tool")
read -r loopIns scan < <(loopInstructionsAndScan)
plainIns=$(instructions users8.txt "$plain")
records8=$(wc -l <users8.txt)
echo "user-space instructions on 8 MiB ($records8 records): tool $toolIns, plain $plainIns, tool/plain $(ratio "$toolIns" "$plainIns")"
echo "per record: tool $(ratio "$toolIns" "$records8") in all, $(ratio "$loopIns" "$records8") in the block loop (${scan:-?} scan); plain $(ratio "$plainIns" "$records8")"
if [ -n "$before" ]; then
  beforeIns=$(instructions users8.txt "$before")
  read -r beforeLoopIns beforeScan < <(loopInstructionsAndScan)
  echo "per record, the build before: $(ratio "$beforeIns" "$records8") in all, $(ratio "$beforeLoopIns" "$records8") in the block loop (${beforeScan:-?} scan); tool/before in the block loop $(ratio "$loopIns" "$beforeLoopIns")"
fi

# The common case: an administrator's file of a few records.
printf 'alice:correct horse:Alice:/home/alice\nbob:battery staple:Bob:/home/bob\ncarol:x:Carol:/home/carol\n' >small.txt
smallTool=$(instructions small.txt "$tool")
smallAtomic=$(instructions small.txt "$atomic")
smallCp=$(instructions "" cp small.txt copy.txt)
echo "a three-record input, instructions in all: tool $smallTool, atomic copy $smallAtomic, cp $smallCp"
rm -f cg.out

echo
echo "goals on the best runs:"
t=$(ratio "${best[tool.$largest]}" "${best[atomic.$largest]}")
echo "  wall time tool/atomic copy on ${largest} MiB = $t (<= 1.65, one thread, on an idle machine): $(verdict "$t" 1.65 '<=')"
t=$(ratio "${sysBest[tool.$largest]}" "${sysBest[atomic.$largest]}")
echo "  system time tool/atomic copy on ${largest} MiB = $t (<= 1.05): $(verdict "$t" 1.05 '<=')"
t=$(ratio "$loopIns" "$records8")
echo "  instructions per record in the block loop on 8 MiB = $t (<= 166 with the AVX2 scan): $(verdict "$t" 166 '<=')"
echo "  instructions on three records = $smallTool (<= 80000): $(verdict "$smallTool" 80000 '<=')"
echo "  peak RSS on ${largest} MiB = $(ratio "$rss1" 1024) MiB (<= 16): $(verdict "$(ratio "$rss1" 1024)" 16 '<=')"
echo "  reference: tool/dd on ${largest} MiB = $(ratio "${best[tool.$largest]}" "${best[dd.$largest]}")," \
  "plain/tool = $(ratio "${best[plain.$largest]}" "${best[tool.$largest]}")"

if [ -n "$micro" ]; then
  echo
  "$micro" --benchmark_min_time=0.2
fi
