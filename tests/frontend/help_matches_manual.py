#!/usr/bin/env python3
"""Every option a program's --help lists is in its manual page, and every
option the page lists is in the help.

usage: help_matches_manual.py PAGE HELP_TEXT_FILE [OWN_PART_ENDS_AT]

The help's own part (up to a line starting with OWN_PART_ENDS_AT, for
quorvel the FUSE options) names options in its first column; the page names
them in the terms of its tagged paragraphs (.TP). Options of the page must
appear anywhere in the whole help (FUSE's own help included)."""
import re
import sys

TOKEN = re.compile(r"(?<![\w-])(-o [a-z_]+|--?[A-Za-z][-A-Za-z]*)")
PLACEHOLDERS = {"-o opt", "-o option"}


def tokens(text):
    return {t for t in TOKEN.findall(text) if t not in PLACEHOLDERS}


def page_terms(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    found = set()
    for before, term in zip(lines, lines[1:]):
        if before.strip() != ".TP":
            continue
        term = re.sub(r"^\.(BR|BI|IR|RB|IB|B|I)\s+", "", term)
        term = term.replace("\\-", "-").replace('"', "")
        term = re.sub(r"\\f[BIRP]", "", term)
        term = re.sub(r"\s+", " ", term)
        found |= tokens(term)
    return found


def help_first_columns(text, own_end):
    found = set()
    for line in text.splitlines():
        if own_end and line.startswith(own_end):
            break
        m = re.match(r"^ {4}(\S.*?)(?: {2,}|$)", line)
        if m:
            found |= tokens(m.group(1))
    return found


def main():
    page, help_file = sys.argv[1], sys.argv[2]
    own_end = sys.argv[3] if len(sys.argv) > 3 else ""
    help_text = open(help_file, encoding="utf-8").read()
    in_page = page_terms(page)
    listed = help_first_columns(help_text, own_end)
    problems = [f"{page}: lacks {o} (in --help)" for o in sorted(listed - in_page)]
    problems += [f"{page}: lists {o}, which --help does not" for o in sorted(in_page - tokens(help_text))]
    for p in problems:
        print(p)
    if not listed or not in_page:
        print(f"{page}: no options found (help {len(listed)}, page {len(in_page)})")
        return 1
    return 1 if problems else 0


sys.exit(main())
