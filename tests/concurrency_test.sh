#!/usr/bin/env bash
# Runs many `vorpel select`s at once among Profiles that each declare one
# package, with the fake pacman and sudo. The lock must serialise them: every
# run succeeds and the final state records every package as introduced.
#
# usage: concurrency_test.sh VORPEL FAKES_DIR [PROCESSES] [SELECTS_EACH]
set -euo pipefail
vorpel=$1
fakes=$2
processes=${3:-8}
each=${4:-25}
profiles=4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
share=$work/share
root=$share/vorpel/profiles
home=$work/home
mkdir -p "$home"
export HOME=$home VORPEL_PROFILE_ROOT=$root PATH=$fakes:$PATH
export VORPEL_FAKE_INSTALLED=$work/installed VORPEL_FAKE_LOG=$work/log
unset XDG_STATE_HOME
: >"$VORPEL_FAKE_INSTALLED"

for ((p = 0; p < profiles; p++)); do
  mkdir -p "$root/p$p" "$share/p$p/.config/p$p"
  printf 'schema = 4\nname = "p%d"\npackages = ["pkg%d"]\nmanage = [".config/p%d", ".p%d"]\n' \
    "$p" "$p" "$p" "$p" >"$root/p$p/profile.toml"
  printf 'config of p%d\n' "$p" >"$share/p$p/.config/p$p/rc"
  printf 'dot file of p%d\n' "$p" >"$share/p$p/.p$p"
done

worker() {
  local w=$1 i
  for ((i = 0; i < each; i++)); do
    if ! "$vorpel" select "p$(( (w + i * 3) % profiles ))" >/dev/null 2>"$work/err-$w-$i"; then
      echo "worker $w run $i failed: $(cat "$work/err-$w-$i")" >&2
      return 1
    fi
  done
}

pids=()
for ((w = 0; w < processes; w++)); do
  worker "$w" &
  pids+=($!)
done
failures=0
for pid in "${pids[@]}"; do
  wait "$pid" || failures=$((failures + 1))
done

state=$home/.local/state/vorpel/state.toml
introduced=$(sed -n '/^introduced_packages = \[/,/\]/p' "$state")
missing=0
for ((p = 0; p < profiles; p++)); do
  grep -q "\"pkg$p\"" <<<"$introduced" || { echo "pkg$p is not recorded as introduced" >&2; missing=$((missing + 1)); }
done
echo "processes: $processes x $each selects, failed workers: $failures, packages lost: $missing"
[ $((failures + missing)) -eq 0 ]
