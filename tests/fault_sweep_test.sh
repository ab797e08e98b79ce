#!/usr/bin/env bash
# Makes one system call fail at a time, under strace, while `vorpel` switches
# Profiles (`select two`), selects the active one again (`select one`) and
# updates it (`update one`), in a small world: HOME with the user's own files
# in a given-up tree (one of them hard-linked from outside it), a given-up
# file, a seed file of the Profile switched to, and the fake pacman and sudo.
# For every call of every listed system call (every STRIDE-th one) the world
# is copied afresh (strace counts per process: pacman's and sudo's call of
# that number fails too), and after the run it checks that
#  - the command exited 0 or 2 (101 when it could not print, 127 only when
#    the loader, or a sanitizer's runtime, could not start it, with HOME
#    untouched), never by a signal;
#  - every file HOME held before, by path and content, is in HOME or in the
#    backup named by a "Backup: PATH" line of the run (on standard error
#    when standard output fails);
#  - a failure that named no backup left HOME exactly as it was;
#  - a success left HOME and the state file as an undisturbed run does;
#  - the state file is valid (`vorpel current`), and selecting the
#    originally active Profile then succeeds; a state file neither the old
#    nor the undisturbed run's (packages recorded by a failed switch) is
#    listed at the end;
#  - no empty backup directory is left, before or after that.
#
# usage: fault_sweep_test.sh VORPEL FAKES [STRIDE] [STATE] [ONLY]
# STRIDE 1 (the default) tries every call; larger ones try the first, the
# last and every STRIDE-th between. STATE "home" (the default) keeps the
# state directory in HOME; "other" puts it on another file system (a tmpfs
# mounted as root, else /dev/shm when that is another one; skipped, status
# 77, without either), so that backups are copied. ONLY ("select
# two,openat,EIO,81") runs that one case and keeps its world, printing
# where, to look at by hand.
set -euo pipefail
vorpel=$1
fakes=$2
stride=${3:-1}
state=${4:-home}
only=${5:-}

if ! command -v strace >/dev/null || ! strace -qq -o /dev/null /bin/true 2>/dev/null; then
  echo "skipped: strace is not installed or cannot trace here"
  exit 77
fi

work=$(mktemp -d)
# shellcheck source=support/state_dir.sh
. "$(dirname "$0")/support/state_dir.sh"
cleanup() {
  release_state_dir
  rm -rf "$work"
}
[ -n "$only" ] || trap cleanup EXIT
world=$work/world
pristine=$work/pristine
home=$world/home
place_state_dir "$state" "$work" "$home" 64m vorpel-sweep
# A sanitized build's leak check cannot run under a tracer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0
export HOME=$home VORPEL_PROFILE_ROOT=$world/share/vorpel/profiles PATH=$fakes:$PATH
export VORPEL_FAKE_INSTALLED=$world/installed VORPEL_FAKE_LOG=$world/fake.log
cd "$work"

make_profile() {
  local id=$1 package=$2 content=$world/share/$1
  mkdir -p "$VORPEL_PROFILE_ROOT/$id" "$content/.cfg/sub"
  printf 'schema = 4\nname = "%s"\npackages = ["%s"]\nmanage = [".cfg", ".rc"]\n' "$id" "$package" \
    >"$VORPEL_PROFILE_ROOT/$id/profile.toml"
  echo "$id app" >"$content/.cfg/app"
  echo "$id sub" >"$content/.cfg/sub/conf"
  echo "$id rc" >"$content/.rc"
  echo "seed of $id" >"$content/.seed-$id"
}

mkdir -p "$home/.cfg"
make_profile one zsh
make_profile two git
echo zsh >"$VORPEL_FAKE_INSTALLED"
echo old >"$home/.cfg/old"
echo "my rc" >"$home/.rc"
echo notes >"$home/notes"
echo "my own seed" >"$home/.seed-two"
"$vorpel" select one >/dev/null
# What the user did since: files of their own in the given-up tree, one
# hard-linked from outside it, an edited given-up file; and a changed
# content root for the update.
mkdir -p "$home/.cfg/mine/deep"
echo x >"$home/.cfg/mine/deep/x"
echo y >"$home/.cfg/mine/y"
echo linked >"$home/.cfg/linked"
ln "$home/.cfg/linked" "$home/linked-too"
echo more >>"$home/.rc"
echo "one app v2" >"$world/share/one/.cfg/app"
echo new >"$world/share/one/.cfg/new"
cp -a "$world" "$pristine"
[ "$state" = home ] || cp -a "$state_dir" "$pristine.state"

