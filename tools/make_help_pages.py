#!/usr/bin/env python3
"""Writes the manual page (roff, section 1) or the bash completion script of
strataperm from the help texts of a built binary, so neither can drift from
the program:

    make_help_pages.py man BINARY OUTPUT [--docdir DIR]
    make_help_pages.py completion BINARY OUTPUT

The texts read are `BINARY --help` (its usage block names the commands and the
general options), `BINARY --version` (its first line, "strataperm VERSION")
and `BINARY COMMAND --help` for every command the usage block names. A
command's help is a usage block ("usage: ..." and indented lines), free text,
then "options:" and one entry per option: two spaces, the option, its value
placeholder, the description (continued on more deeply indented lines).
Every command and every option found there is written out; text the reader
does not recognise is kept as prose rather than dropped. Python 3 standard
library only.
"""
import os
import re
import subprocess
import sys

PROGRAM = "strataperm"

# "  --name VALUE   description" or "  --name" (description on the next lines).
OPTION_LINE = re.compile(
    r"^  (-{1,2}[A-Za-z0-9][\w-]*(?:, ?-{1,2}[A-Za-z0-9][\w-]*)*)(?: (\S+))?(?: {2,}(\S.*))?$")
# An option word inside running text: a hyphen not preceded by a letter, a
# digit, a hyphen or a dot, followed by a letter or digit ("--out", "-9").
OPTION_WORD = re.compile(r"(?<![\w.\\-])-{1,2}[A-Za-z0-9][\w-]*")


def fail(message):
    sys.stderr.write("make_help_pages.py: %s\n" % message)
    sys.exit(1)


def help_text(binary, *words):
    command = [binary] + list(words)
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except OSError as error:
        fail("cannot run %s: %s" % (binary, error))
    if done.returncode != 0:
        fail("'%s' exited with status %d: %s" % (" ".join(command), done.returncode,
                                                 done.stderr.strip()))
    return done.stdout


class Option:
    def __init__(self, names, value, description):
        self.names = names              # ["--threads"] (or ["-o", "--out"])
        self.value = value or ""        # "N", "" for a flag
        self.description = description  # one line of text


class CommandHelp:
    def __init__(self, name):
        self.name = name
        self.usage = []    # the usage lines, "strataperm run [options] ..."
        self.body = []     # the lines between the usage block and "options:"
        self.options = []  # Option
        self.after = []    # lines after the options that are not options


def parse_command_help(name, text):
    """A command's help, read into its usage lines, body lines and options."""
    lines = text.rstrip("\n").split("\n")
    if not lines or not lines[0].startswith("usage:"):
        fail("'%s %s --help' does not start with 'usage:'" % (PROGRAM, name))
    parsed = CommandHelp(name)
    parsed.usage.append(lines[0][len("usage:"):].strip())
    k = 1
    while k < len(lines) and lines[k].strip():
        parsed.usage.append(lines[k].strip())
        k += 1
    while k < len(lines) and lines[k].rstrip() != "options:":
        parsed.body.append(lines[k])
        k += 1
    for line in lines[k + 1:]:
        match = OPTION_LINE.match(line)
        if match and not parsed.after:
            names = [n.strip() for n in match.group(1).split(",")]
            parsed.options.append(Option(names, match.group(2), match.group(3) or ""))
        elif line.startswith("   ") and parsed.options and not parsed.after:
            option = parsed.options[-1]
            option.description = (option.description + " " + line.strip()).strip()
        else:
            parsed.after.append(line)
    return parsed


class GeneralHelp:
    def __init__(self):
        self.summary = ""   # what the program is, one sentence
        self.usage = []     # the usage block's lines, as printed
        self.commands = []  # "run", "import", ... in the order of the usage block
        self.options = []   # "--help", "--version"
        self.rest = []      # the lines after the usage block


