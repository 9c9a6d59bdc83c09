#!/usr/bin/env bash
# Pondrel's downloader (the launcher KVdl, one process per run as the service starts it) side
# by side with curl, wget and aria2c against the same camsim on 127.0.0.1.
#
# Every case runs its contenders interleaved, round after round (the order rotates each
# round), each round into a fresh directory. For every peer the script prints the ratio
# Pondrel ÷ peer of each round as min / median / max: a ratio below 1 means Pondrel took less
# time (or memory) than that peer. The machine's load (uptime) is printed before and after.
#
# Usage: bench/compare-downloaders.sh [--build DIR] [--rounds N] [--cases new,parallel,skip]
#   new       1,000 new pictures of 50 KB: KVdl, curl -K (connections reused), curl -K (a
#             new connection each), wget -i, aria2c -j1; and the peak resident memory of
#             each (GNU time's maximum resident set size)
#   parallel  16 runs at once of 250 new 50 KB pictures each: 16 KVdl against 16 curl -K
#   skip      a list of 100,000 pictures that are all stored already: KVdl against wget -nc
# Hold /work/build.lock (or keep the machine otherwise quiet) while it runs.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
rounds=11
cases=new,parallel,skip
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --cases) cases=$2; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
stage=$build/stage
for tool in "$stage/KVdl" "$stage/camsim" "$stage/pondrel" curl wget aria2c /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

work=$(mktemp -d /tmp/pondrel-compare-XXXXXX)
cams=()
cleanup() {
  local pid
  for pid in "${cams[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${cams[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A private installation: registry files, ROOT, runtime directory.
export PONDREL_REGISTRY=$work/system.reg PONDREL_USER_REGISTRY=$work/user.reg
export PONDREL_RUNTIME_DIR=$work/run PONDREL_SERVICE_MANAGER=none
mkdir -p "$work/root" "$work/run"
chmod 700 "$work/run"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELTA\\Orvane\\KV\\RIDAVOR\\1.0]\r\n"ROOT"="%s"\r\n' \
  "$work/root" >"$PONDREL_REGISTRY"

# Starts a camsim with the given options; sets $port.
start_camsim() {
  local portfile=$work/camsim-${#cams[@]}.port
  "$stage/camsim" --port-file "$portfile" "$@" >/dev/null &
  cams+=($!)
  for _ in $(seq 200); do [ -s "$portfile" ] && break; sleep 0.05; done
  port=$(cat "$portfile")
}

# Adds a server profile; prints its identifier.
add_server() { "$stage/pondrel" server add "$1" --host 127.0.0.1 --port "$2" --image-dir "$3"; }

# The camera's picture identifiers in list order.
picture_ids() {
  curl -s "http://127.0.0.1:$1/-kvidb-/enum?type=list&limit=0" | tr -d '\r' | cut -d' ' -f2-
}

# Seconds taken by a command (its output discarded); a failing command is reported.
seconds() {
  local t0=$EPOCHREALTIME rc=0
  "$@" >/dev/null 2>&1 || rc=$?
  local t1=$EPOCHREALTIME
  [ $rc = 0 ] || echo "  (round $round: '$1' ended with $rc)" >&2
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }'
}

declare -A label=(
  [kvdl]="Pondrel (KVdl)" [curl_reuse]="curl -K, connections reused"
  [curl_fresh]="curl -K, a new connection each" [wget_list]="wget -i"
  [aria2_list]="aria2c -j1"
)

# "min / median / max" of the numbers in a file.
spread() {
  sort -g "$1" | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.3f / %.3f / %.3f", v[1], m, v[NR] }'
}

# Ratios a ÷ b of two files of per-round figures, one per line.
ratios() { paste "$1" "$2" | awk '{ printf "%.4f\n", $1 / $2 }'; }

report_ratio() {  # label, pondrel file, peer file, goal text
  ratios "$2" "$3" >"$work/ratio"
  printf '  %-58s %s   %s\n' "$1" "$(spread "$work/ratio")" "$4"
}

# Runs the contenders named in $@ (functions taking the round's directory) in a rotated order;
# appends each one's seconds to $work/<case>.<name>, and the peak resident memory it left in
# <dir>.rss to $work/rss.<name>. A function pre_<name> prepares its run outside the timing.
run_round() {
  local case=$1; shift
  local names=("$@") n=$# i
  for ((i = 0; i < n; i++)); do
    local name=${names[$(((i + round) % n))]}
    local dir=$work/$case-$name
    rm -rf "$dir" "$dir.rss"
    mkdir -p "$dir"
    if declare -F "pre_$name" >/dev/null; then "pre_$name"; fi
    seconds "$name" "$dir" >>"$work/$case.$name"
    if [ -s "$dir.rss" ]; then tail -1 "$dir.rss" >>"$work/rss.$name"; fi
  done
}

