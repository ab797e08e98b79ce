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
trap 'rm -rf "$work"' EXIT
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
cat >"$build/src/PKGBUILD" <<'EOF'
pkgbase=vt
pkgname=(vt-seed vt-one vt-zz vt-base vt-app vt-lib vt-tool)
pkgver=1
pkgrel=1
pkgdesc="vorpel test package"
arch=(any)
license=(none)
_put() { mkdir -p "$pkgdir/usr/share/vorpel-test"; echo "$pkgname" >"$pkgdir/usr/share/vorpel-test/$pkgname"; }
package_vt-seed() { _put; }
package_vt-one() { _put; }
package_vt-zz() { _put; }
package_vt-base() { _put; }
package_vt-app() { depends=(vt-base); _put; }
package_vt-lib() { _put; }
package_vt-tool() { depends=(vt-lib); _put; }
EOF
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
root=$work/root
mkdir -p "$root/db" "$root/cache" "$root/gnupg" "$root/hooks"
conf=$work/pacman.conf
cat >"$conf" <<EOF
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
EOF
bin=$work/bin
mkdir -p "$bin"
printf '#!/bin/sh\nexec /usr/bin/pacman --config "%s" --noconfirm "$@"\n' "$conf" >"$bin/pacman"
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

installed() { pacman -Qq "$1" >/dev/null 2>&1; }
as_dependency() { pacman -Qqd "$1" >/dev/null 2>&1; }
introduced() { awk '/^introduced_packages/ { p = 1 } p { print } p && /]/ { exit }' "$state" | tr -d ' \n'; }

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

# ---- installed, then the application fails: still recorded, then pruned --
profile w '"vt-zz"' '".w/app"'
printf 'a file where w needs a directory\n' >"$home/.w"
run select w
expect_eq "failing select w: status" 2 "$status"
case $err in "error: I/O at $home/.w"*) ;; *) fail "failing select w: error was: $err" ;; esac
installed vt-zz || fail "failing select w did not install vt-zz"
expect_eq "failing select w: introduced" 'introduced_packages=["vt-one","vt-zz",]' "$(introduced)"
rm "$home/.w"
run prune
expect_eq "prune after the failing select: status ($err)" 0 "$status"
installed vt-zz && fail "prune left vt-zz installed"
expect_eq "prune after the failing select: introduced" 'introduced_packages=["vt-one"]' "$(introduced)"

# ---- a dependency that another retained Profile declares survives prune --
profile alpha '"vt-app"'
profile beta '"vt-base"'
run select alpha
expect_eq "select alpha: status ($err)" 0 "$status"
as_dependency vt-base || fail "vt-base did not come in as a dependency"
run select beta
expect_eq "select beta: status ($err)" 0 "$status"
run remove alpha
expect_eq "remove alpha: status ($err)" 0 "$status"
run prune
expect_eq "prune of vt-app: status ($err)" 0 "$status"
installed vt-app && fail "prune left vt-app installed"
installed vt-base || fail "prune removed vt-base, which beta declares"
run select beta --packages verify
expect_eq "verify beta after prune: status ($err)" 0 "$status"

# ---- another package still requires a candidate: kept, recorded, named ---
profile lib '"vt-lib"'
run select lib
expect_eq "select lib: status ($err)" 0 "$status"
sudo pacman -S vt-tool >/dev/null
run select beta
run remove lib
expect_eq "remove lib: status ($err)" 0 "$status"
cp "$state" "$work/state-before"
run prune
expect_eq "kept prune: status ($err)" 0 "$status"
expect_eq "kept prune: output" "Kept vt-lib: still required by vt-tool.
No unused Vorpel packages could be pruned." "$out"
cmp -s "$state" "$work/state-before" || fail "kept prune changed the state file"
installed vt-lib || fail "kept prune removed vt-lib"

# ---- the machine's own pacman database is untouched ----------------------
[ -s "$root/pacman.log" ] || fail "pacman did not log into the sandbox root"
expect_eq "the machine's pacman database" "$system_db_before" "$(system_db_listing)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
