"""What the installation checks share: an options-only command line, a fresh
work folder, failures gathered as they come and reported at the end, and
commands that must succeed.

A check script does its checks through check(), then returns report() as its
exit status: 0 when every check held, 1 otherwise.
"""
import argparse
import os
import shutil
import subprocess
import sys

FAILURES = []


def check(condition, message):
    """Records `message` as a failure unless `condition` holds; returns the
    condition, so that a check can guard the ones that depend on it."""
    if not condition:
        FAILURES.append(message)
    return condition


def output(command, **kwargs):
    """The standard output of `command` (subprocess.run's keywords apply);
    exits naming the command and the end of what it wrote when it fails."""
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(command), done.stdout[-3000:], done.stderr[-3000:]))
    return done.stdout


def arguments(*names):
    """The command line, each of `names` an option that must be given; its
    --workdir is made afresh, empty."""
    parser = argparse.ArgumentParser()
    for name in names:
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    return args


def report():
    """Prints the failures and their count; the exit status."""
    for failure in FAILURES:
        print("FAILED: " + failure)
    print("%d failure%s" % (len(FAILURES), "" if len(FAILURES) == 1 else "s"))
    return 1 if FAILURES else 0