echo "Pondrel's downloader side by side with curl, wget and aria2c; camsim on 127.0.0.1"
echo "machine: $(nproc) cores; load before: $(uptime | sed 's/.*load average: //') (1, 5, 15 min)"
echo "$(curl --version | head -1 | cut -d' ' -f1-2), $(wget --version | head -1 | cut -d' ' -f1-3), $(aria2c --version | head -1)"
echo "$rounds rounds per case, contenders interleaved, a fresh directory for every run"
echo "figures: min / median / max over the rounds; ratio = Pondrel ÷ peer (below 1: Pondrel needs less)"

# ---- 1,000 new pictures of 50 KB ----
if [[ ,$cases, == *,new,* ]]; then
  start_camsim --pictures 1000 --picture-size 51200 --threads 8
  new_port=$port
  new_dir=$work/new-img
  new_id=$(add_server new "$new_port" "$new_dir")
  base=http://127.0.0.1:$new_port/-kvidb-
  # The peers fetch what a run fetches: the status, the list and every picture.
  {
    echo "$base/status"
    echo "$base/enum?type=list&limit=0"
    picture_ids "$new_port" | sed "s|^|$base/data?|"
  } >"$work/new.urls"
  {
    echo 'silent'
    awk '{ printf "url = \"%s\"\noutput = \"%d.jpg\"\n", $0, NR }' "$work/new.urls"
  } >"$work/new.curl"
  { echo 'header = "Connection: close"'; cat "$work/new.curl"; } >"$work/new.curl-close"
  awk '{ printf "%s\n  out=%d.jpg\n", $0, NR }' "$work/new.urls" >"$work/new.aria2"

  # Each contender runs under GNU time, which writes its peak resident set (KB) to <dir>.rss.
  pre_kvdl() { rm -rf "$new_dir"; }
  kvdl() { /usr/bin/time -f %M -o "$1.rss" "$stage/KVdl" "/g $new_id,/l $1/dl.log,/t new"; }
  curl_reuse() { (cd "$1" && /usr/bin/time -f %M -o "$1.rss" curl -K "$work/new.curl"); }
  curl_fresh() { (cd "$1" && /usr/bin/time -f %M -o "$1.rss" curl -K "$work/new.curl-close"); }
  wget_list() { /usr/bin/time -f %M -o "$1.rss" wget -q -i "$work/new.urls" -P "$1"; }
  aria2_list() {
    /usr/bin/time -f %M -o "$1.rss" aria2c -q -j1 --file-allocation=none \
      --auto-file-renaming=false -i "$work/new.aria2" -d "$1"
  }
  for ((round = 0; round < rounds; round++)); do
    run_round new kvdl curl_reuse curl_fresh wget_list aria2_list
  done
  echo
  echo "1,000 new pictures of 50 KB (one run: status, list, pictures; $rounds rounds)"
  for name in kvdl curl_reuse curl_fresh wget_list aria2_list; do
    printf '  %-58s %s\n' "seconds, ${label[$name]}" "$(spread "$work/new.$name")"
  done
  report_ratio "time ratio Pondrel ÷ curl -K (connections reused)" \
    "$work/new.kvdl" "$work/new.curl_reuse" "goal: median ≤ 1.0"
  report_ratio "time ratio Pondrel ÷ curl -K (a new connection each)" \
    "$work/new.kvdl" "$work/new.curl_fresh" ""
  report_ratio "time ratio Pondrel ÷ wget -i" "$work/new.kvdl" "$work/new.wget_list" \
    "goal: median ≤ 0.9"
  report_ratio "time ratio Pondrel ÷ aria2c -j1" "$work/new.kvdl" "$work/new.aria2_list" ""
  printf '  %-58s %s\n' "peak resident memory in MB, Pondrel (KVdl, 1,000 pictures)" \
    "$(awk '{ printf "%.1f\n", $1 / 1024 }' "$work/rss.kvdl" >"$work/rss.kvdl.mb"; spread "$work/rss.kvdl.mb")   goal: ≤ 13"
  report_ratio "peak memory ratio Pondrel ÷ curl -K (connections reused)" "$work/rss.kvdl" "$work/rss.curl_reuse" ""
  report_ratio "peak memory ratio Pondrel ÷ wget -i" "$work/rss.kvdl" "$work/rss.wget_list" ""
