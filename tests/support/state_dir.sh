# Sourced by the whole-process test scripts: puts the state directory where
# their STATE argument says, beside HOME ("home") or on another file system
# ("other", so that backups are copied rather than moved): a tmpfs mounted
# for the run as root, else /dev/shm when that is another file system than
# WORK. Without either the run is skipped (exit status 77).
#
# usage: place_state_dir STATE WORK HOME TMPFS_SIZE NAME
# Sets state_dir (and XDG_STATE_HOME for "other"); release_state_dir takes
# down what it set up.
place_state_dir() {
  local state=$1 work=$2 home=$3 size=$4 name=$5
  case $state in
    home)
      unset XDG_STATE_HOME
      state_dir=$home/.local/state/vorpel
      ;;
    other)
      if [ "$(id -u)" -eq 0 ]; then
        mkdir "$work/state-fs"
        mount -t tmpfs -o "size=$size" tmpfs "$work/state-fs"
        state_mount=$work/state-fs
        export XDG_STATE_HOME=$work/state-fs
      elif [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$work")" ]; then
        XDG_STATE_HOME=$(mktemp -d "/dev/shm/$name-XXXXXX")
        state_scratch=$XDG_STATE_HOME
        export XDG_STATE_HOME
      else
        echo "skipped: no second file system for the state directory (not root, no separate /dev/shm)"
        exit 77
      fi
      state_dir=$XDG_STATE_HOME/vorpel
      ;;
    *)
      echo "unknown STATE $state" >&2
      exit 2
      ;;
  esac
}

state_mount=
state_scratch=
release_state_dir() {
  if [ -n "$state_mount" ]; then umount -l "$state_mount" || true; fi
  if [ -n "$state_scratch" ]; then rm -rf "$state_scratch"; fi
}
