#!/usr/bin/env bash
# The example job array (examples/slurm/phasefit-array.sbatch) on a real,
# single-node Slurm cluster started here: munged, slurmctld and slurmd run
# as root in a scratch directory, on free ports, with a generated
# slurm.conf. The array's 4 tasks run a batch with duplicate labels,
# duplicate sizes, several reference points and one pausing table into one
# output folder; the union must be byte for byte what one phasefit run
# writes, with no temporary file left, and every task must end with exit
# status 0. The daemons are stopped and the scratch directory removed
# however the test ends.
#
#   tests/slurm/run_array_test.sh PHASEFIT
#   tests/slurm/run_array_test.sh --skip-reason   why it would be skipped, if it would
#
# Exit status 77 (skipped, with the reason) without root, without Slurm
# and MUNGE (Debian: slurm-wlm munge), without a cgroup file system under
# /sys/fs/cgroup, where slurmd will not start, or when the host name does
# not resolve, where neither daemon can reach the other. A daemon that
# exits fails the test at once, with the logs.
set -euo pipefail

skip_reason() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "the test cluster's daemons run as root"
    return
  fi
  for tool in munged slurmctld slurmd sbatch squeue sinfo scontrol; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$tool not found (Debian: slurm-wlm munge)"
      return
    fi
  done
  if ! awk '($3 == "cgroup" || $3 == "cgroup2") && $2 ~ "^/sys/fs/cgroup" { found = 1 } END { exit !found }' \
    /proc/mounts; then
    echo "no cgroup file system mounted under /sys/fs/cgroup (slurmd needs one)"
    return
  fi
  if ! getent hosts "$(hostname -s)" >/dev/null; then
    echo "the host name $(hostname -s) does not resolve (the daemons find each other by it)"
  fi
}
if [ "${1:-}" = --skip-reason ]; then
  reason=$(skip_reason)
  [ -z "$reason" ] || echo "Slurm job array test skipped: $reason"
  exit 0
fi
phasefit=$(realpath "${1:?usage: run_array_test.sh PHASEFIT}")
repo=$(cd "$(dirname "$0")/../.." && pwd)
reason=$(skip_reason)
if [ -n "$reason" ]; then
  echo "skipped: $reason"
  exit 77
fi

