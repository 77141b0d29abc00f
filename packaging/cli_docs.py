#!/usr/bin/env python3
"""Writes a program's manual pages and its bash and zsh completions from its own --help.

    cli_docs.py --program corvex --binary build/tools/corvex/corvex --version-file build/corvex-version.txt --out DIR

The help text is what QCommandLineParser prints (a "Usage:" line, the description, then
sections such as "Options:" and "Arguments:" of indented entries). A program whose help has
a "Commands:" section is asked for each command's help too ("PROGRAM COMMAND --help"), and
gets a page and a completion branch per command. Since everything is made from the programs'
own option tables when they are built, a new option is documented and completed without
anyone writing it down twice.

Writes DIR/man/PROGRAM.1.gz (and PROGRAM-COMMAND.1.gz), DIR/bash-completion/PROGRAM and
DIR/zsh/_PROGRAM. Help that does not have that shape stops the build with the reason.
"""

import argparse
import dataclasses
import gzip
import os
import re
import subprocess
import sys

OPTION_ENTRY = re.compile(r"^  (?P<names>-[^\s,]+(?:, -[^\s,]+)*)(?: <(?P<value>[^>]*)>)?(?: +(?P<text>\S.*))?$")
PLAIN_ENTRY = re.compile(r"^  (?P<names>\S+)(?: +(?P<text>\S.*))?$")
HEADING = re.compile(r"^[A-Z][A-Za-z ]*:$")


@dataclasses.dataclass
class Entry:
    names: list  # ["-o", "--output"] for an option, ["analyse"] otherwise
    value: str | None = None  # the option's value name, "FILE" in "--db <FILE>"
    text: str = ""


@dataclasses.dataclass
class Help:
    usage: list
    description: list  # lines as printed
    sections: list  # (title, [Entry])

    def section(self, title):
        return next((entries for name, entries in self.sections if name == title), [])


def parse_help(text, source):
    lines = text.rstrip("\n").split("\n")
    usage = [line[len("Usage: "):] for line in lines if line.startswith("Usage: ")]
    body = [line for line in lines if not line.startswith("Usage: ")]
    if not usage:
        raise ValueError(f"{source}: no 'Usage:' line in its help")
    help_ = Help(usage, [], [])
    entries = None
    for line in body:
        if HEADING.match(line):
            entries = []
            help_.sections.append((line[:-1], entries))
        elif entries is None:
            help_.description.append(line)
        elif not line.strip():
            continue
        elif line.startswith("   ") and entries:
            entries[-1].text = (entries[-1].text + " " + line.strip()).strip()
        else:
            match = (OPTION_ENTRY if line.lstrip().startswith("-") else PLAIN_ENTRY).match(line)
            if not match:
                raise ValueError(f"{source}: cannot read the help line {line!r}")
            names = match["names"].split(", ")
            value = match.groupdict().get("value")
            entries.append(Entry(names, value, match["text"] or ""))
    while help_.description and not help_.description[-1].strip():
        help_.description.pop()
    return help_


def run_help(binary, arguments):
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
    result = subprocess.run([binary, *arguments, "--help"], capture_output=True, text=True, env=environment)
    if result.returncode != 0:
        raise ValueError(f"{binary} {' '.join(arguments)} --help failed ({result.returncode}): {result.stderr}")
    return result.stdout


# ---- manual pages -------------------------------------------------------------------------

def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def option_term(entry):
    names = ", ".join(f"\\fB{roff(name)}\\fR" for name in entry.names)
    return names + (f" \\fI{roff(entry.value)}\\fR" if entry.value else "")


def first_sentence(lines):
    text = " ".join(line.strip() for line in lines if line.strip())
    return re.split(r"(?<=\.)\s", text, maxsplit=1)[0].rstrip(".")


def synopsis(usage, program, command):
    """The usage line after the program's name (which Qt prints as the program was started) and the command."""
    words = usage.split(" ")
    if os.path.basename(words[0]) == program:
        words = words[1:]
    if command and words[:1] == [command]:
        words = words[1:]
    return " ".join(words)