def parse_general_help(text):
    lines = text.rstrip("\n").split("\n")
    parsed = GeneralHelp()
    k = 0
    summary = []
    while k < len(lines) and lines[k].strip():
        summary.append(lines[k].strip())
        k += 1
    first = " ".join(summary)
    # "strataperm 0.2.0: what it is" -> "what it is"
    parsed.summary = first.split(": ", 1)[1] if ": " in first else first
    while k < len(lines) and lines[k].strip() != "usage:":
        k += 1
    if k == len(lines):
        fail("'%s --help' has no 'usage:' block" % PROGRAM)
    k += 1
    while k < len(lines) and lines[k].strip():
        line = lines[k].strip()
        parsed.usage.append(line)
        words = line.split()
        if len(words) > 1 and words[0] == PROGRAM and re.fullmatch(r"[a-z][a-z0-9-]*", words[1]):
            if words[1] not in parsed.commands:
                parsed.commands.append(words[1])
        # "strataperm --help | --version": the options of the program itself
        # (not those of a command a usage line mentions in passing).
        if len(words) > 1 and words[0] == PROGRAM and words[1].startswith("-"):
            for option in OPTION_WORD.findall(line):
                if option not in parsed.options:
                    parsed.options.append(option)
        k += 1
    parsed.rest = lines[k:]
    if not parsed.commands:
        fail("'%s --help' names no command in its usage block" % PROGRAM)
    return parsed


def read_helps(binary):
    general = parse_general_help(help_text(binary, "--help"))
    version_line = help_text(binary, "--version").split("\n", 1)[0].strip()
    version = version_line.split()[1] if len(version_line.split()) > 1 else ""
    commands = [parse_command_help(name, help_text(binary, name, "--help"))
                for name in general.commands]
    return general, version, commands


# ---------------------------------------------------------------------------
# The manual page.

def roff(text):
    """Text for a roff text line: backslashes printed as such, the hyphens of
    option words as \\- (a hyphen-minus that copies and searches as one)."""
    text = text.replace("\\", "\\(rs")
    return OPTION_WORD.sub(lambda m: m.group(0).replace("-", "\\-"), text)


def roff_literal(text):
    """Text for a literal (no-fill) line: every hyphen is part of a command."""
    return text.replace("\\", "\\(rs").replace("-", "\\-")


def text_line(line):
    """A line of output text; one that starts with a dot or an apostrophe
    would be read as a request, so it starts with a zero-width \\& instead."""
    return "\\&" + line if line[:1] in (".", "'") else line


def paragraphs(lines):
    """Roff for help prose: blank lines part paragraphs, "  - " starts a bullet
    item (continued on lines indented deeper), other lines are running text."""
    out = []
    mode = None  # None (between paragraphs), "text" or "item"
    for line in lines:
        stripped = line.strip()
        if not stripped:
            mode = None
            continue
        if line.startswith("  - ") or line.startswith("- "):
            out.append(".IP \\(bu 2")
            out.append(text_line(roff(stripped[2:].strip())))
            mode = "item"
        elif mode == "item" and line.startswith("  "):
            out.append(text_line(roff(stripped)))
        else:
            if mode != "text":
                out.append(".PP")
                mode = "text"
            out.append(text_line(roff(stripped)))
    return out


def option_entry(option):
    names = ", ".join("\\fB%s\\fR" % roff_literal(name) for name in option.names)
    head = names + (" \\fI%s\\fR" % roff_literal(option.value) if option.value else "")
    lines = [".TP", text_line(head)]
    lines.append(text_line(roff(option.description)) if option.description else "\\&")
    return lines


GENERAL_OPTIONS = {
    "--help": "Print the usage of the program and exit; after a command, that "
              "command's help (its options are listed under COMMANDS below).",
    "--version": "Print the version, the commit the program was built from and the "
                 "SIMD kernels built (with the one this computer runs), then exit.",
}


