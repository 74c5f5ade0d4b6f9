#!/usr/bin/env python3
"""Fails when a man page no longer says what its program's --help says: renders the page with groff
and looks for every line of `PROGRAM --help` (and, with --subcommands, of every `PROGRAM COMMAND
--help`) and for `PROGRAM --version` in the rendered text, blanks and line breaks aside.

  check_manpage.py PAGE.1.gz PROGRAM [--subcommands]
"""
import gzip
import os
import re
import subprocess
import sys

TYPOGRAPHY = str.maketrans({"\u2010": "-", "\u2011": "-", "\u2212": "-", "\u2013": "-", "\u2018": "'",
                            "\u2019": "'", "\u201c": '"', "\u201d": '"', "\u00a0": " "})


def flat(text):
    return " ".join(text.translate(TYPOGRAPHY).split())


def run(*args):
    env = dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen")
    return subprocess.run(args, capture_output=True, text=True, env=env, timeout=60, check=True).stdout


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    page, program = sys.argv[1], sys.argv[2]
    with gzip.open(page, "rt", encoding="utf-8") as f:
        source = f.read()
    rendered = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=200n", "-ww"], input=source,
                              capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"), check=True)
    if rendered.stderr.strip():
        sys.exit(f"{page}: groff warns:\n{rendered.stderr}")
    text = flat(rendered.stdout)

    helps = [[]]
    main_help = run(program, "--help")
    helps[0] = main_help
    if "--subcommands" in sys.argv[3:]:
        commands = re.findall(r"^  ([a-z][a-z0-9-]*) ", main_help, re.M)
        if not commands:
            sys.exit(f"{program} --help lists no commands")
        for command in commands:
            helps.append(run(program, command, "--help"))
    missing = []
    for help_text in helps:
        for line in help_text.splitlines():
            wanted = flat(re.sub(r"^usage: ", "", line))
            # A list entry "term   text" is rendered as the term, then its text.
            wanted_parts = [flat(part) for part in re.split(r"\s{2,}", line.strip()) if part]
            if not wanted or wanted in text or all(part in text for part in wanted_parts):
                continue
            # Headings become section titles ("Options:" -> OPTIONS), the exit status a section.
            heading = re.match(r"^([A-Z][^:]*):$", line)
            if heading and heading.group(1).lower() in text.lower():
                continue
            if line.startswith("Exit status: ") and flat(line[len("Exit status: "):]) in text:
                continue
            missing.append(line)
    version = flat(run(program, "--version"))
    if version not in text:
        missing.append(f"(--version) {version}")
    if missing:
        print(f"{page} differs from the help of {program}: {len(missing)} line(s) not in the page:")
        for line in missing[:40]:
            print("  " + line)
        sys.exit(1)
    print(f"{page}: every line of the help ({sum(len(h.splitlines()) for h in helps)} lines) is in the page")


if __name__ == "__main__":
    main()