reset_world() {
  rm -rf "$world"
  cp -a "$pristine" "$world"
  if [ "$state" != home ]; then
    rm -rf "$state_dir"
    cp -a "$pristine.state" "$state_dir"
  fi
}
# Kind, mode, link count and path of everything in HOME outside the state
# directory, then the content of each file.
home_tree() {
  (cd "$home" && find . -path ./.local/state/vorpel -prune -o -printf '%y %m %n %P\n' | sort &&
    find . -path ./.local/state/vorpel -prune -o -type f -printf '%P\0' | sort -z | xargs -0r sha256sum)
}
home_files() {
  (cd "$home" && find . -path ./.local/state/vorpel -prune -o -type f -printf '%P\0' | sort -z | xargs -0r sha256sum)
}
# Backup directories holding nothing, or nothing but an empty "home" (an
# empty directory taken from HOME is something).
empty_backups() {
  local d
  for d in "$state_dir"/backups/*/; do
    [ -d "$d" ] || continue
    [ -n "$(find "$d" -mindepth 1 ! -path "${d}home" -print -quit)" ] || echo "${d%/}"
  done
}

# Those a run does not make are skipped.
syscalls=(openat rename renameat renameat2 unlinkat rmdir mkdir mkdirat copy_file_range write fsync fdatasync
          fchmod fchmodat chmod linkat ftruncate getdents64 newfstatat statx read)
trace_set=$(IFS=,; echo "${syscalls[*]}")
before_tree=$(cd "$work" && reset_world && home_tree)
before_files=$(reset_world && home_files)
before_state=$(cat "$state_dir/state.toml")

runs=0 faults=0 failed_clean=0 named=0
declare -A seen_states=()
fault() {
  faults=$((faults + 1))
  echo "FAULT [$label]: $*" >&2
}

for command in "select two" "select one" "update one"; do
  read -ra args <<<"$command"
  # The undisturbed run: what a success leaves, and how often each process
  # makes each call (strace counts per process).
  reset_world
  strace -f -qq -e signal=none -e trace="$trace_set" -o "$work/trace" "$vorpel" "${args[@]}" >/dev/null
  good_tree=$(home_tree)
  good_state=$(cat "$state_dir/state.toml")
  declare -A most=()
  while read -r name count; do most[$name]=$count; done < <(
    awk '$2 !~ /^<\.\.\./ { split($2, a, "("); n[$1 " " a[1]]++ }
         END { for (k in n) { split(k, b, " "); if (n[k] > m[b[2]]) m[b[2]] = n[k] } for (s in m) print s, m[s] }' \
      "$work/trace")
  for sys in "${syscalls[@]}"; do
    calls=${most[$sys]:-0}
    [ "$calls" -gt 0 ] || continue
    errors=(EIO)
    case $sys in write | copy_file_range) errors+=(ENOSPC) ;; esac
    for err in "${errors[@]}"; do
      for ((n = 1; n <= calls; n++)); do
        if [ "$n" -ne 1 ] && [ "$n" -ne "$calls" ] && [ $((n % stride)) -ne 0 ]; then continue; fi
        label="$command, $sys=$err at call $n of $calls"
        [ -z "$only" ] || [ "$only" = "$command,$sys,$err,$n" ] || continue
        runs=$((runs + 1))
        reset_world
        status=0
        strace -f -qq -o /dev/null -e signal=none -e trace="$sys" -e inject="$sys:error=$err:when=$n" \
          "$vorpel" "${args[@]}" >"$work/out" 2>"$work/err" || status=$?
        # A sanitizer's runtime gives up on a failed write of its own before
        # the tool starts, ending the process with status 0: not a success.
        unstarted=
        if grep -q 'error while loading shared libraries' "$work/err"; then unstarted=loader; fi
        if [ "$status" -eq 0 ] && grep -q '^SanitizerTool: CHECK failed' "$work/err"; then
          status=127 unstarted=sanitizer
        fi
        # Without the environment (its read failed) the leak check runs at
        # the end after all, and fails under the tracer: the status is lost,
        # what the command did is checked as after a failure.
        if [ "$status" -eq 1 ] && grep -q 'LeakSanitizer does not work under ptrace' "$work/err"; then status=2; fi
        out=$(cat "$work/out")
        # Where standard output fails, the backup is named on standard error.
        backup=$(sed -n 's/^Backup: //p' "$work/out" "$work/err" | head -n 1)
        [ -z "$backup" ] || named=$((named + 1))
        [ "$status" -eq 0 ] || failed_clean=$((failed_clean + 1))
        after_tree=$(home_tree)
        case $status in
          0 | 2) ;;
          101) grep -q '^failed printing to std' "$work/err" || fault "exit 101: $(cat "$work/err")" ;;
          127)
            if [ -z "$unstarted" ] || [ "$after_tree" != "$before_tree" ]; then
              fault "exit 127: $(cat "$work/err")"
            fi
            ;;
          *) fault "exit status $status: $(cat "$work/err")" ;;
        esac
        # Every file of the user's, where it was or in the named backup.
        while read -r sum path; do
          if [ -f "$home/$path" ] && [ "$(sha256sum <"$home/$path" | cut -d' ' -f1)" = "$sum" ]; then continue; fi
          if [ -n "$backup" ] && [ -f "$backup/home/$path" ] &&
             [ "$(sha256sum <"$backup/home/$path" | cut -d' ' -f1)" = "$sum" ]; then continue; fi
          fault "$path is neither in HOME nor in the named backup (stdout: $out; stderr: $(cat "$work/err"))"
        done <<<"$before_files"
        if [ "$status" -ne 0 ] && [ -z "$backup" ] && [ "$after_tree" != "$before_tree" ]; then
          fault "failed without naming a backup and HOME changed: $(diff <(echo "$before_tree") <(echo "$after_tree") | tr '\n' ' ') (stderr: $(cat "$work/err"))"
        fi
        if [ "$status" -eq 0 ] && [ "$after_tree" != "$good_tree" ]; then
          fault "succeeded but HOME differs from an undisturbed run: $(diff <(echo "$good_tree") <(echo "$after_tree") | tr '\n' ' ')"
        fi
        if [ ! -f "$state_dir/state.toml" ]; then
          fault "state file gone"
        else
          state_text=$(cat "$state_dir/state.toml")
          if [ "$status" -eq 0 ] && [ "$state_text" != "$good_state" ]; then
            fault "succeeded with another state file: $state_text"
          fi
          if [ "$state_text" != "$before_state" ] && [ "$state_text" != "$good_state" ]; then
            seen_states[$state_text]=1
          fi
          "$vorpel" current >/dev/null 2>"$work/err2" || fault "current fails afterwards: $(cat "$work/err2")"
        fi
        for d in $(empty_backups); do fault "empty backup directory $d (stdout: $out; stderr: $(cat "$work/err"))"; done
        if [ -n "$only" ]; then
          echo "world after the run: $world (pristine: $pristine); stdout: $out; stderr: $(cat "$work/err")"
          exit 0
        fi
        if ! "$vorpel" select one >"$work/out2" 2>"$work/err2"; then
          fault "select one fails afterwards: $(cat "$work/err2")"
        elif ! diff -r "$state_dir/profiles/one/managed/.cfg" "$home/.cfg" >/dev/null; then
          fault "select one afterwards left HOME without its files"
        fi
        for d in $(empty_backups); do fault "empty backup directory $d after select one"; done
      done
    done
  done
  unset most
done

echo "states neither the old nor the undisturbed run's (each valid): ${#seen_states[@]}"
for s in "${!seen_states[@]}"; do echo "--- state:"; echo "$s"; done | head -n 60
echo "state directory: $state; runs: $runs, failed cleanly: $failed_clean, named a backup: $named, faults: $faults"
[ "$faults" -eq 0 ]