fi

# ---- 16 runs at once ----
if [[ ,$cases, == *,parallel,* ]]; then
  # Kept connections hold a server thread each: room for 16 clients and some.
  start_camsim --pictures 250 --picture-size 51200 --threads 40
  par_port=$port
  base=http://127.0.0.1:$par_port/-kvidb-
  par_ids=()
  for i in $(seq 0 15); do par_ids+=("$(add_server "par$i" "$par_port" "$work/par-img$i")"); done
  {
    echo 'silent'
    {
      echo "$base/status"
      echo "$base/enum?type=list&limit=0"
      picture_ids "$par_port" | sed "s|^|$base/data?|"
    } | awk '{ printf "url = \"%s\"\noutput = \"%d.jpg\"\n", $0, NR }'
  } >"$work/par.curl"
  pre_kvdl16() { rm -rf "$work"/par-img*; }
  kvdl16() {
    local i pids=()
    for i in $(seq 0 15); do
      "$stage/KVdl" "/g ${par_ids[$i]},/l $1/dl$i.log,/t par$i" &
      pids+=($!)
    done
    local rc=0
    for i in "${pids[@]}"; do wait "$i" || rc=1; done
    return $rc
  }
  curl16() {
    local i pids=()
    for i in $(seq 0 15); do
      mkdir -p "$1/$i"
      (cd "$1/$i" && exec curl -K "$work/par.curl") &
      pids+=($!)
    done
    local rc=0
    for i in "${pids[@]}"; do wait "$i" || rc=1; done
    return $rc
  }
  for ((round = 0; round < rounds; round++)); do run_round par kvdl16 curl16; done
  echo
  echo "16 runs at once, 250 new pictures of 50 KB each, one camsim ($rounds rounds)"
  printf '  %-58s %s\n' "seconds, 16 Pondrel (KVdl) at once" "$(spread "$work/par.kvdl16")"
  printf '  %-58s %s\n' "seconds, 16 curl -K at once (connections reused)" "$(spread "$work/par.curl16")"
  report_ratio "time ratio 16 Pondrel ÷ 16 curl -K" "$work/par.kvdl16" "$work/par.curl16" \
    "goal: ≤ 1.0"
fi

# ---- 100,000 pictures stored already ----
if [[ ,$cases, == *,skip,* ]]; then
  start_camsim --pictures 100000 --picture-size 600 --threads 4
  skip_port=$port
  skip_dir=$work/skip-img
  skip_id=$(add_server skip "$skip_port" "$skip_dir")
  echo
  echo "100,000 stored pictures: filling the image directory once (not timed) ..."
  "$stage/KVdl" "/g $skip_id,/l $work/skip-fill.log,/t skip" || echo "  (the fill run ended with $?)"
  stored=$(find "$skip_dir/image" -name '*.jpg' | wc -l)
  # wget -nc skips a URL whose file is there: the same 100,000 names, made once.
  mkdir -p "$work/skip-wget"
  picture_ids "$skip_port" | sed "s|^|http://127.0.0.1:$skip_port/-kvidb-/data?|" >"$work/skip.urls"
  (cd "$work/skip-wget" && picture_ids "$skip_port" | sed 's/^/data?/' | xargs touch)
  kvdl_skip() { "$stage/KVdl" "/g $skip_id,/l $1/dl.log,/t skip"; }
  wget_skip() { wget -q -nc -i "$work/skip.urls" -P "$work/skip-wget"; }
  for ((round = 0; round < rounds; round++)); do run_round skip kvdl_skip wget_skip; done
  echo "a list of 100,000 pictures, $stored of them stored ($rounds rounds)"
  printf '  %-58s %s   %s\n' "seconds, Pondrel (KVdl: status, list, 100,000 skipped)" \
    "$(spread "$work/skip.kvdl_skip")" "goal: < 1 s"
  printf '  %-58s %s\n' "seconds, wget -nc -i (100,000 files there)" "$(spread "$work/skip.wget_skip")"
  report_ratio "time ratio Pondrel ÷ wget -nc" "$work/skip.kvdl_skip" "$work/skip.wget_skip" \
    "goal: ≤ 0.3"
fi

echo
echo "load after: $(uptime | sed 's/.*load average: //') (1, 5, 15 min)"