def man_page(name, program, command, summary, help_, version, date, see_also):
    page = [
        f'.TH "{name.upper()}" 1 "{date}" "Corvex Studio {version}" "User Commands"',
        ".nh",
        ".ad l",
        ".SH NAME",
        f"{roff(name)} \\- {roff(summary)}",
        ".SH SYNOPSIS",
    ]
    for usage in help_.usage:
        page += [f".B {roff(' '.join(filter(None, [program, command])))}", roff(synopsis(usage, program, command)), ".br"]
    page.append(".SH DESCRIPTION")
    for line in help_.description:
        page.append(".PP" if not line.strip() else roff(line))
    for title, entries in help_.sections:
        page.append(f".SH {roff(title.upper())}")
        for entry in entries:
            term = option_term(entry) if entry.names[0].startswith("-") else f"\\fB{roff(entry.names[0])}\\fR"
            page += [".TP", term, roff(entry.text)]
    if see_also:
        page += [".SH SEE ALSO", ",\n".join(f"\\fB{roff(other)}\\fR(1)" for other in see_also)]
    return "\n".join(line for line in page if line != "") + "\n"


# ---- completions --------------------------------------------------------------------------

def value_kind(value):
    """How an option's value is completed: "files", "directories" or "none" (free text)."""
    if "DIR" in value:
        return "directories"
    if re.search(r"FILE|PATH|OUT|IMAGE|VIDEO|\.", value):
        return "files"
    return "none"


def option_names(entries):
    return [name for entry in entries for name in entry.names]


def bash_value_cases(entries, indent):
    cases = []
    for entry in entries:
        if not entry.value:
            continue
        action = {"files": "_filedir", "directories": "_filedir -d", "none": ":"}[value_kind(entry.value)]
        cases.append(f"{indent}{'|'.join(entry.names)}) {action}; return ;;")
    return cases


def bash_completion(program, top, commands):
    function = "_" + identifier(program)
    out = [
        f"# bash completion for {program}, written at build time from its --help.",
        f"{function}() {{",
        "    local cur prev words cword split",
        "    _init_completion -s || return",
        "    local options",
    ]
    if commands:
        out += [
            "    if ((cword == 1)); then",
            f"        options='{' '.join(option_names(top.section('Options')))}'",
            "        if [[ $cur != -* ]]; then",
            f"            COMPREPLY=($(compgen -W '{' '.join(commands)}' -- \"$cur\"))",
            "            return",
            "        fi",
            "    else",
            "        case ${words[1]} in",
        ]
        for command, help_ in commands.items():
            entries = help_.section("Options")
            out += [f"            {command})", f"                options='{' '.join(option_names(entries))}'",
                    "                case $prev in", *bash_value_cases(entries, " " * 20), "                esac",
                    "                ;;"]
        out += ["            *) return ;;", "        esac", "    fi"]
    else:
        entries = top.section("Options")
        out += [f"    options='{' '.join(option_names(entries))}'", "    case $prev in",
                *bash_value_cases(entries, "        "), "    esac"]
    out += [
        "    $split && return",
        '    if [[ $cur == -* ]]; then',
        '        COMPREPLY=($(compgen -W "$options" -- "$cur"))',
        "        return",
        "    fi",
        "    _filedir",
        "}",
        f"complete -F {function} {program}",
    ]
    return "\n".join(out) + "\n"


def identifier(name):
    return re.sub(r"\W", "_", name)


def zsh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def zsh_option_arguments(entries):
    arguments = []
    for entry in entries:
        description = first_sentence([entry.text]).replace("[", "\\[").replace("]", "\\]")
        exclusive = f"({' '.join(entry.names)})" if len(entry.names) > 1 else ""
        if entry.names[-1] in ("--help", "--version"):
            exclusive = "(- *)"
        if entry.value:
            action = {"files": "_files", "directories": "_files -/", "none": " "}[value_kind(entry.value)]
            message = entry.value.replace(":", "\\:")
            for name in entry.names:
                suffix = "=" if name.startswith("--") else "+"
                arguments.append(zsh_quote(f"{exclusive}{name}{suffix}[{description}]:{message}:{action}"))
        else:
            for name in entry.names:
                arguments.append(zsh_quote(f"{exclusive}{name}[{description}]"))
    return arguments