def manual_page(general, version, commands, docdir):
    title = PROGRAM.upper()
    out = ['.TH %s 1 "" "%s %s" "User Commands"' % (title, PROGRAM, roff_literal(version)),
           # No hyphenation: an option name never breaks across lines.
           ".nh",
           ".SH NAME",
           "%s \\- %s" % (PROGRAM, roff(general.summary.rstrip("."))),
           ".SH SYNOPSIS",
           ".nf"]
    out += [text_line(roff_literal(line)) for line in general.usage]
    out += [".fi", ".SH DESCRIPTION"]
    out += paragraphs([general.summary[:1].upper() + general.summary[1:]] + [""] + general.rest)
    out.append(".SH OPTIONS")
    for name in general.options:
        out += option_entry(Option([name], "", GENERAL_OPTIONS.get(
            name, "See the usage block in SYNOPSIS.")))
    out.append(".SH COMMANDS")
    for command in commands:
        out.append('.SS "%s %s"' % (PROGRAM, roff_literal(command.name)))
        out.append(".nf")
        out += [text_line(roff_literal(line)) for line in command.usage]
        out.append(".fi")
        out += paragraphs(command.body)
        if command.options:
            out += [".PP", "Options:"]
            for option in command.options:
                out += option_entry(option)
        out += paragraphs(command.after)
    out.append(".SH EXIT STATUS")
    out += paragraphs(["0 when the command completed; 1 when it failed (input, output,",
                       "memory); 2 for a command line that cannot be used; 3 when the",
                       "command completed but standard output was closed before the",
                       "console report was complete (the output files are complete)."])
    out.append(".SH SEE ALSO")
    if not docdir:
        where = "the source distribution"
    elif os.path.isabs(docdir):
        where = docdir
    else:
        where = "%s under the installation prefix (the folder that holds bin/%s)" % (docdir, PROGRAM)
    out += paragraphs(["The full description of the method, the input files and the",
                       "output files: README.md and docs/ in %s." % where])
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------
# The bash completion script.

def value_kind(placeholder):
    """How an option's value is completed: "dirs", "prefix" (a PLINK file
    prefix), "files", "words:a b" (a fixed choice) or "none"."""
    if re.fullmatch(r"[a-z0-9_-]+(\|[a-z0-9_-]+)+", placeholder):
        return "words:" + " ".join(placeholder.split("|"))
    if "DIR" in placeholder:
        return "dirs"
    if "PREFIX" in placeholder:
        return "prefix"
    if "FILE" in placeholder:
        return "files"
    return "none"


def positional_kind(command):
    """The completion of a command's operands: the placeholders of its usage
    lines that are neither an option nor an option's value."""
    takes_value = {name for option in command.options if option.value for name in option.names}
    kinds = []
    for line in command.usage:
        words = re.sub(r"[\[\]()]", " ", line).split()[2:]  # past "strataperm COMMAND"
        skip = False
        for word in words:
            if skip:
                skip = False
            elif word.startswith("-"):
                skip = word in takes_value
            elif word not in ("|", "options", "...") and word.isupper():
                kinds.append(value_kind(word))
    for kind in ("dirs", "prefix", "files"):
        if kind in kinds:
            return kind
    return "none"


def shell_words(words):
    for word in words:
        if not re.fullmatch(r"[\w.,:+-]+", word):
            fail("cannot put %r in the completion script" % word)
    return " ".join(words)


