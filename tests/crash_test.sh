#!/usr/bin/env bash
# Kills `vorpel select` with SIGKILL at random moments while it switches
# between two Profiles, and checks after every kill that the state file is
# absent or whole, that no lock is left held, that every file HOME held
# before is still in HOME or in the backup the killed select made, and that
# the next select succeeds and leaves exactly the selected Profile's files
# in HOME.
#
# usage: crash_test.sh VORPEL [KILLS] [FILES_PER_PROFILE] [STATE]
# STATE "home" (the default) keeps the state directory in HOME; "other"
# puts it on another file system, so that backups are copied, not moved: a
# tmpfs mounted for the run as root, else /dev/shm when that is another file
# system than TMPDIR. Without either the run is skipped (exit status 77).
set -euo pipefail
vorpel=$1
kills=${2:-200}
files=${3:-2000}
state=${4:-home}

work=$(mktemp -d)
# shellcheck source=support/state_dir.sh
. "$(dirname "$0")/support/state_dir.sh"
cleanup() {
  release_state_dir
  rm -rf "$work"
}
trap cleanup EXIT
share=$work/share
root=$share/vorpel/profiles
home=$work/home
mkdir -p "$home"
export HOME=$home VORPEL_PROFILE_ROOT=$root
place_state_dir "$state" "$work" "$home" 512m vorpel-crash

make_profile() {
  local id=$1 i d
  mkdir -p "$root/$id" "$share/$id/bin"
  printf 'schema = 4\nname = "%s"\nmanage = [".config", "bin"]\n' "$id" >"$root/$id/profile.toml"
  for ((i = 0; i < files; i++)); do
    d=$share/$id/.config/d$((i % 40))
    [ -d "$d" ] || mkdir -p "$d"
    printf '%s file %d\n' "$id" "$i" >"$d/f$i"
  done
  printf '#!/bin/sh\necho %s\n' "$id" >"$share/$id/bin/tool"
  printf 'seed of %s\n' "$id" >"$share/$id/.seed-$id"
}
make_profile one
make_profile two

now_us() { echo $(( $(date +%s%N) / 1000 )); }

# One undisturbed switch tells how long a select takes here; kills land
# anywhere from its start to a little past its end.
"$vorpel" select one >/dev/null
start=$(now_us)
"$vorpel" select two >/dev/null
span=$(( ($(now_us) - start) * 12 / 10 + 1000 ))

# The files of Profile $1 found in HOME or in the backup directories named
# by the remaining arguments, each counted once.
count_kept() {
  local id=$1 b places=("$home/.config" "$home/bin")
  shift
  for b in "$@"; do places+=("$state_dir/backups/$b/home/.config" "$state_dir/backups/$b/home/bin"); done
  { find "${places[@]}" -type f -exec cat {} + 2>/dev/null || true; } |
    { grep -E "^($id file [0-9]+|echo $id)\$" || true; } | sort -u | wc -l
}
backups_now() { ls "$state_dir/backups" 2>/dev/null || true; }

torn=0 stale=0 failed=0 wrong=0 lost=0
target=one
for ((k = 0; k < kills; k++)); do
  [ "$target" = one ] && held=two || held=one
  before=$(backups_now)
  "$vorpel" select "$target" >/dev/null 2>&1 &
  pid=$!
  delay=$(( (RANDOM * 32768 + RANDOM) % span ))
  sleep "$(printf '%d.%06d' $((delay / 1000000)) $((delay % 1000000)))"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true

  if [ -e "$state_dir/state.toml" ] && ! "$vorpel" current >/dev/null 2>&1; then
    torn=$((torn + 1))
    echo "torn state file after kill $k:" >&2
    cat "$state_dir/state.toml" >&2
  fi
  # Older backups hold copies of these files too: only the new one counts.
  mapfile -t made < <(comm -13 <(echo "$before") <(backups_now))
  kept=$(count_kept "$held" "${made[@]}")
  if [ "$kept" -ne $((files + 1)) ]; then
    lost=$((lost + files + 1 - kept))
    echo "$((files + 1 - kept)) files of $held neither in HOME nor in the backup after kill $k" >&2
  fi
  if [ -e "$state_dir/lock" ] && ! flock -n "$state_dir/lock" true; then
    stale=$((stale + 1))
    echo "lock still held after kill $k" >&2
  fi
  # Recover by selecting the other Profile all the way through.
  [ "$target" = one ] && target=two || target=one
  if ! out=$("$vorpel" select "$target" 2>&1); then
    failed=$((failed + 1))
    echo "select $target failed after kill $k: $out" >&2
  elif ! diff -r "$share/$target/.config" "$home/.config" >/dev/null ||
       ! diff -r "$share/$target/bin" "$home/bin" >/dev/null; then
    wrong=$((wrong + 1))
    echo "HOME does not hold $target after kill $k" >&2
  fi
  [ "$target" = one ] && target=two || target=one
done

echo "state directory: $state; kills: $kills, torn state files: $torn, stale locks: $stale, lost files: $lost, failed recoveries: $failed," \
  "wrong HOME contents: $wrong"
[ $((torn + stale + lost + failed + wrong)) -eq 0 ]