def zsh_completion(program, top, commands):
    function = "_" + identifier(program)
    out = [f"#compdef {program}", f"# zsh completion for {program}, written at build time from its --help.", ""]
    if commands:
        for command, help_ in commands.items():
            arguments = zsh_option_arguments(help_.section("Options")) + ["'*:argument:_files'"]
            out += [f"{function}_{identifier(command)}() {{", "    _arguments -s \\",
                    *[f"        {argument} \\" for argument in arguments[:-1]], f"        {arguments[-1]}", "}", ""]
        summaries = {entry.names[0]: entry.text for entry in top.section("Commands")}
        out += [f"{function}() {{", "    local curcontext=$curcontext state line", "    local -a commands=("]
        out += ["        " + zsh_quote(command + ":" + first_sentence([summaries.get(command, "")]).replace(":", "\\:"))
                for command in commands]
        out += ["    )", "    _arguments -C \\", *[f"        {argument} \\" for argument in zsh_option_arguments(top.section("Options"))],
                "        '1:command:->command' \\", "        '*::argument:->argument'",
                "    case $state in",
                f"        command) _describe -t commands '{program} command' commands ;;",
                "        argument)",
                "            case $words[1] in"]
        out += [f"                {command}) {function}_{identifier(command)} ;;" for command in commands]
        out += ["            esac ;;", "    esac", "}", ""]
    else:
        arguments = zsh_option_arguments(top.section("Options")) + ["'*:argument:_files'"]
        out += [f"{function}() {{", "    _arguments -s \\", *[f"        {argument} \\" for argument in arguments[:-1]],
                f"        {arguments[-1]}", "}", ""]
    out.append(f'{function} "$@"')
    return "\n".join(out) + "\n"


# ---- main ---------------------------------------------------------------------------------

def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = text.encode("utf-8")
    # Manual pages go compressed, as the system keeps them; no time stamp, so that builds agree.
    if path.endswith(".gz"):
        data = gzip.compress(data, compresslevel=9, mtime=0)
    with open(path, "wb") as file:
        file.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the program's installed name")
    parser.add_argument("--binary", required=True, help="the built program to ask")
    parser.add_argument("--version-file", required=True, help="corvex-version.txt of the build")
    parser.add_argument("--see-also", default="", help="other pages to name, comma-separated")
    parser.add_argument("--out", required=True, help="folder for man/, bash-completion/ and zsh/")
    arguments = parser.parse_args()

    with open(arguments.version_file, encoding="utf-8") as file:
        version = file.read().strip()
    # The page's date is the commit's, so that a build of the same tree makes the same page.
    stamp = re.search(r"\+git(\d{4})(\d{2})(\d{2})", version)
    date = "-".join(stamp.groups()) if stamp else "1970-01-01"
    program = arguments.program
    see_also = [name for name in arguments.see_also.split(",") if name]

    try:
        top = parse_help(run_help(arguments.binary, []), program)
        commands = {}
        for entry in top.section("Commands"):
            command = entry.names[0]
            commands[command] = parse_help(run_help(arguments.binary, [command]), f"{program} {command}")
    except ValueError as error:
        sys.exit(f"cli_docs.py: {error}")

    pages = [f"{program}-{command}" for command in commands]
    write(os.path.join(arguments.out, "man", f"{program}.1.gz"),
          man_page(program, program, None, first_sentence(top.description), top, version, date, pages + see_also))
    for entry in top.section("Commands"):
        command = entry.names[0]
        write(os.path.join(arguments.out, "man", f"{program}-{command}.1.gz"),
              man_page(f"{program}-{command}", program, command, first_sentence([entry.text]), commands[command],
                       version, date, [program]))
    write(os.path.join(arguments.out, "bash-completion", program), bash_completion(program, top, commands))
    write(os.path.join(arguments.out, "zsh", f"_{program}"), zsh_completion(program, top, commands))


if __name__ == "__main__":
    main()
