"""The manual pages and shell completions made at build time say what the programs' --help says.

Each program, and each command of a program with commands, is one case: its manual page,
rendered by groff, holds every word of its help in the same order; bash and zsh complete
exactly its options (and a program's commands). The programs are asked afresh, so a page or
completion that was not made again after an option changed fails here.

    CORVEX_PROGRAMS="corvex=/path/corvex,..." CORVEX_DOCS_DIR=build/packaging/docs python3 test_cli_docs.py
"""

import functools
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

PROGRAMS = dict(item.split("=", 1) for item in os.environ.get("CORVEX_PROGRAMS", "").split(",") if item)
DOCS = os.environ.get("CORVEX_DOCS_DIR", "")
BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"
HEADING = re.compile(r"^[A-Z][A-Za-z ]*:$")


@functools.cache
def help_text(program, command=None):
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
    arguments = [PROGRAMS[program]] + ([command] if command else []) + ["--help"]
    text = subprocess.run(arguments, capture_output=True, text=True, env=environment, check=True).stdout
    # Qt names the program in the usage line as it was started; installed, that is its name.
    return text.replace(f"Usage: {PROGRAMS[program]} ", f"Usage: {program} ", 1)


def section(text, title):
    lines = text.split("\n")
    if f"{title}:" not in lines:
        return []
    start = lines.index(f"{title}:") + 1
    end = next((i for i in range(start, len(lines)) if not lines[i].startswith(" ")), len(lines))
    return lines[start:end]


def options(text):
    """Every option name the help lists: "-o", "--output", …"""
    names = []
    for line in section(text, "Options"):
        for token in line.split():
            if not token.startswith("-"):
                break
            names.append(token.rstrip(","))
    return names


def cases():
    for program in sorted(PROGRAMS):
        yield program, None
        for line in section(help_text(program), "Commands"):
            yield program, line.split()[0]


def page_name(program, command):
    return f"{program}-{command}" if command else program


def render(page):
    with gzip.open(page, "rt", encoding="utf-8") as file:
        source = file.read()
    rendered = subprocess.run(["groff", "-k", "-man", "-Tutf8", "-P-cbou"], input=source, capture_output=True,
                              text=True, check=True).stdout
    # groff's typographic characters for the ASCII ones the help prints.
    return rendered.translate(str.maketrans({"\u2212": "-", "\u2010": "-", "\u2019": "'", "\u2018": "`"}))


def help_words(text):
    words = []
    for line in text.split("\n"):
        if HEADING.match(line):
            continue
        words += [re.sub(r"^<(.*)>$", r"\1", word) for word in line.removeprefix("Usage: ").split()]
    return words


class CliDocs(unittest.TestCase):
    def setUp(self):
        if not PROGRAMS or not DOCS:
            self.fail("CORVEX_PROGRAMS and CORVEX_DOCS_DIR must name the built programs and their documents")
        self.scratch = tempfile.TemporaryDirectory(prefix="corvex-cli-docs-")
        self.addCleanup(self.scratch.cleanup)

    def test_manual_pages_say_the_help(self):
        for program, command in cases():
            with self.subTest(page=page_name(program, command)):
                page = render(os.path.join(DOCS, program, "man", page_name(program, command) + ".1.gz"))
                rendered = iter(page.split())
                missing = [word for word in help_words(help_text(program, command))
                           if not any(word == seen for seen in rendered)]
                self.assertEqual(missing[:1], [], f"the page lacks, in the help's order, from: {missing[:12]}")

    def offers(self, shell, lines):
        """{line: the words the shell's completion offers for the end of the line}, all lines in one run.

        Each shell's completion functions write what they offer, with the line's number, to a file."""
        out = os.path.join(self.scratch.name, shell)
        if shell == "bash":
            script = [f"source {BASH_COMPLETION}"] + [f"source {DOCS}/{program}/bash-completion/{program}"
                                                      for program in PROGRAMS]
            for number, line in enumerate(lines):
                words = line.split(" ")
                script.append(f"COMP_WORDS=({' '.join(repr(word) for word in words)}); COMP_CWORD={len(words) - 1};"
                              f" COMP_LINE='{line}'; COMP_POINT={len(line)}; COMPREPLY=();"
                              f" $(complete -p {words[0]} | sed -E 's/.* -F ([^ ]+) .*/\\1/') {words[0]}"
                              f" '{words[-1]}' '{words[-2]}'; printf '{number} %s\\n' \"${{COMPREPLY[@]}}\" >> {out}")
            command = ["bash", "-c", "\n".join(script)]
        else:
            # A zsh at a terminal, where completion runs: each line is typed, completed (^Xc) and
            # erased (^Xk: keys the terminal does not act on itself while zsh runs a command).
            folders = " ".join(f"{DOCS}/{program}/zsh" for program in PROGRAMS)
            script = [
                "zmodload zsh/zpty", "zpty z zsh -f -i",
                f"zpty -w z 'PROMPT=; unsetopt autolist; fpath=({folders} $fpath); autoload -U compinit; compinit -u -D'",
                f"zpty -w z 'compadd() {{ builtin compadd -O hits \"$@\"; print -rl -- $case\" \"${{^hits}} >> {out};"
                " builtin compadd \"$@\" }'",
                "zpty -w z 'bindkey \"^Xc\" complete-word; bindkey \"^Xk\" kill-whole-line'",
            ]
            for number, line in enumerate(lines):
                script += [f"zpty -w z 'case={number}'", f"zpty -w -n z '{line}'$'\\x18c\\x18k'"]
            script += [f"zpty -w z 'print > {out}.done'",
                       f"for i in {{1..600}}; do [[ -e {out}.done ]] && break; sleep 0.1; done", "zpty -d z"]
            command = ["zsh", "-f", "-c", "\n".join(script)]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
        self.assertTrue(os.path.exists(out), result.stdout + result.stderr)
        offers = {line: set() for line in lines}
        with open(out, encoding="utf-8") as file:
            for entry in file.read().split("\n"):
                number, _, word = entry.partition(" ")
                if word.strip():
                    offers[lines[int(number)]].add(word.strip())
        return offers

    def test_shells_complete_every_command_and_option(self):
        expected = {}
        for program, command in cases():
            text = help_text(program, command)
            prefix = " ".join(filter(None, [program, command]))
            expected[prefix + " -"] = set(options(text))
            if section(text, "Commands"):
                expected[prefix + " "] = {line.split()[0] for line in section(text, "Commands")}
        for shell, needs in (("bash", BASH_COMPLETION), ("zsh", shutil.which("zsh") or "/nonexistent")):
            if not os.path.exists(needs):
                self.skipTest_or_fail(f"{shell} completion is not installed: run scripts/install-deps test")
            offers = self.offers(shell, list(expected))
            for line, words in expected.items():
                with self.subTest(shell=shell, line=line):
                    self.assertEqual(offers[line], words)

    def skipTest_or_fail(self, reason):
        # Where the tools ought to be there, their absence is a failure, not a skip.
        if os.environ.get("CI"):
            self.fail(reason)
        self.skipTest(reason)


if __name__ == "__main__":
    unittest.main(verbosity=2)
