#!/usr/bin/env python3
"""Installs the build into a fresh prefix (cmake --install BUILD --prefix P)
and checks what lands there: the program, its manual page and bash
completion, the documentation and the Snakemake workflow, and nothing else
(no libraries, no test programs). The installed program then runs the shipped
example in a copy of its folder and must write there, byte for byte, what the
build's program writes (the example's results are not kept in the source),
and on the golden study two_groups its expected results file and report; its
--version names the version, a commit and the kernels.
Where snakemake is installed, the installed workflow, with no build beside
it, must pick the installed program from PATH.

usage: check_install.py --cmake PATH --build DIR --source DIR --version X.Y.Z --workdir DIR
Exit status 0 when every check holds, 1 otherwise.
"""
import filecmp
import os
import re
import shutil
import subprocess
import sys

from checks import arguments, check, output, report


def installed_files(prefix):
    found = []
    for folder, _, files in os.walk(prefix):
        for name in files:
            found.append(os.path.relpath(os.path.join(folder, name), prefix))
    return sorted(found)


def check_layout(args, prefix):
    files = installed_files(prefix)
    expected = [
        "bin/strataperm",
        "share/man/man1/strataperm.1",
        "share/bash-completion/completions/strataperm",
        "share/doc/strataperm/README.md",
        "share/strataperm/workflow/Snakefile",
    ]
    expected += ["share/doc/strataperm/docs/" + name
                 for name in sorted(os.listdir(os.path.join(args.source, "docs")))
                 if name.endswith(".md")]
    expected += ["share/strataperm/workflow/profiles/%s/config.yaml" % name
                 for name in sorted(os.listdir(os.path.join(args.source, "workflow", "profiles")))]
    for path in expected:
        check(path in files, "not installed: %s" % path)
    # Only the program is a program, and no library or test comes along.
    check([f for f in files if f.startswith("bin/")] == ["bin/strataperm"],
          "bin/ holds %s" % [f for f in files if f.startswith("bin/")])
    places = ("share/man/man1/strataperm.1", "share/bash-completion/completions/strataperm",
              "share/doc/strataperm/", "share/strataperm/workflow/", "bin/strataperm")
    for path in files:
        check(path.startswith(places), "installed, but not part of an installation: %s" % path)
    check(os.access(os.path.join(prefix, "bin", "strataperm"), os.X_OK),
          "bin/strataperm is not executable")
    # What was installed is what the build wrote and what the source holds.
    check(filecmp.cmp(os.path.join(prefix, "share/man/man1/strataperm.1"),
                      os.path.join(args.build, "strataperm.1"), shallow=False),
          "the installed manual page differs from the build's")
    check(filecmp.cmp(os.path.join(prefix, "share/doc/strataperm/README.md"),
                      os.path.join(args.source, "README.md"), shallow=False),
          "the installed README.md differs from the source's")
    check(filecmp.cmp(os.path.join(prefix, "share/strataperm/workflow/Snakefile"),
                      os.path.join(args.source, "workflow/Snakefile"), shallow=False),
          "the installed Snakefile differs from the source's")
    completion = os.path.join(prefix, "share/bash-completion/completions/strataperm")
    done = subprocess.run(["bash", "-c", "source \"$1\" && complete -p strataperm", "-", completion],
                          capture_output=True, text=True)
    check(done.returncode == 0 and "-F" in done.stdout,
          "the installed completion does not register for strataperm: %s" % done.stderr.strip())


def check_version(args, binary):
    lines = output([binary, "--version"]).split("\n")
    check(len(lines) == 4 and lines[3] == "", "--version prints three lines: %r" % lines)
    if len(lines) < 3:
        return
    check(lines[0] == "strataperm " + args.version, "--version's first line: %r" % lines[0])
    commit = re.fullmatch(r"commit (\S+)", lines[1])
    if check(commit is not None, "--version's second line: %r" % lines[1]):
        check_commit(args.source, commit.group(1))
    check(re.fullmatch(r"kernels: \S.*", lines[2]) is not None,
          "--version's third line: %r" % lines[2])