scratch=$(mktemp -d /tmp/phasefit-slurm-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$scratch/munge/pid" ] && kill "$(cat "$scratch/munge/pid")" 2>/dev/null || true
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
# ctest's timeout ends the test with SIGTERM: the daemons go with it.
trap 'exit 143' TERM INT
fail() {
  echo "FAILED: $*"
  for log in "$scratch"/log/*; do echo "--- $log"; tail -n 20 "$log"; done
  exit 1
}

# MUNGE on a socket of its own, with a key made for this cluster.
mkdir -p "$scratch"/{munge,state,spool,log,work}
chmod 755 "$scratch/munge"
head -c 128 /dev/urandom >"$scratch/munge/key"
chmod 400 "$scratch/munge/key"
munged --force --key-file="$scratch/munge/key" --socket="$scratch/munge/socket" \
  --pid-file="$scratch/munge/pid" --log-file="$scratch/log/munged.log" \
  --seed-file="$scratch/munge/seed"

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
host=$(hostname -s)
cpus=$(nproc)
export SLURM_CONF=$scratch/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=phasefit-test
SlurmctldHost=$host
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$scratch/munge/socket
StateSaveLocation=$scratch/state
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
SlurmctldLogFile=$scratch/log/slurmctld.log
SlurmdLogFile=$scratch/log/slurmd.log
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$host CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -D -f "$SLURM_CONF" >"$scratch/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$scratch/log/slurmd.out" 2>&1 &
pids+=($!)
daemons=(slurmctld slurmd)
# Called in every wait: nothing is left to wait for once a daemon is gone.
daemons_running() {
  local i status
  for i in "${!daemons[@]}"; do
    if ! kill -0 "${pids[$i]}" 2>/dev/null; then
      status=0
      wait "${pids[$i]}" || status=$?
      fail "${daemons[$i]} exited with status $status"
    fi
  done
  kill -0 "$(cat "$scratch/munge/pid" 2>/dev/null)" 2>/dev/null || fail "munged exited"
}
# Bounded waits, by the clock: a Slurm command may itself take seconds.
deadline=$((SECONDS + 30))
until [ "$(sinfo -h -o %T 2>/dev/null)" = idle ]; do
  daemons_running
  [ "$SECONDS" -lt "$deadline" ] || fail "the node did not become idle in 30 s"
  sleep 0.5
done

# The batch: 0p87 twice (0.87, 0.874), three reference points sharing
# 0p55 (0.55, 0.551, 0.549), size 5 twice, and a table that pauses at
# N = 300 (no convergence in svdcmp).
batch=$scratch/batch
/usr/bin/python3 "$repo/tools/make_examples.py" --out "$batch" --sizes 5 10 5 20 \
  --wavelengths 0.55 0.87 0.551 0.874 1.6 0.549 >/dev/null
/usr/bin/python3 - "$batch/tables/WVN_0p87_DE_010.dat" <<'PY'
import math, sys
g = 0.85
with open(sys.argv[1], "w") as table:
    table.write(f"10 0.55 0\n2.1 0.99 {g}\n")
    for i in range(498):
        theta = 180.0 * i / 497.0
        mu = math.cos(math.radians(theta))
        table.write("%.9g %.9g\n" % (theta, (1 - g * g) / (1 + g * g - 2 * g * mu) ** 1.5))
PY
mkdir -p "$batch/output"
cp -a "$batch" "$scratch/one" && cp -a "$batch" "$scratch/array"

now() { date +%s.%N; }
elapsed() { /usr/bin/python3 -c "print(f'{$2 - $1:.2f}')"; }
start=$(now)
(cd "$scratch/one" && "$phasefit" --on-pause=go tables/ output/ 0 300 >/dev/null 2>&1) ||
  fail "the one-process run failed"
echo "one run of all 24 jobs: $(elapsed "$start" "$(now)") s"

cd "$scratch/array"
mkdir -p logs
start=$(now)
job=$(PHASEFIT=$phasefit sbatch --parsable --array=0-3 \
  --cpus-per-task=$((cpus > 1 ? cpus / 2 : 1)) "$repo/examples/slurm/phasefit-array.sbatch") ||
  fail "sbatch refused the array"
deadline=$((SECONDS + 600))
until [ -z "$(squeue -h -j "$job" 2>/dev/null)" ]; do
  daemons_running
  [ "$SECONDS" -lt "$deadline" ] || fail "the array did not finish in 10 minutes"
  sleep 0.2
done
echo "array $job of 4 tasks, $cpus CPUs: submitted to finished in $(elapsed "$start" "$(now)") s"

states=$(scontrol -o show job "$job" | grep -o 'ArrayTaskId=[0-9]* .*JobState=[A-Z]*.*ExitCode=[0-9:]*' |
  sed 's/^ArrayTaskId=\([0-9]*\) .*JobState=\([A-Z]*\) .*ExitCode=\([0-9:]*\).*/\1 \2 \3/' | sort -n)
echo "$states"
[ "$(grep -c ' COMPLETED 0:0$' <<<"$states")" -eq 4 ] || fail "not every task completed with status 0"
for shard in 1 2 3 4; do
  [ -s "reports/report.$shard-of-4.tsv" ] || fail "shard $shard wrote no report"
done
diff -r "$scratch/one/output" "$scratch/array/output" || fail "the array's files differ from one run's"
leftovers=$(find "$scratch/array/output" -name '.*.tmp.*' | wc -l)
[ "$leftovers" -eq 0 ] || fail "$leftovers temporary files left"
echo "1 passed, 0 failed"