def completion_script(general, commands):
    top = shell_words(general.commands + general.options)
    out = [
        "# bash completion for %s: its commands, each command's options and the" % PROGRAM,
        "# files, folders or words their arguments take. Generated from the",
        "# program's help texts by tools/make_help_pages.py; do not edit.",
        "",
        "# Fills COMPREPLY for the word being completed ($cur, after $before) with",
        "# what a value of kind $1 can be.",
        "_%s_reply()" % PROGRAM,
        "{",
        "    local kind=$1 line",
        "    COMPREPLY=()",
        "    case $kind in",
        "        dirs)",
        "            compopt -o filenames 2>/dev/null",
        "            while IFS= read -r line; do COMPREPLY+=(\"$before$line\"); done \\",
        "                < <(compgen -d -- \"$cur\") ;;",
        "        files)",
        "            compopt -o filenames 2>/dev/null",
        "            while IFS= read -r line; do COMPREPLY+=(\"$before$line\"); done \\",
        "                < <(compgen -f -- \"$cur\") ;;",
        "        prefix)",
        "            # PREFIX.bed, PREFIX.bim, PREFIX.fam: the prefixes of .bed files,",
        "            # and folders to look into.",
        "            compopt -o filenames 2>/dev/null",
        "            while IFS= read -r line; do COMPREPLY+=(\"$before${line%.bed}\"); done \\",
        "                < <(compgen -f -X '!*.bed' -- \"$cur\")",
        "            while IFS= read -r line; do COMPREPLY+=(\"$before$line\"); done \\",
        "                < <(compgen -d -- \"$cur\") ;;",
        "        words:*)",
        "            while IFS= read -r line; do COMPREPLY+=(\"$before$line\"); done \\",
        "                < <(compgen -W \"${kind#words:}\" -- \"$cur\") ;;",
        "    esac",
        "}",
        "",
        "_%s()" % PROGRAM,
        "{",
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev= before=",
        "    (( COMP_CWORD > 0 )) && prev=${COMP_WORDS[COMP_CWORD-1]}",
        "    # --option=VALUE: bash splits the words at '=' when COMP_WORDBREAKS",
        "    # holds it, otherwise the value follows the '=' in the word itself.",
        "    if [[ $cur == = ]]; then",
        "        cur=",
        "    elif [[ $prev == = ]] && (( COMP_CWORD > 1 )); then",
        "        prev=${COMP_WORDS[COMP_CWORD-2]}",
        "    elif [[ $cur == --*=* ]]; then",
        "        prev=${cur%%=*}",
        "        before=$prev=",
        "        cur=${cur#*=}",
        "    fi",
        "    COMPREPLY=()",
        "    if (( COMP_CWORD == 1 )); then",
        "        _%s_reply \"words:%s\"" % (PROGRAM, top),
        "        return 0",
        "    fi",
        "    local options kind=",
        "    case ${COMP_WORDS[1]} in",
    ]
    for command in commands:
        names = [name for option in command.options for name in option.names]
        out.append("        %s)" % shell_words([command.name]))
        out.append("            options=\"%s\"" % shell_words(names))
        by_kind = {}
        for option in command.options:
            if option.value:
                by_kind.setdefault(value_kind(option.value), []).extend(option.names)
        if by_kind:
            out.append("            case $prev in")
            for kind, names in by_kind.items():
                out.append("                %s) kind=\"%s\" ;;" % (shell_words(names).replace(" ", "|"),
                                                                 kind))
            out.append("            esac")
        out.append("            operands=%s ;;" % positional_kind(command))
    out += [
        "        *) return 0 ;;",
        "    esac",
        "    if [[ -n $kind ]]; then",
        "        # the value of the option before: nothing to offer for a number",
        "        [[ $kind != none ]] && _%s_reply \"$kind\"" % PROGRAM,
        "    elif [[ -z $before && $cur == -* ]]; then",
        "        _%s_reply \"words:$options\"" % PROGRAM,
        "    else",
        "        [[ $operands != none ]] && _%s_reply \"$operands\"" % PROGRAM,
        "    fi",
        "    return 0",
        "}",
        "complete -F _%s %s" % (PROGRAM, PROGRAM),
    ]
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------------------

def write(path, text):
    """Writes the whole text or nothing: a temporary file renamed into place."""
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv):
    docdir = ""
    if "--docdir" in argv:
        k = argv.index("--docdir")
        if k + 1 >= len(argv):
            fail("--docdir needs a folder")
        docdir = argv[k + 1]
        argv = argv[:k] + argv[k + 2:]
    if len(argv) != 3 or argv[0] not in ("man", "completion"):
        sys.stderr.write(__doc__)
        return 2
    what, binary, output = argv
    general, version, commands = read_helps(binary)
    if what == "man":
        write(output, manual_page(general, version, commands, docdir))
    else:
        write(output, completion_script(general, commands))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
