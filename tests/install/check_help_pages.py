#!/usr/bin/env python3
"""Checks the manual page and the bash completion script that the build
writes against the program's own help texts, read here independently of the
generator:

  - the page has a section per command the general help names, and every
    option of every help text is in its command's section; it renders with
    groff without a warning, and no text line of it is taken for a request;
  - the generator escapes for roff: a made-up program whose help holds
    backslashes, lines starting with a dot or an apostrophe and option names
    comes out of groff with that text intact;
  - the completion script is valid bash, registers itself for strataperm,
    offers the commands, a command's options by prefix, the words, files,
    folders or PLINK prefixes option values take, also as --option=VALUE.

usage: check_help_pages.py --binary PATH --page FILE --completion FILE
                           --generator PATH --workdir DIR
Exit status 0 when every check holds, 1 otherwise.
"""
import os
import re
import shutil
import stat
import subprocess
import sys

from checks import arguments, check, output, report


# --- the help texts, read the plain way ------------------------------------

def commands_of(general_help):
    """The commands of the general help's usage lines ("strataperm WORD ...")."""
    names = []
    for line in general_help.split("\n"):
        words = line.split()
        if len(words) > 1 and words[0] == "strataperm" and re.fullmatch(r"[a-z]+", words[1]):
            if words[1] not in names:
                names.append(words[1])
    return names


def listed_options(help_text):
    """The options a command's help lists: the lines of its options block
    that start with two spaces and a dash."""
    options = []
    inside = False
    for line in help_text.split("\n"):
        if line.rstrip() == "options:":
            inside = True
        elif inside:
            # "  --name VALUE  text" or "  -n, --name VALUE  text"
            names = re.match(r"^  (--?[A-Za-z0-9][\w-]*(?:, ?--?[A-Za-z0-9][\w-]*)*)", line)
            if names:
                options.extend(name.strip() for name in names.group(1).split(","))
    return options


def general_options(general_help):
    """The program's own options: those of the usage line "strataperm --..."."""
    options = []
    for line in general_help.split("\n"):
        if line.strip().startswith("strataperm -"):
            options.extend(re.findall(r"--?[A-Za-z0-9][\w-]*", line))
    return options


# --- the manual page ---------------------------------------------------------

def plain(roff_text):
    """Page text as a reader sees the words: font changes and the zero-width
    escape dropped, \\- a hyphen, \\(rs a backslash."""
    text = re.sub(r"\\f[BIRP]", "", roff_text)
    return text.replace("\\&", "").replace("\\-", "-").replace("\\(rs", "\\")


def contains_word(text, word):
    return re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", text) is not None


def sections(page):
    """The text of each .SS subsection, by its title."""
    found = {}
    title = None
    for line in page.split("\n"):
        if line.startswith(".SS ") or line.startswith(".SH "):
            title = line[4:].strip().strip('"') if line.startswith(".SS ") else None
            if title is not None:
                found[title] = []
        elif title is not None:
            found[title].append(line)
    return {title: "\n".join(lines) for title, lines in found.items()}


REQUESTS = {"TH", "SH", "SS", "PP", "TP", "IP", "nf", "fi", "nh", "br", "RS", "RE", "B", "I"}


def check_page(binary, page_path):
    with open(page_path, encoding="utf-8") as f:
        page = f.read()
    general = output([binary, "--help"])
    commands = commands_of(general)
    check(set(commands) >= {"run", "import", "merge", "plot"},
          "the general help names the commands %s" % commands)
    by_section = sections(page)
    whole = plain(page)
    for option in general_options(general):
        check(contains_word(whole, option), "the page lacks the option %s" % option)
    for command in commands:
        title = "strataperm " + command
        if not check(title in by_section, "the page has no section '%s'" % title):
            continue
        text = plain(by_section[title])
        options = listed_options(output([binary, command, "--help"]))
        check(options, "'strataperm %s --help' lists no option" % command)
        for option in options:
            check(contains_word(text, option),
                  "the section '%s' of the page lacks the option %s" % (title, option))
    for number, line in enumerate(page.split("\n"), 1):
        if line[:1] in (".", "'"):
            request = line[1:].split()[0] if line[1:].split() else ""
            check(line[:1] == "." and request in REQUESTS,
                  "%s:%d: a text line read as a request: %r" % (page_path, number, line))
    # Option names are written with \- so that they copy and search as typed.
    check("\\-\\-threads" in page, "the page writes --threads without \\-")
    rendered = render(page_path)
    if rendered is not None:
        for option in listed_options(output([binary, "run", "--help"])):
            check(option in rendered, "the rendered page lacks %s" % option)


