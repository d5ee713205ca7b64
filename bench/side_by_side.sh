#!/bin/bash
# Two builds of phasefit measured side by side on the same tables: the
# batch at -j 1 and -j 2 and svdcmp phase by phase, the two binaries
# alternating round after round so that a noisy machine weighs on both
# alike, then the scipy pipeline on the same tables; and the output trees
# of both builds (fast, --kernels=reference, -j 1, -j 2) compared byte for
# byte at each order. Prints the best and the median of the rounds and the
# ratios old / new. Not a test.
#
# Usage: bench/side_by_side.sh OLD_BUILD NEW_BUILD [TABLES [ROUNDS [ORDERS...]]]
#   OLD_BUILD, NEW_BUILD  build folders of the bench preset holding phasefit
#                         and bench/svd_phases (cmake --preset bench, then
#                         cmake --build build-bench --target svd_phases phasefit);
#                         the old one's svd_phases built from a
#                         bench/svd_phases.cpp that has --cpu-clock,
#                         --fast-only and --form and compiles in that tree
#                         (docs/benchmarks.md gives the commands for
#                         b775b34)
#   TABLES                folder of tables (default ../shared/data/real/tables)
#   ROUNDS                rounds of each timing (default 7)
#   ORDERS                expansion orders (default 300); the phases and the
#                         batch are timed at each, the trees compared at each
# COPIES=K in the environment runs each table K times in the batch (more
# jobs per run, steadier figures). The batch's CPU time (user + system) is
# printed beside its wall time: on a busy machine it is the steadier figure.
# Example, from the repository root:
#   bench/side_by_side.sh /tmp/svd-old/build-bench build-bench ../shared/data/real/tables 9 16 64 128 300
set -euo pipefail