def check_commit(source, commit):
    """The commit is 'unknown' or a commit of the source's repository (as
    git describe --always --dirty writes it), never something made up."""
    if commit == "unknown":
        return
    match = re.fullmatch(r"(?:.*-g)?([0-9a-f]{7,40})(-dirty)?", commit)
    if not check(match is not None, "--version's commit %r is not git describe's" % commit):
        return
    if shutil.which("git") is None or not os.path.isdir(os.path.join(source, ".git")):
        return
    known = subprocess.run(["git", "--no-optional-locks", "cat-file", "-e",
                            match.group(1) + "^{commit}"], cwd=source, capture_output=True)
    check(known.returncode == 0, "--version's commit %s is not a commit of %s" % (commit, source))


def run_plain(binary, source, folder):
    """A plain run (no arguments) of `binary` in a copy of the study folder
    `source` made at `folder`, without any results an earlier run left there:
    its standard output and the bytes of its results.txt."""
    shutil.copytree(source, folder, ignore=shutil.ignore_patterns("results*", "background_ids.txt"))
    stdout = output([binary], cwd=folder)
    with open(os.path.join(folder, "results.txt"), "rb") as f:
        return stdout, f.read()


def check_example(args, binary):
    """The installed program on the shipped example writes what the build's
    program writes there, and on a golden study its expected bytes."""
    example = os.path.join(args.source, "examples", "two_populations")
    installed = run_plain(binary, example, os.path.join(args.workdir, "two_populations"))
    built = run_plain(os.path.join(args.build, "strataperm"), example,
                      os.path.join(args.workdir, "two_populations_built"))
    check(installed[1] == built[1],
          "the installed program's results.txt for the shipped example differs from the build's")
    check(installed[0] == built[0],
          "the installed program's report for the shipped example differs from the build's")
    check(len(installed[1]) > 0, "an empty results.txt for the shipped example")
    golden = os.path.join(args.source, "tests", "e2e", "golden", "two_groups")
    stdout, results = run_plain(binary, os.path.join(golden, "input"),
                                os.path.join(args.workdir, "two_groups"))
    with open(os.path.join(golden, "results"), "rb") as f:
        check(results == f.read(), "the installed program's results.txt for the golden study "
                                   "two_groups differs from %s/results" % golden)
    with open(os.path.join(golden, "stdout")) as f:
        check(stdout == f.read(), "the installed program's report for the golden study "
                                  "two_groups differs from %s/stdout" % golden)


def check_workflow(args, prefix):
    """The installed workflow, far from any build, runs the strataperm of
    PATH (a dry run, which prints the commands)."""
    snakemake = shutil.which("snakemake")
    if snakemake is None:
        print("snakemake not installed: the installed workflow is not run")
        return
    study = os.path.join(args.workdir, "two_populations")
    out = os.path.join(args.workdir, "workflow_out")
    environment = dict(os.environ, PATH=os.path.join(prefix, "bin") + os.pathsep + os.environ["PATH"])
    done = subprocess.run([snakemake, "-s", os.path.join(prefix, "share/strataperm/workflow/Snakefile"),
                           "--cores", "1", "--dry-run", "--printshellcmds",
                           "--config", "input=" + study, "out=" + out, "shards=2"],
                          cwd=args.workdir, capture_output=True, text=True, env=environment)
    # The jobs' shell commands: two shards and the merge.
    commands = [line.strip() for line in done.stdout.split("\n")
                if line.split() and os.path.basename(line.split()[0]) == "strataperm"]
    check(done.returncode == 0 and len(commands) == 3 and all(
              line.split()[0] == os.path.join(prefix, "bin", "strataperm") for line in commands),
          "the installed workflow's commands (status %d): %s %s" % (
              done.returncode, commands, done.stderr[-2000:]))


def main():
    args = arguments("--cmake", "--build", "--source", "--version", "--workdir")
    prefix = os.path.join(args.workdir, "prefix")
    output([args.cmake, "--install", args.build, "--prefix", prefix])
    check_layout(args, prefix)
    binary = os.path.join(prefix, "bin", "strataperm")
    check_version(args, binary)
    check_example(args, binary)
    check_workflow(args, prefix)
    return report()


if __name__ == "__main__":
    sys.exit(main())