def render(page_path):
    """The page as groff renders it for a terminal, or None without groff."""
    if shutil.which("groff") is None:
        print("groff not installed: the page is not rendered")
        return None
    done = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-P", "-cbou", page_path],
                          capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
    check(done.returncode == 0 and done.stderr == "",
          "groff on %s: status %d, %s" % (page_path, done.returncode, done.stderr.strip()))
    return done.stdout


FAKE_GENERAL = r"""strataperm 9.9: a made-up program with a \backslash
in its summary.

usage:
  strataperm frob [DIR]   frobnicate
  strataperm --help | --version

.this line starts with a dot
'and this one with an apostrophe
"""

FAKE_FROB = r"""usage: strataperm frob [options] [DIR]

Frobs DIR with a C:\path and \fB not a font change.
.dotted line
'quoted line
  - a bullet with --frob-all and a \n
    its continuation

options:
  --frob-all      every one; see \\server\share
  --level N       how deep (default -1)
  --mode a|b      either a or b
  --help          show this help
"""


def check_escaping(generator, workdir):
    """The generator on a made-up program whose help texts roff would
    misread unless escaped: the rendered page shows them as written."""
    folder = os.path.join(workdir, "escaping")
    os.makedirs(folder)
    for name, text in (("general.txt", FAKE_GENERAL), ("frob.txt", FAKE_FROB)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    fake = os.path.join(folder, "strataperm")
    with open(fake, "w") as f:
        f.write("#!/bin/sh\nhere=$(dirname \"$0\")\n"
                "case \"$1 $2\" in\n"
                "  '--help ') cat \"$here/general.txt\" ;;\n"
                "  '--version ') echo 'strataperm 9.9' ;;\n"
                "  'frob --help') cat \"$here/frob.txt\" ;;\n"
                "  *) exit 2 ;;\n"
                "esac\n")
    os.chmod(fake, os.stat(fake).st_mode | stat.S_IXUSR)
    page = os.path.join(folder, "strataperm.1")
    output([sys.executable, generator, "man", fake, page])
    with open(page, encoding="utf-8") as f:
        source = f.read()
    for number, line in enumerate(source.split("\n"), 1):
        if line[:1] in (".", "'"):
            request = line[1:].split()[0] if line[1:].split() else ""
            check(line[:1] == "." and request in REQUESTS,
                  "made-up page line %d read as a request: %r" % (number, line))
    rendered = render(page)
    if rendered is None:
        return
    flat = " ".join(rendered.split())
    for text in (r"a \backslash in its summary", ".this line starts with a dot",
                 "'and this one with an apostrophe", r"C:\path and \fB not a font change.",
                 ".dotted line", "'quoted line", r"--frob-all and a \n its continuation",
                 r"see \\server\share", "--level N", "(default -1)", "--mode a|b",
                 "strataperm frob [options] [DIR]"):
        check(text in flat, "the made-up page does not render %r" % text)
    # A failing program makes the generator fail, not write a page.
    broken = os.path.join(folder, "broken.1")
    done = subprocess.run([sys.executable, generator, "man", "/bin/false", broken],
                          capture_output=True, text=True)
    check(done.returncode != 0 and not os.path.exists(broken),
          "the generator on a program that fails: status %d" % done.returncode)


# --- the completion script -------------------------------------------------

def complete(script, words, cwd, wordbreaks=None):
    """COMPREPLY after completing the last of `words` (strataperm first)."""
    setup = "" if wordbreaks is None else "COMP_WORDBREAKS=%s\n" % shell_quote(wordbreaks)
    program = (setup +
               "source %s || exit 9\n" % shell_quote(script) +
               "registered=$(complete -p strataperm) || exit 8\n"
               "function=${registered#*-F }; function=${function%% *}\n"
               "COMP_WORDS=(%s)\n" % " ".join(shell_quote(w) for w in words) +
               "COMP_CWORD=%d\n" % (len(words) - 1) +
               "COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}\n"
               "\"$function\" strataperm \"${COMP_WORDS[COMP_CWORD]}\" "
               "\"${COMP_WORDS[COMP_CWORD-1]}\" || exit 7\n"
               "printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    done = subprocess.run(["bash", "--norc", "--noprofile", "-c", program], cwd=cwd,
                          capture_output=True, text=True)
    if not check(done.returncode == 0, "completing %s: status %d %s" % (words, done.returncode,
                                                                       done.stderr)):
        return []
    return sorted(line for line in done.stdout.split("\n") if line)


def shell_quote(word):
    return "'" + word.replace("'", "'\\''") + "'"


def check_completion(binary, script, workdir):
    done = subprocess.run(["bash", "-n", script], capture_output=True, text=True)
    check(done.returncode == 0, "bash -n %s: %s" % (script, done.stderr.strip()))
    folder = os.path.join(workdir, "completion")
    os.makedirs(os.path.join(folder, "studies", "one"))
    for name in ("covariates.txt", "data.bed", "data.bim", "data.fam", "cohort.vcf.gz"):
        open(os.path.join(folder, name), "w").close()
    run_options = listed_options(output([binary, "run", "--help"]))
    expected = sorted(o for o in run_options if o.startswith("--co"))
    check({"--covar", "--covar-name"} <= set(expected), "run's options from --co: %s" % expected)

    def expect(words, wanted, **kwargs):
        got = complete(script, words, folder, **kwargs)
        check(got == sorted(wanted), "completing %s: %s, not %s" % (words, got, sorted(wanted)))

    expect(["strataperm", "run", "--co"], expected)
    expect(["strataperm", "run", "--threads", "4", "--co"], expected)
    expect(["strataperm", ""], commands_of(output([binary, "--help"])) + ["--help", "--version"])
    expect(["strataperm", "m"], ["merge"])
    expect(["strataperm", "import", "--fo"], ["--force"])
    expect(["strataperm", "merge", "--"], listed_options(output([binary, "merge", "--help"])))
    expect(["strataperm", "frobnicate", "--"], [])
    # Option values: files, folders, PLINK prefixes, a fixed choice, nothing
    # for a number.
    expect(["strataperm", "run", "--covar", "co"], ["cohort.vcf.gz", "covariates.txt"])
    expect(["strataperm", "run", "--out", ""], ["studies"])
    expect(["strataperm", "run", "--out", "studies/"], ["studies/one"])
    expect(["strataperm", "import", "--bfile", "d"], ["data"])
    expect(["strataperm", "run", "--adjustment", "s"], ["sequential"])
    expect(["strataperm", "run", "--threads", ""], [])
    # An operand of run, plot and merge is a folder.
    expect(["strataperm", "plot", "s"], ["studies"])
    # --option=VALUE, split at '=' by bash or not.
    expect(["strataperm", "run", "--vcf", "=", "coh"], ["cohort.vcf.gz"])
    expect(["strataperm", "run", "--adjustment", "=", ""], ["means", "sequential"])
    expect(["strataperm", "run", "--vcf=coh"], ["--vcf=cohort.vcf.gz"], wordbreaks=" \t\n")


def main():
    args = arguments("--binary", "--page", "--completion", "--generator", "--workdir")
    check_page(args.binary, args.page)
    check_escaping(args.generator, args.workdir)
    check_completion(args.binary, args.completion, args.workdir)
    return report()


if __name__ == "__main__":
    sys.exit(main())