old=$(realpath "$1")
new=$(realpath "$2")
tables=$(realpath "${3:-../shared/data/real/tables}")
rounds=${4:-7}
shift $(($# < 4 ? $# : 4))
orders=("$@")
[ ${#orders[@]} -gt 0 ] || orders=(300)
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Band mode, one size (0): each table is linked as pf/<name>_DE_000.dat.
mkdir -p "$work/INPUT" "$work/pf"
names=()
for ((copy = 0; copy < ${COPIES:-1}; ++copy)); do
  for t in "$tables"/*.dat; do
    name=$(basename "$t" .dat)
    [ "$copy" -gt 0 ] && name="${name}_copy$copy"
    names+=("$name")
    ln -s "$t" "$work/pf/${name}_DE_000.dat"
  done
done
jobs=${#names[@]}
printf '1\n0\n' > "$work/INPUT/input_re.dat"
{ echo "$jobs"; printf '%s\n' "${names[@]}"; } > "$work/INPUT/input_band.dat"

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), L1d $(getconf LEVEL1_DCACHE_SIZE) B, L2 $(getconf LEVEL2_CACHE_SIZE) B per core;" \
  "$(grep -q avx512f /proc/cpuinfo && echo AVX-512F || (grep -q avx2 /proc/cpuinfo && echo AVX2 only || echo baseline));" \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "old: $old"
echo "new: $new"
echo "tables: $tables ($jobs jobs), rounds: $rounds"

# Wall seconds and CPU seconds (user + system) of one run of phasefit; the
# output goes to $work/<out>/.
run() {
  local build=$1 out=$2 n=$3
  shift 3
  rm -rf "${work:?}/$out" && mkdir -p "$work/$out"
  local start end
  start=$(date +%s.%N)
  (cd "$work" && /usr/bin/time -o "$work/time.txt" -f "%U %S" \
    "$build/phasefit" --no-progress --on-pause=go "$@" pf/ "$out/" 1 "$n" > /dev/null)
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc) $(awk '{print $1 + $2}' "$work/time.txt")"
}

# best and median of the numbers on standard input
stats() { sort -g | awk '{v[NR] = $1} END {printf "%.4f %.4f\n", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

for n in "${orders[@]}"; do
  echo
  echo "== N = $n: batch of $jobs jobs, old and new alternating, $rounds rounds (ms per job: best, median)"
  for j in 1 2; do
    : > "$work/old.t"
    : > "$work/new.t"
    for ((r = 0; r < rounds; ++r)); do
      run "$old" o "$n" -j $j >> "$work/old.t"
      run "$new" o "$n" -j $j >> "$work/new.t"
    done
    read -r ob om < <(cut -d' ' -f1 "$work/old.t" | stats)
    read -r nb nm < <(cut -d' ' -f1 "$work/new.t" | stats)
    read -r obc omc < <(cut -d' ' -f2 "$work/old.t" | stats)
    read -r nbc nmc < <(cut -d' ' -f2 "$work/new.t" | stats)
    awk -v j=$j -v k="$jobs" -v ob="$ob" -v om="$om" -v nb="$nb" -v nm="$nm" 'BEGIN {
      printf "-j %d wall: old %.2f %.2f, new %.2f %.2f ms/job; old/new %.3f (best) %.3f (median)\n",
             j, ob / k * 1e3, om / k * 1e3, nb / k * 1e3, nm / k * 1e3, ob / nb, om / nm }'
    awk -v j=$j -v k="$jobs" -v ob="$obc" -v om="$omc" -v nb="$nbc" -v nm="$nmc" 'BEGIN {
      printf "-j %d CPU:  old %.2f %.2f, new %.2f %.2f ms/job; old/new %.3f (best) %.3f (median)\n",
             j, ob / k * 1e3, om / k * 1e3, nb / k * 1e3, nm / k * 1e3, ob / nb, om / nm }'
    echo "$nb" > "$work/new_j$j"
    echo "$ob" > "$work/old_j$j"
  done
  awk -v o1="$(cat "$work/old_j1")" -v o2="$(cat "$work/old_j2")" -v n1="$(cat "$work/new_j1")" \
    -v n2="$(cat "$work/new_j2")" 'BEGIN {
    printf "-j 2 efficiency (best times): old %.0f %%, new %.0f %%\n", o1 / o2 / 2 * 100, n1 / n2 / 2 * 100 }'

  echo "-- output trees at N = $n"
  run "$new" fast "$n" -j 1 > /dev/null
  run "$new" fast2 "$n" -j 2 > /dev/null
  run "$new" ref "$n" -j 1 --kernels=reference > /dev/null
  run "$old" old "$n" -j 1 > /dev/null
  for other in fast2 ref old; do
    if diff -r "$work/fast" "$work/$other" > /dev/null; then
      echo "new -j 1 vs $other: identical ($(ls "$work/fast" | wc -l) files)"
    else
      echo "new -j 1 vs $other: DIFFERENT"
    fi
  done

  for form in 16 8 baseline; do
    same=$("$new/bench/svd_phases" --check --n "$n" --form $form "$tables" | grep -c identical || true)
    echo "new svdcmp, form $form: bits of $same of $(ls "$tables"/*.dat | wc -l) tables identical to the reference"
  done

  echo "-- svdcmp phase by phase at N = $n, ms per job, CPU time of the thread, best of 5 runs a table;"
  echo "   columns: bidiag V U chains rotU rotV diag passes svdcmp (mean line of svd_phases)"
  for ((r = 0; r < (rounds + 2) / 3; ++r)); do
    for form in 16 8; do
      for b in old new; do
        dir=$old
        [ $b = new ] && dir=$new
        echo "$form-lane $b $("$dir/bench/svd_phases" --repeat 5 --n "$n" --fast-only --cpu-clock --form $form "$tables" | grep '^mean  ' | cut -c29-100)"
      done
    done
  done
done

echo
echo "== the scipy pipeline on the same tables (bench/compare_numpy.py)"
/usr/bin/python3 "$here/compare_numpy.py" "$tables" || echo "(scipy pipeline skipped: it needs numpy and scipy)"
