"""What the workflow checks share: the command line and work folder, commands
that must succeed, and the comparison of a workflow's merged outputs with a
single run's.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys

# The exit status that tells ctest the check was skipped.
SKIPPED = 77

# The files a merge writes that must be those of the single run, byte for byte.
COMPARED = ["results.txt", "results.tsv", "results.similarity.tsv"]


def start(options, programs):
    """The command line, each of `options` required, and the folder to run
    commands from. Exits with SKIPPED when one of `programs` is not
    installed. The --workdir, made absolute, is made afresh; the folder to
    run from is one of its own in it ('elsewhere'), not the project's."""
    parser = argparse.ArgumentParser()
    for option in options:
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    for program in programs:
        if shutil.which(program) is None:
            print("%s is not installed: skipped" % program)
            sys.exit(SKIPPED)
    args.workdir = os.path.abspath(args.workdir)
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    cwd = os.path.join(args.workdir, "elsewhere")
    os.makedirs(cwd)
    return args, cwd


def run(command, cwd):
    """The standard output of `command` run in `cwd`; exits with status 1,
    naming the command and the end of what it wrote, when it fails."""
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write("failed: %s\n%s%s" % (" ".join(command), done.stdout[-3000:], done.stderr[-3000:]))
        sys.exit(1)
    return done.stdout


def read(path):
    with open(path) as f:
        return f.read()


def same_outputs(name, single, out, console):
    """Whether the merged outputs in `out` are the single run's in `single`
    and its standard output `console`; prints what differs, under `name`."""
    same = True
    if read(os.path.join(out, "results.console.txt")) != console:
        print("%s: the merged console report differs" % name)
        same = False
    for file_name in COMPARED:
        a, b = os.path.join(single, file_name), os.path.join(out, file_name)
        if not (os.path.exists(b) and filecmp.cmp(a, b, shallow=False)):
            print("%s: %s differs" % (name, file_name))
            same = False
    return same
