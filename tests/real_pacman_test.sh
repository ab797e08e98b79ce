#!/usr/bin/env bash
# Runs vorpel against the real pacman, in a root of the test's own: tiny
# packages built with makepkg, a local file:// repository, and a pacman
# configuration whose every directory lies in the test's temporary
# directory. A `sudo` that runs its arguments and a `pacman` that adds that
# configuration (and --noconfirm) come first on PATH. Nothing is installed
# into the machine's own root; the test checks that its database is
# unchanged.
#
# usage: real_pacman_test.sh VORPEL
set -euo pipefail
vorpel=$1

for tool in /usr/bin/pacman makepkg repo-add bsdtar fakeroot; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done

system_db=/var/lib/pacman/local
system_db_listing() {
  if [ -e "$system_db" ]; then
    find "$system_db" -printf '%p %y %s %T@\n' | LC_ALL=C sort
  else
    echo "absent"
  fi
}
system_db_before=$(system_db_listing)

work=$(mktemp -d)
root=$work/root
cleanup() {
  # A scriptlet left waiting by a failed check ends once its hold is gone.
  rm -f "$root/tmp/vt-hold"
  rm -rf "$work"
}
trap cleanup EXIT
# makepkg runs as `nobody` when the test is root; it must reach its
# directories.
chmod 755 "$work"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_eq() {  # description, expected, actual
  if [ "$2" != "$3" ]; then
    fail "$1"
    printf '  expected: %s\n  actual:   %s\n' "$2" "$3" >&2
  fi
}

# ---- packages, built once for every case ---------------------------------
build=$work/build
mkdir -p "$build/src" "$build/pkgs"
cat >"$build/src/PKGBUILD" <<'PKGBUILD'
pkgbase=vt
pkgname=(vt-seed vt-one vt-two vt-zz vt-base vt-app vt-lib vt-tool vt-core vt-top vt-real vt-first vt-slow)
pkgver=1
pkgrel=1
pkgdesc="vorpel test package"
arch=(any)
license=(none)
_put() { mkdir -p "$pkgdir/usr/share/vorpel-test"; echo "$pkgname" >"$pkgdir/usr/share/vorpel-test/$pkgname"; }
package_vt-seed() { _put; }
package_vt-one() { groups=(vt-group); _put; }
package_vt-two() { groups=(vt-group); _put; }
package_vt-zz() { _put; }
package_vt-base() { _put; }
package_vt-app() { depends=(vt-base); _put; }
package_vt-lib() { _put; }
package_vt-tool() { depends=(vt-lib); _put; }
package_vt-core() { _put; }
package_vt-top() { depends=(vt-core); _put; }
package_vt-real() { provides=(vt-virtual); _put; }
package_vt-first() { _put; }
package_vt-slow() { depends=(vt-first); install=vt-slow.install; _put; }
PKGBUILD
# While /tmp/vt-hold exists in the sandbox root, installing vt-slow waits in
# its scriptlet, after marking that it got there: pacman can then be
# interrupted at a known point, after vt-first and before vt-slow.
cat >"$build/src/vt-slow.install" <<'SCRIPTLET'
pre_install() {
  if [ -e /tmp/vt-hold ]; then
    : >/tmp/vt-started
    while [ -e /tmp/vt-hold ]; do sleep 0.1; done
  fi
}
SCRIPTLET
# makepkg's PKGBUILD checks start a few hundred processes per package and
# take most of its time; the PKGBUILD above is fixed, so a copy of its
# library without them serves.
library=$work/makepkg-library
cp -r /usr/share/makepkg "$library"
printf 'lint_pkgbuild() { return 0; }\n' >"$library/lint_pkgbuild.sh"
chmod -R a+rwX "$build" "$library"
as_builder() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups env HOME="$build" "$@"
  else
    "$@"
  fi
}
if ! (cd "$build/src" &&
      as_builder env LIBRARY="$library" PKGDEST="$build/pkgs" BUILDDIR="$build/work" SRCDEST="$build/sources" \
        PKGEXT=.pkg.tar makepkg --nodeps --noconfirm) >"$work/makepkg.log" 2>&1; then
  cat "$work/makepkg.log" >&2
  echo "FAIL: makepkg" >&2
  exit 1
