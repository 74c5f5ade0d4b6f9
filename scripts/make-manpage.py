#!/usr/bin/env python3
"""Writes a program's man page from its own --help and --version, so the page always says what the
program says. With --subcommands, every command listed in the help gets its own entry made from
`PROGRAM COMMAND --help`. Sections that help cannot give (NAME, EXAMPLES, SEE ALSO, ...) come from
an include file of "[SECTION]" headings followed by roff text.

  make-manpage.py --program build/tools/quillon/quillon --section 1 --include docs/man/quillon.man \
      [--subcommands] [--title-name quillon] --output quillon.1.gz

Help text is read as paragraphs separated by blank lines:
  usage: ...               (first paragraph)   -> SYNOPSIS
  Heading:                 (indented items)    -> OPTIONS, FILES, ENVIRONMENT; with --subcommands any
    term   description                            other heading is a group of COMMANDS
  Exit status: ...                             -> EXIT STATUS
  anything else                                -> DESCRIPTION
"""
import argparse
import gzip
import os
import re
import subprocess
import sys

KNOWN_HEADINGS = {"Options": "OPTIONS", "Files": "FILES", "Environment": "ENVIRONMENT"}
ORDER = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", None, "EXIT STATUS", "ENVIRONMENT",
         "FILES", "EXAMPLES", "SEE ALSO"]


def run(program, *args):
    env = dict(os.environ, LC_ALL="C.UTF-8", QT_QPA_PLATFORM="offscreen")
    result = subprocess.run([program, *args], capture_output=True, text=True, env=env, timeout=60)
    if result.returncode != 0:
        sys.exit(f"make-manpage: {program} {' '.join(args)} exited with {result.returncode}: {result.stderr}")
    return result.stdout


def escape(text):
    """Plain text as a roff text line: backslashes and minus signs kept, no control character first."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def paragraphs(text):
    blocks, block = [], []
    for line in text.rstrip("\n").split("\n"):
        if line.strip():
            block.append(line.rstrip())
        elif block:
            blocks.append(block)
            block = []
    if block:
        blocks.append(block)
    return blocks


def items(lines):
    """Indented "term  description" lines; a more deeply indented line continues the description."""
    out = []
    for line in lines:
        m = re.match(r"^  (\S(?:.*?\S)?)(?:\s{2,}(\S.*))?$", line)
        if m and not line.startswith("   "):
            out.append([m.group(1), m.group(2) or ""])
        elif out:
            out[-1][1] = (out[-1][1] + " " + line.strip()).strip()
        else:
            sys.exit(f"make-manpage: cannot read the help line '{line}'")
    return out


def parse_help(text):
    """Returns the usage lines and the blocks of a help text as (kind, heading, content)."""
    usage, blocks = [], []
    for block in paragraphs(text):
        first = block[0]
        heading = re.match(r"^([A-Z][^:]*):$", first)
        if first.startswith("usage: "):
            usage = [first[len("usage: "):]] + [line.strip() for line in block[1:]]
        elif first.startswith("Exit status:"):
            blocks.append(("exit", None, " ".join(line.strip() for line in block)[len("Exit status:"):].strip()))
        elif heading and all(line.startswith("  ") for line in block[1:]):
            blocks.append(("list", heading.group(1), items(block[1:])))
        else:
            blocks.append(("text", None, text_lines(block)))
    return usage, blocks


def text_lines(block):
    """A paragraph as filled roff lines; a short line that ends a sentence keeps its line break."""
    out, current = [], []
    for i, line in enumerate(block):
        current.append(line.strip())
        if i + 1 < len(block) and len(line) < 80 and line.rstrip().endswith((".", ":", ";")):
            out += [escape(" ".join(current)), ".br"]
            current = []
    return out + [escape(" ".join(current))]


def bold_command(usage, words):
    """A synopsis line with its first words (program, command) in bold."""
    parts = usage.split(" ")
    head, rest = " ".join(parts[:words]), " ".join(parts[words:])
    return "\\fB" + escape(head) + "\\fR" + (" " + escape(rest) if rest else "")


def tagged_list(entries):
    lines = []
    for term, text in entries:
        lines += [".TP", "\\fB" + escape(term) + "\\fR", escape(text) if text else "\\&"]
    return lines


def command_entry(program, name):
    usage, blocks = parse_help(run(program, name, "--help"))
    if not usage:
        sys.exit(f"make-manpage: '{name} --help' gives no usage line")
    lines = [".TP", bold_command(usage[0], 2)]
    first = True
    for kind, heading, content in blocks:
        if kind == "list":
            lines += [".IP", escape(heading + ":"), ".RS"] + tagged_list(content) + [".RE"]
        else:
            text = content if kind == "text" else [escape("Exit status: " + content)]
            lines += ([] if first else [".IP"]) + text
        first = False
    return lines


def read_include(path):
    sections = []
    if not path:
        return sections
    with open(path, encoding="utf-8") as f:
        for line in f.read().split("\n"):
            m = re.match(r"^\[([A-Z][A-Z ]*)\]\s*$", line)
            if m:
                sections.append([m.group(1), []])
            elif sections:
                sections[-1][1].append(line)
            elif line.strip() and not line.startswith("#"):
                sys.exit(f"make-manpage: {path}: text before the first [SECTION]")
    return [(name, "\n".join(body).strip("\n").split("\n")) for name, body in sections]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--name", help="the program's name in the page (default: the file name)")
    ap.add_argument("--section", default="1")
    ap.add_argument("--include")
    ap.add_argument("--subcommands", action="store_true")
    ap.add_argument("--output", required=True, help="FILE.gz (compressed) or FILE")
    args = ap.parse_args()

    name = args.name or os.path.basename(args.program)
    version = run(args.program, "--version").strip()
    usage, blocks = parse_help(run(args.program, "--help"))

    sections = {}

    def add(section, lines):
        sections.setdefault(section, []).extend(lines)

    add("SYNOPSIS", [line for u in usage for line in (bold_command(u, 1), ".br")][:-1])
    for kind, heading, content in blocks:
        if kind == "text":
            add("DESCRIPTION", [".PP"] + content)
        elif kind == "exit":
            add("EXIT STATUS", [escape(content)])
        elif heading in KNOWN_HEADINGS:
            add(KNOWN_HEADINGS[heading], tagged_list(content))
        elif args.subcommands:
            add("COMMANDS", [".SS " + escape(heading)])
            for command, _ in content:
                add("COMMANDS", command_entry(args.program, command))
        else:
            add(heading.upper(), tagged_list(content))
    for section, body in read_include(args.include):
        add(section, body)
    if "NAME" not in sections:
        sys.exit("make-manpage: the include file has no [NAME] section")

    def rank(section):
        return ORDER.index(section) if section in ORDER else ORDER.index(None)

    page = [f'.TH "{name.upper()}" "{args.section}" "" "{escape(version)}" "User Commands"',
            ".\\\" Made by scripts/make-manpage.py from the program's --help; edit the help text instead.",
            ".nh", ".ad l"]
    for section in sorted(sections, key=rank):
        page.append(".SH " + section)
        page += sections[section]
    text = "\n".join(page) + "\n"
    if args.output.endswith(".gz"):
        with open(args.output, "wb") as f:
            # No file name or time in the header, so the same page gives the same bytes.
            with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=f, mtime=0) as gz:
                gz.write(text.encode("utf-8"))
    else:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main()
