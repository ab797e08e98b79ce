#!/usr/bin/env python3
"""Times vorpel on synthetic Profiles beside plain-tool baselines.

Every figure is measured in this one run, next to its baseline on the same
trees, so the ratios hold for this machine and this file system. Nothing here
asserts: it prints what it measured and which targets were met.
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024


def write_tree(root, files, large, large_size, seed_files, rng):
    """Writes a content tree: nested directories of mostly small files, a
    few large ones, and a few seed files outside the managed paths. Returns
    the managed paths."""
    managed = [".config", ".local/share/app", "bin"]
    weights = [0.6, 0.3, 0.1]
    chunk = os.urandom(MIB)
    made = 0
    dirs = {}

    def directory_for(top):
        # About forty files per directory, three levels deep below the top.
        key = (top, made // 40)
        if key not in dirs:
            parts = [top] + [f"d{rng.randrange(6)}" for _ in range(rng.randrange(1, 4))] + [f"n{made // 40}"]
            dirs[key] = os.path.join(root, *parts)
            os.makedirs(dirs[key], exist_ok=True)
        return dirs[key]

    for i in range(files):
        top = rng.choices(managed, weights)[0]
        size = rng.randrange(200, 20 * 1024)
        path = os.path.join(directory_for(top), f"f{i}.conf")
        with open(path, "wb") as out:
            out.write(chunk[:size])
        made += 1
    for i in range(large):
        path = os.path.join(root, ".local/share/app", f"blob{i}.bin")
        with open(path, "wb") as out:
            remaining = large_size
            while remaining > 0:
                n = min(remaining, MIB)
                out.write(chunk[:n])
                remaining -= n
    for i in range(seed_files):
        with open(os.path.join(root, f".seed{i}"), "wb") as out:
            out.write(chunk[:512])
    os.chmod(os.path.join(root, "bin"), 0o755)
    return managed



def declare(share, pid, managed):
    root = os.path.join(share, "vorpel", "profiles", pid)
    os.makedirs(root, exist_ok=True)
    entries = ", ".join(f'"{m}"' for m in managed)
    with open(os.path.join(root, "profile.toml"), "w") as out:
        out.write(f'schema = 4\nname = "{pid}"\nmanage = [{entries}]\n')


def tree_size(root):
    total = count = 0
    for dirpath, _, names in os.walk(root):
        for name in names:
            total += os.lstat(os.path.join(dirpath, name)).st_size
            count += 1
    return count, total


class Runner:
    def __init__(self, binary):
        self.binary = binary

    def env(self, home, profile_root):
        env = dict(os.environ)
        env["HOME"] = home
        env["VORPEL_PROFILE_ROOT"] = profile_root
        env.pop("XDG_STATE_HOME", None)
        return env

    def timed(self, argv, env=None):
        """Wall time of one run."""
        os.sync()  # earlier writes are not flushed on this run's time
        start = time.perf_counter()
        proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status = os.waitpid(proc.pid, 0)
        elapsed = time.perf_counter() - start
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed with {proc.returncode}: {err}")
        return elapsed


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def summary(times):
    return statistics.median(times), min(times)


def report(label, ours, base, base_label, target_ratio=None, target_extra_ms=None):
    om, omin = summary(ours)
    bm, bmin = summary(base)
    ratio = om / bm if bm > 0 else float("inf")
    line = (f"{label:<44} vorpel median {om * 1000:9.1f} ms (min {omin * 1000:9.1f})   "
            f"{base_label} median {bm * 1000:9.1f} ms (min {bmin * 1000:9.1f})   ratio {ratio:5.2f}")
    if target_ratio is not None:
        line += f"   target <= {target_ratio}: {'met' if ratio <= target_ratio else 'MISSED'}"
    if target_extra_ms is not None:
        extra = (om - bm) * 1000
        line += f"   +{extra:.2f} ms, target < {target_extra_ms} ms: {'met' if extra < target_extra_ms else 'MISSED'}"
    print(line, flush=True)


def cp_a(src, dst):
    subprocess.run(["cp", "-a", src, dst], check=True)


def timed_cp(*pairs):
    """Wall time of `cp -a` of each (source, target) in a row."""
    os.sync()
    start = time.perf_counter()
    for src, dst in pairs:
        cp_a(src, dst)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--work", default=None, help="scratch directory (default: a new one in TMPDIR)")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--large", type=int, default=4, help="number of large files")
    ap.add_argument("--large-mib", type=int, default=20)
    ap.add_argument("--list-profiles", type=int, default=200)
    ap.add_argument("--list-files", type=int, default=500)
    ap.add_argument("--memory-files", type=int, default=100000)
    ap.add_argument("--wide-paths", type=int, default=100000,
                    help="managed paths of one Profile for the overlap figure")
    ap.add_argument("--skip", default="",
                    help="comma-separated figures to skip: first,switch,reselect,list,current,memory,wide")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    large_size = args.large_mib * MIB
    rng = random.Random(1)

    work = args.work or tempfile.mkdtemp(prefix="vorpel-bench-")
    os.makedirs(work, exist_ok=True)
    run = Runner(os.path.abspath(args.binary))
    try:
        share = os.path.join(work, "share")
        profile_root = os.path.join(share, "vorpel", "profiles")
        home = os.path.join(work, "home")
        scratch = os.path.join(work, "cp")

        if not {"first", "switch", "reselect"} <= skip:
            for pid in ("alpha", "beta"):
                managed = write_tree(os.path.join(share, pid), args.files, args.large, large_size, 5, rng)
                declare(share, pid, managed)
            count, size = tree_size(os.path.join(share, "alpha"))
            print(f"Profile tree: {count} files, {size / MIB:.0f} MiB; {args.reps} repetitions each", flush=True)
            env = run.env(home, profile_root)
            alpha = os.path.join(share, "alpha")

        if "first" not in skip:
            ours, base = [], []
            for _ in range(args.reps):
                fresh(home)
                ours.append(run.timed([run.binary, "select", "alpha"], env))
                fresh(scratch)
                base.append(timed_cp(*[(alpha, os.path.join(scratch, n)) for n in ("one", "two")]))
            report("first select (10k files)", ours, base, "2x cp -a", target_ratio=1.2)

        def after_alpha(profile, ours, three):
            """Times `select profile` right after a first select of alpha,
            and three `cp -a` of the tree."""
            fresh(home)
            run.timed([run.binary, "select", "alpha"], env)
            ours.append(run.timed([run.binary, "select", profile], env))
            fresh(scratch)
            three.append(timed_cp(*[(alpha, os.path.join(scratch, n)) for n in ("one", "two", "three")]))

        if "switch" not in skip:
            ours, base = [], []
            for _ in range(args.reps):
                after_alpha("beta", ours, base)
            report("select of a second Profile (switch)", ours, base, "3x cp -a", target_ratio=1.2)

        if "reselect" not in skip:
            # Selecting the active Profile again: everything it wrote is backed
            # up, given up and written afresh from its snapshot.
            ours, three, replace = [], [], []
            for _ in range(args.reps):
                after_alpha("alpha", ours, three)
                fresh(scratch)
                cp_a(alpha, os.path.join(scratch, "home"))
                os.sync()
                # What a backup by copy does by hand: copy away, delete, copy in.
                start = time.perf_counter()
                cp_a(os.path.join(scratch, "home"), os.path.join(scratch, "backup"))
                subprocess.run(["rm", "-rf", os.path.join(scratch, "home")], check=True)
                cp_a(alpha, os.path.join(scratch, "home"))
                replace.append(time.perf_counter() - start)
            report("re-select of the active Profile", ours, three, "3x cp -a", target_ratio=0.35)
            report("re-select of the active Profile", ours, replace, "cp+rm+cp", target_ratio=1.0)

        if "list" not in skip:
            list_share = os.path.join(work, "list-share")
            list_root = os.path.join(list_share, "vorpel", "profiles")
            for i in range(args.list_profiles):
                pid = f"p{i:03d}"
                managed = write_tree(os.path.join(list_share, pid), args.list_files, 0, 0, 0, rng)
                declare(list_share, pid, managed)
            env = run.env(home, list_root)
            fresh(home)
            ours, base = [], []
            for _ in range(args.reps):
                ours.append(run.timed([run.binary, "list"], env))
                os.sync()
                start = time.perf_counter()
                subprocess.run(["find", "-P", list_share], check=True, stdout=subprocess.DEVNULL)
                base.append(time.perf_counter() - start)
            report(f"list ({args.list_profiles} Profiles x {args.list_files} files)", ours, base, "find -P",
                   target_ratio=1.2)
            shutil.rmtree(list_share, ignore_errors=True)

        if "current" not in skip:
            env = run.env(home, profile_root)
            ours, base = [], []
            for _ in range(max(args.reps, 1) * 40):
                ours.append(run.timed([run.binary, "current"], env))
                base.append(run.timed(["/bin/true"], env))
            report("current", ours, base, "/bin/true", target_extra_ms=2)

        if "memory" not in skip:
            mem_share = os.path.join(work, "mem-share")
            managed = write_tree(os.path.join(mem_share, "big"), args.memory_files, 0, 0, 5, rng)
            declare(mem_share, "big", managed)
            env = run.env(home, os.path.join(mem_share, "vorpel", "profiles"))
            fresh(home)
            # GNU time reports the peak of the process it starts; a child forked
            # from this interpreter would count the interpreter's pages too.
            proc = subprocess.run(["/usr/bin/time", "-f", "%M", run.binary, "select", "big"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
            peak = int(proc.stderr.strip().splitlines()[-1])
            verdict = "met" if peak < 16 * 1024 else "MISSED"
            print(f"{'peak memory, first select (' + str(args.memory_files) + ' files)':<44} "
                  f"{peak / 1024:.1f} MiB   target < 16 MiB: {verdict}", flush=True)

        if "wide" not in skip:
            # One Profile managing many paths: the catalogue checks each managed
            # path against the others, and so does the check of the state that
            # retains it; both must stay well clear of pairwise work.
            wide_share = os.path.join(work, "wide-share")
            wide_root = os.path.join(wide_share, "vorpel", "profiles")
            content = os.path.join(wide_share, "wide")
            paths = [f".config/d{i // 1000:03d}/f{i:06d}" for i in range(args.wide_paths)]
            for i in range(0, args.wide_paths, 1000):
                os.makedirs(os.path.join(content, f".config/d{i // 1000:03d}"), exist_ok=True)
            for p in paths:
                open(os.path.join(content, p), "wb").close()
            declare(wide_share, "wide", paths)
            wide_home = os.path.join(work, "wide-home")
            fresh(wide_home)
            state_dir = os.path.join(wide_home, ".local", "state", "vorpel")
            os.makedirs(state_dir)
            with open(os.path.join(state_dir, "state.toml"), "w") as out:
                out.write('schema = 5\nactive_profile = "wide"\nintroduced_packages = []\n\n'
                          '[profiles.wide]\nname = "wide"\ndescription = ""\npackages = []\nmanage = [\n')
                out.writelines(f'    "{p}",\n' for p in paths)
                out.write("]\n")
            env = run.env(wide_home, wide_root)
            # plan walks the content root once and looks every entry up among
            # the managed paths; a HOME with no state plans a first activation.
            plan_home = os.path.join(work, "wide-plan-home")
            fresh(plan_home)
            plan_env = run.env(plan_home, wide_root)
            for command, command_env in (("list", env), ("current", env), ("plan wide", plan_env)):
                times = [run.timed([run.binary, *command.split()], command_env) for _ in range(args.reps)]
                median, fastest = summary(times)
                verdict = "met" if median < 1.0 else "MISSED"
                label = f"{command} ({args.wide_paths} managed paths)"
                print(f"{label:<44} vorpel median {median * 1000:9.1f} ms (min {fastest * 1000:9.1f})   "
                      f"target < 1000 ms: {verdict}", flush=True)
            shutil.rmtree(wide_share, ignore_errors=True)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
