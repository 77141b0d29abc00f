#!/usr/bin/env python3
"""Writes a package's Debian changelog (changelog.gz) from CHANGELOG.md.

    debian_changelog.py --changelog CHANGELOG.md --version-file corvex-version.txt --package corvex-studio \
        --maintainer "Name <address>" --out changelog.gz

The newest entry is this build's version with the "Unreleased" section (the package carries
that version); each release section follows with its own version and date.
"""

import argparse
import datetime
import gzip
import re
import sys
import textwrap

SECTION = re.compile(r"^## \[(?P<name>[^\]]+)\](?: - (?P<date>\d{4}-\d{2}-\d{2}))?\s*$")


def read_sections(path):
    """[(name, date or None, [lines])] in the file's order."""
    sections = []
    with open(path, encoding="utf-8") as file:
        for line in file.read().splitlines():
            match = SECTION.match(line)
            if match:
                sections.append((match["name"], match["date"], []))
            elif sections and not line.startswith("["):
                sections[-1][2].append(line)
    return sections


def entry_lines(lines):
    """The section's items and paragraphs as changelog lines: "  * item", wrapped at 78 columns."""
    blocks, heading = [], ""
    for line in lines:
        if line.startswith("### "):
            heading = line[4:].strip()
        elif line.startswith("- "):
            blocks.append([f"{heading}: {line[2:].strip()}" if heading else line[2:].strip(), "*"])
        elif line.startswith("  ") and blocks:
            blocks[-1][0] += " " + line.strip()
        elif line.strip():
            blocks.append([line.strip(), ""])
    out = []
    for text, mark in blocks:
        text = text.replace("`", "")
        first = f"  {mark} " if mark else "  "
        out += textwrap.wrap(text, 78, initial_indent=first, subsequent_indent="    " if mark else "  ")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("changelog", "version-file", "package", "maintainer", "out"):
        parser.add_argument("--" + name, required=True)
    arguments = parser.parse_args()

    with open(arguments.version_file, encoding="utf-8") as file:
        version, commit_time = (file.read().split("\n") + [""])[:2]
    sections = read_sections(arguments.changelog)
    releases = [section for section in sections if section[1]]
    if not releases:
        sys.exit(f"debian_changelog.py: {arguments.changelog} has no release with a date")
    if not version.startswith(releases[0][0]):
        sys.exit(f"debian_changelog.py: the build's version {version} is not of the newest release in "
                 f"{arguments.changelog} ({releases[0][0]}); add that release, or set the project's version")
    unreleased = next((lines for name, _, lines in sections if name == "Unreleased"), [])
    entries = []
    utc = datetime.timezone.utc
    if version != releases[0][0]:
        # The commit's time: a snapshot is newer than the release it follows, even on the same day.
        when = datetime.datetime.fromtimestamp(int(commit_time), utc) if commit_time.strip() else \
            datetime.datetime.strptime(releases[0][1], "%Y-%m-%d").replace(tzinfo=utc)
        entries.append((version, when, entry_lines(unreleased) or [f"  * No changes since {releases[0][0]}."]))
    for name, date, lines in releases:
        entries.append((name, datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=utc), entry_lines(lines)))

    text = ""
    for entry_version, day, lines in entries:
        when = day.strftime("%a, %d %b %Y %H:%M:%S %z")
        text += f"{arguments.package} ({entry_version}) unstable; urgency=medium\n\n"
        text += "\n".join(lines) + "\n\n"
        text += f" -- {arguments.maintainer}  {when}\n\n"
    with open(arguments.out, "wb") as file:
        file.write(gzip.compress(text.rstrip("\n").encode("utf-8") + b"\n", compresslevel=9, mtime=0))


if __name__ == "__main__":
    main()