fi
repo=$work/repo
mkdir -p "$repo"
cp "$build"/pkgs/*.pkg.tar "$repo/"
repo-add -q "$repo/vt.db.tar" "$repo"/*.pkg.tar

# ---- the sandbox root and the programs on PATH ----------------------------
mkdir -p "$root/db" "$root/cache" "$root/gnupg" "$root/hooks" "$root/tmp"
chmod 1777 "$root/tmp"
# pacman runs install scriptlets with /bin/sh in a chroot of the root, and
# skips them when that shell is missing: the root gets a shell, sleep and
# their libraries. Only root may chroot.
scriptlets=no
if [ "$(id -u)" -eq 0 ]; then
  for tool in /bin/sh /bin/sleep; do
    for file in "$tool" $(ldd "$(readlink -f "$tool")" | grep -o '/[^ ]*'); do
      mkdir -p "$root$(dirname "$file")"
      cp -L "$file" "$root$file"
    done
  done
  scriptlets=yes
fi
conf=$work/pacman.conf
cat >"$conf" <<CONF
[options]
RootDir = $root
DBPath = $root/db/
CacheDir = $root/cache/
LogFile = $root/pacman.log
GPGDir = $root/gnupg/
HookDir = $root/hooks/
Architecture = auto
SigLevel = Never

[vt]
SigLevel = Never
Server = file://$repo
CONF
bin=$work/bin
mkdir -p "$bin"
# Each pacman run leaves its process id, so that a case can signal the one
# that is installing.
printf '#!/bin/sh\necho $$ >"%s"\nexec /usr/bin/pacman --config "%s" --noconfirm "$@"\n' \
  "$work/pacman.pid" "$conf" >"$bin/pacman"
if [ "$(id -u)" -eq 0 ]; then
  printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
else
  # pacman insists on root for changes; fakeroot grants that inside the
  # sandbox, which the user owns.
  printf '#!/bin/sh\nexec fakeroot -- "$@"\n' >"$bin/sudo"
fi
chmod 755 "$bin/pacman" "$bin/sudo"

home=$work/home
share=$work/share
profiles=$share/vorpel/profiles
state=$home/.local/state/vorpel/state.toml
mkdir -p "$home" "$profiles"
export HOME=$home VORPEL_PROFILE_ROOT=$profiles PATH=$bin:$PATH
unset XDG_STATE_HOME

sudo pacman -Sy >/dev/null
# `pacman -Qq` fails on an empty database: one package is there first.
sudo pacman -S vt-seed >/dev/null

# A Profile: id, packages and managed paths as TOML array bodies; each
# managed path gets a file in the content root.
profile() {
  local id=$1 packages=$2 manage=${3:-} path
  mkdir -p "$profiles/$id" "$share/$id"
  printf 'schema = 4\nname = "%s"\npackages = [%s]\nmanage = [%s]\n' "$id" "$packages" "$manage" \
    >"$profiles/$id/profile.toml"
  for path in $(printf '%s' "$manage" | tr -d '",'); do
    mkdir -p "$share/$id/$path"
    echo "$id" >"$share/$id/$path/conf"
  done
}

# Runs vorpel; sets $status, $out (standard output, pacman's included) and
# $err.
run() {
  status=0
  out=$("$vorpel" "$@" 2>"$work/err") || status=$?
  err=$(cat "$work/err")
}
# Starts vorpel in the background, in a process group of its own as a
# shell's job is, so that a Ctrl-C can be sent to the whole group; $job is
# its process id. finish_job waits for it and sets what run sets.
start_job() {
  set -m
  "$vorpel" "$@" >"$work/job-out" 2>"$work/job-err" &
  job=$!
  set +m
}
finish_job() {
  status=0
  # (bash's own report of a killed job is not wanted.)
  { wait "$job"; } 2>/dev/null || status=$?
  out=$(cat "$work/job-out")
  err=$(cat "$work/job-err")
}
wait_for() {  # a test command, then at most 30 s
  local i
  for i in $(seq 300); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}
# Holds the next install of vt-slow in its scriptlet until release; sets
# $pacman_pid to the pacman that is installing it.
hold() {
  rm -f "$root/tmp/vt-started"
  : >"$root/tmp/vt-hold"
}
wait_for_hold() {
  if ! wait_for test -e "$root/tmp/vt-started"; then
    fail "$1: vt-slow's scriptlet never started"
    return 1
  fi
  pacman_pid=$(cat "$work/pacman.pid")
}
release() { rm -f "$root/tmp/vt-hold"; }
# A pacman killed mid-transaction leaves its lock, which a user removes.
drop_stale_lock() { rm -f "$root/db/db.lck"; }

installed() { pacman -Qq "$1" >/dev/null 2>&1; }
as_dependency() { pacman -Qqd "$1" >/dev/null 2>&1; }
as_explicit() { pacman -Qqe "$1" >/dev/null 2>&1; }
introduced() { awk '/^introduced_packages/ { p = 1 } p { print } p && /]/ { exit }' "$state" | tr -d ' \n'; }
recorded() { introduced | grep -qF "\"$1\""; }
# Checks, after a case, that the state records exactly the given packages
# among the named ones, and that pacman has exactly those installed.
expect_books() {  # case, names recorded and installed..., -- names neither
  local what=$1 name
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    recorded "$1" || fail "$what: $1 is not recorded ($(introduced))"
    installed "$1" || fail "$what: $1 is not installed"
    shift
  done
  [ $# -gt 0 ] && shift
  for name in "$@"; do
    recorded "$name" && fail "$what: $name is recorded ($(introduced))"
    installed "$name" && fail "$what: $name is installed"
  done
  return 0
}

# ---- install, and --packages verify before and after ---------------------
profile one '"vt-one", "vt-seed"' '".config/one"'
run select one --packages verify
expect_eq "verify of an absent package: status" 2 "$status"
expect_eq "verify of an absent package: error" "error: Profile packages are not installed: vt-one" "$err"
[ ! -e "$state" ] || fail "verify of an absent package saved a state"
installed vt-one && fail "verify installed vt-one"

run select one
expect_eq "select one: status ($err)" 0 "$status"
installed vt-one || fail "select one did not install vt-one"
# vt-seed was installed before: not introduced.
expect_eq "select one: introduced" 'introduced_packages=["vt-one"]' "$(introduced)"
run select one --packages verify
expect_eq "verify of present packages: status ($err)" 0 "$status"
expect_eq "verify of present packages: output" "Profile one is active." "$(tail -n 1 <<<"$out")"

# ---- a package the repository lacks: pacman fails, nothing saved ---------
profile ghost '"vt-missing"'
cp "$state" "$work/state-before"
run select ghost
expect_eq "missing package: status" 2 "$status"
expect_eq "missing package: error" "error: pacman installation failed with exit status: 1" "$(tail -n 1 "$work/err")"
cmp -s "$state" "$work/state-before" || fail "missing package changed the state file"

# ---- a group or a provided name: refused before pacman installs ----------
profile group '"vt-group"'
run select group
expect_eq "group: status" 2 "$status"
expect_eq "group: error" \
  "error: Profiles declare package names, not groups or provided names: vt-group resolves to vt-one, vt-two" "$err"
profile virtual '"vt-zz", "vt-virtual"'
run select virtual
expect_eq "provided name: status" 2 "$status"
expect_eq "provided name: error" \
  "error: Profiles declare package names, not groups or provided names: vt-virtual resolves to vt-real" "$err"
cmp -s "$state" "$work/state-before" || fail "a refused name changed the state file"
expect_books "refused names" -- vt-two vt-real vt-zz

# ---- installed, then the application fails: still recorded, then pruned --
# What HOME would refuse is refused before pacman runs, so the failure is
# the snapshot's copy of a file larger than the run may write.
profile w '"vt-zz"' '".w/app"'
head -c $((8 << 20)) /dev/zero >"$share/w/.w/app/big"
status=0
out=$(trap '' XFSZ; ulimit -f 4096; exec "$vorpel" select w 2>"$work/err") || status=$?
err=$(cat "$work/err")
expect_eq "failing select w: status" 2 "$status"
case $err in "error: I/O at $home/"*"/.w/app/big: File too large"*) ;; *) fail "failing select w: error was: $err" ;; esac
expect_books "failing select w" vt-zz vt-one
run prune
expect_eq "prune after the failing select: status ($err)" 0 "$status"
expect_books "prune after the failing select" vt-one -- vt-zz

# ---- prune marks only what the removal takes, and records it -------------
# The user's own vt-tool needs vt-lib, which Profile lib declares; Profile
# beta declares vt-base, which comes in with alpha's vt-app.
sudo pacman -S vt-tool >/dev/null
profile lib '"vt-lib"'
profile alpha '"vt-app"'
profile beta '"vt-base"'
for id in lib alpha beta; do
  run select "$id"
  expect_eq "select $id: status ($err)" 0 "$status"
done
as_dependency vt-base || fail "vt-base did not come in as a dependency"
run remove alpha
expect_eq "remove alpha: status ($err)" 0 "$status"
run prune
expect_eq "prune of vt-app: status ($err)" 0 "$status"
installed vt-app && fail "prune left vt-app installed"
as_explicit vt-base || fail "prune did not keep vt-base as explicitly installed"
recorded vt-base || fail "prune did not record vt-base, which it marked"
as_dependency vt-lib || fail "prune changed the install reason of vt-lib, which the removal did not touch"
recorded vt-lib && fail "prune recorded vt-lib"
run select beta --packages verify
expect_eq "verify beta after prune: status ($err)" 0 "$status"
run select lib
run remove beta
run prune
expect_eq "prune after beta is gone: status ($err)" 0 "$status"
expect_books "prune after beta is gone" -- vt-base
installed vt-lib || fail "prune removed vt-lib, which lib declares and vt-tool needs"

# ---- a candidate still required is kept; the rest go, every time ---------
# b declares vt-core, c declares vt-two, a declares vt-top, which needs
# vt-core.
profile b '"vt-core"'
profile c '"vt-two"'
profile a '"vt-top"'
for id in b c a; do
  run select "$id"
  expect_eq "select $id: status ($err)" 0 "$status"
done
run remove b
run remove c
run prune
expect_eq "prune keeping vt-core: status ($err)" 0 "$status"
expect_eq "prune keeping vt-core: output" "Kept vt-core: still required by vt-top.
Unused Vorpel packages were pruned." "$(grep -E '^(Kept|Unused|No unused)' <<<"$out")"
expect_books "prune keeping vt-core" vt-core vt-top -- vt-two
as_explicit vt-core || fail "prune keeping vt-core: its install reason changed"
cp "$state" "$work/state-before"
run prune
expect_eq "second prune keeping vt-core: status ($err)" 0 "$status"
expect_eq "second prune keeping vt-core: output" "Kept vt-core: still required by vt-top.
No unused Vorpel packages could be pruned." "$out"
cmp -s "$state" "$work/state-before" || fail "second prune keeping vt-core changed the state file"

# ---- pacman interrupted part-way: what it installed is what is recorded --
if [ "$scriptlets" = yes ]; then
  profile slow '"vt-first", "vt-slow", "vt-zz"'

  # pacman killed while it installs vt-slow: vt-first is in.
  hold
  start_job select slow
  if wait_for_hold "killed pacman"; then
    kill -TERM "$pacman_pid"
    finish_job
    release
    expect_eq "killed pacman: status" 2 "$status"
    expect_eq "killed pacman: error" "error: pacman installation failed with signal: 15 (SIGTERM)" "$err"
    drop_stale_lock
    expect_books "killed pacman" vt-first -- vt-slow vt-zz
    as_explicit vt-first || fail "killed pacman: vt-first is not explicitly installed"
    run prune
    expect_eq "prune after the killed pacman: status ($err)" 0 "$status"
    expect_books "prune after the killed pacman" -- vt-first vt-slow vt-zz
  else
    release
    finish_job
  fi

  # Ctrl-C at the terminal reaches vorpel too, which lives on and records;
  # pacman ends the transaction after the package it was at, with status 0.
  hold
  start_job select slow
  if wait_for_hold "Ctrl-C"; then
    kill -INT -- "-$job"
    finish_job
    release
    expect_eq "Ctrl-C: status ($err)" 2 "$status"
    # pacman's own messages come first, on the same stream.
    case $(tail -n 1 <<<"$err") in "error: pacman installation "*) ;; *) fail "Ctrl-C: error was: $err" ;; esac
    for name in vt-first vt-slow vt-zz; do
      if installed "$name"; then
        recorded "$name" || fail "Ctrl-C: $name is installed but not recorded"
        as_explicit "$name" || fail "Ctrl-C: $name is not explicitly installed"
      else
        recorded "$name" && fail "Ctrl-C: $name is recorded but not installed"
      fi
    done
    installed vt-zz && fail "Ctrl-C: pacman went on to vt-zz"
    [ -e "$home/.config/slow" ] && fail "Ctrl-C: HOME changed"
    run prune
    expect_eq "prune after Ctrl-C: status ($err)" 0 "$status"
    expect_books "prune after Ctrl-C" -- vt-first vt-slow vt-zz
  else
    release
    finish_job
  fi

  # vorpel killed while pacman installs: what it was about to install is
  # recorded already, and pacman finishes on its own.
  hold
  start_job select slow
  if wait_for_hold "killed vorpel"; then
    kill -KILL "$job"
    finish_job
    release
    wait_for sh -c '! kill -0 "$1" 2>/dev/null' - "$pacman_pid" || fail "killed vorpel: pacman never ended"
    expect_eq "killed vorpel: status" 137 "$status"
    expect_books "killed vorpel" vt-first vt-slow vt-zz
    for name in vt-first vt-slow vt-zz; do
      as_explicit "$name" || fail "killed vorpel: $name is not explicitly installed"
    done
    run prune
    expect_eq "prune after the killed vorpel: status ($err)" 0 "$status"
    expect_books "prune after the killed vorpel" -- vt-first vt-slow vt-zz
  else
    release
    finish_job
  fi
else
  echo "interruptions skipped: scriptlets need root to chroot"
fi

# ---- the machine's own pacman database is untouched ----------------------
[ -s "$root/pacman.log" ] || fail "pacman did not log into the sandbox root"
expect_eq "the machine's pacman database" "$system_db_before" "$(system_db_listing)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
