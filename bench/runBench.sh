#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Side-by-side benchmark: the tool, dd (the copy limit) and the plain iostream
# design on generated inputs in tmpfs, page-cached. Prints best and median of
# several runs; goals are judged on the best, since shared machines are noisy.
#
# usage: runBench.sh TOOL PLAIN GENERATOR [MICROBENCH]
# environment: BENCH_SIZES_MIB (default "64 256 1024"), BENCH_RUNS (default 5),
#              BENCH_DIR (default /dev/shm/initHashDataBench)
set -euo pipefail

tool=$1 plain=$2 generator=$3 micro=${4:-}
sizes=${BENCH_SIZES_MIB:-64 256 1024}
runs=${BENCH_RUNS:-5}
work=${BENCH_DIR:-/dev/shm/initHashDataBench}

for program in /usr/bin/time dd valgrind; do
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

# best and median wall time, user and sys of the best run, largest peak RSS
summarize() {
  sort -n -k1,1 | awk '{ wall[NR] = $1; user[NR] = $2; sys[NR] = $3; if ($4 > rss) rss = $4 }
    END { printf "%.3f %.3f %.2f %.2f %d\n", wall[1], wall[int((NR + 1) / 2)], user[1], sys[1], rss }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v v="$1" -v limit="$2" -v op="$3" 'BEGIN { ok = (op == "<=" ? v <= limit : v >= limit); print (ok ? "met" : "MISSED") }'; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo),"\
     "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
echo "inputs in $(df -h --output=fstype "$work" | tail -1 | tr -d ' ') at $work, page-cached; $runs runs each"
echo
printf '%-6s %-6s %8s %8s %7s %7s %9s %8s %10s\n' size prog best_s median_s user_s sys_s peak_MiB MB/s records/s

declare -A best
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
    for prog in tool dd plain; do
      case $prog in
        tool) timed "$input" "$tool" ;;
        dd) timed "" dd if="$input" of=copy.txt bs=256K status=none ;;
        plain) timed "$input" "$plain" ;;
      esac >>"times.$prog"
      [ "$prog" = dd ] || mv userData.txt "out.$prog"
    done
  done
  rm -f copy.txt
  for prog in tool dd plain; do
    summarize <"times.$prog" >summary.txt
    read -r wall median user sys rss <summary.txt
    best[$prog.$size]=$wall
    printf '%-6s %-6s %8s %8s %7s %7s %9.1f %8.0f %10.0f\n' "${size}M" "$prog" "$wall" "$median" "$user" "$sys" \
      "$(ratio "$rss" 1024)" "$(ratio "$(ratio "$bytes" 1000000)" "$wall")" "$(ratio "$records" "$wall")"
    [ "$prog" = tool ] && rss1=$rss
  done
  cmp -s out.tool out.plain || { echo "runBench: the tool and the plain design disagree on $input" >&2; exit 1; }
  echo "       tool/dd $(ratio "${best[tool.$size]}" "${best[dd.$size]}"), plain/tool $(ratio "${best[plain.$size]}" "${best[tool.$size]}"), outputs identical, tool peak RSS $(ratio "$rss1" 1024) MiB"
  rm -f out.tool out.plain
  [ "$size" = "$largest" ] || rm -f "$input"
done

echo
if [ -f "users${largest}.txt" ]; then
  rm -f userData.txt
  if (ulimit -v 262144 && "$tool" <<<"users${largest}.txt"); then limited=met; else limited=MISSED; fi
  echo "under ulimit -v 262144 the ${largest} MiB input converts: $limited"
fi

"$generator" $((8 * 1048576)) users8.txt
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" <<<users8.txt 2>&1 >/dev/null |
    awk '/Collected/ { print $NF }'
}
toolIns=$(instructions "$tool")
plainIns=$(instructions "$plain")
echo "user-space instructions on 8 MiB: tool $toolIns, plain $plainIns, tool/plain $(ratio "$toolIns" "$plainIns")"

echo
echo "goals on the best runs:"
t=$(ratio "${best[tool.$largest]}" "${best[dd.$largest]}")
echo "  tool/dd on ${largest} MiB = $t (<= 2.0): $(verdict "$t" 2.0 '<=')"
t=$(ratio "${best[plain.$largest]}" "${best[tool.$largest]}")
echo "  plain/tool on ${largest} MiB = $t (>= 3.0): $(verdict "$t" 3.0 '>=')"
t=$(ratio "$toolIns" "$plainIns")
echo "  instructions tool/plain = $t (<= 0.30): $(verdict "$t" 0.30 '<=')"
echo "  peak RSS on ${largest} MiB = $(ratio "$rss1" 1024) MiB (<= 16): $(verdict "$(ratio "$rss1" 1024)" 16 '<=')"
t=$(ratio "${best[tool.$largest]}" "${best[tool.$smallest]}")
echo "  time ${largest} MiB / ${smallest} MiB = $t (<= $((largest / smallest + 1))): $(verdict "$t" $((largest / smallest + 1)) '<=')"

if [ -n "$micro" ]; then
  echo
  "$micro" --benchmark_min_time=0.2
fi
