"""The manual pages and shell completions made at build time say what the programs' --help says.

Each program, and each command of a program with commands, is one case: its manual page,
rendered by groff, holds every word of its help in the same order; bash completes exactly
its options (and the named choices of an option's value); its zsh completion lists every
option. The programs are asked afresh, so a page or completion that was not made again after
an option changed fails here.

    CORVEX_PROGRAMS="corvex=/path/corvex,..." CORVEX_DOCS_DIR=build/packaging/docs python3 test_cli_docs.py
"""

import functools
import gzip
import os
import re
import shutil
import subprocess
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


def valued_choices(text):
    """{option: [choices]} for options whose value is one of some lower-case words ("<portal|x11|…>")."""
    found = {}
    for line in section(text, "Options"):
        match = re.match(r"^  (-[^<]*?) <([^>]*)>", line)
        if match:
            words = [word for word in match[2].split("|") if re.fullmatch(r"[a-z0-9][a-z0-9_-]*", word)]
            for name in match[1].replace(",", " ").split():
                if words:
                    found[name] = words
    return found


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

    def test_manual_pages_say_the_help(self):
        for program, command in cases():
            with self.subTest(page=page_name(program, command)):
                page = render(os.path.join(DOCS, program, "man", page_name(program, command) + ".1.gz"))
                rendered = iter(page.split())
                missing = [word for word in help_words(help_text(program, command))
                           if not any(word == seen for seen in rendered)]
                self.assertEqual(missing[:1], [], f"the page lacks, in the help's order, from: {missing[:12]}")

    def complete_in_bash(self, program, words):
        script = f"""
            source {BASH_COMPLETION}
            source {os.path.join(DOCS, program, "bash-completion", program)}
            COMP_WORDS=({" ".join(f"'{word}'" for word in words)}); COMP_CWORD={len(words) - 1}
            COMP_LINE="${{COMP_WORDS[*]}}"; COMP_POINT=${{#COMP_LINE}}
            $(complete -p {program} | sed -E 's/.* -F ([^ ]+) .*/\\1/') {program} '{words[-1]}' '{words[-2]}'
            printf '%s\\n' "${{COMPREPLY[@]}}"
        """
        result = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return set(result.stdout.split())

    def test_bash_completes_every_option(self):
        if not os.path.exists(BASH_COMPLETION):
            self.skipTest_or_fail("bash-completion is not installed: run scripts/install-deps test")
        for program, command in cases():
            with self.subTest(program=program, command=command):
                text = help_text(program, command)
                prefix = [program] + ([command] if command else [])
                expected = set(options(text))
                if not command and section(text, "Commands"):
                    expected |= {line.split()[0] for line in section(text, "Commands")}
                    self.assertEqual(self.complete_in_bash(program, prefix + [""]), expected)
                else:
                    self.assertEqual(self.complete_in_bash(program, prefix + ["-"]), expected)
                for option, choices in valued_choices(text).items():
                    self.assertEqual(self.complete_in_bash(program, prefix + [option, ""]), set(choices), option)

    def test_zsh_lists_every_option(self):
        for program in PROGRAMS:
            path = os.path.join(DOCS, program, "zsh", f"_{program}")
            with open(path, encoding="utf-8") as file:
                script = file.read()
            if shutil.which("zsh"):
                check = subprocess.run(["zsh", "-n", path], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stderr)
            else:
                self.skipTest_or_fail("zsh is not installed: run scripts/install-deps test")
            # One function per command (_corvex_analyse), or the program's own for one without commands.
            functions = dict(re.findall(r"^(_[\w]+)\(\) \{\n(.*?)^\}", script, re.S | re.M))
            for case_program, command in cases():
                if case_program != program:
                    continue
                with self.subTest(program=program, command=command):
                    name = "_" + re.sub(r"\W", "_", page_name(program, command))
                    listed = set(re.findall(r"(?:'|\))(-[\w-]+)[=+]?\[", functions.get(name, "")))
                    self.assertEqual(listed, set(options(help_text(program, command))), name)

    def skipTest_or_fail(self, reason):
        # Where the tools ought to be there, their absence is a failure, not a skip.
        if os.environ.get("CI"):
            self.fail(reason)
        self.skipTest(reason)


if __name__ == "__main__":
    unittest.main(verbosity=2)
