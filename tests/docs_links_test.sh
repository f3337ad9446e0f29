#!/usr/bin/env bash
# Every relative link in README.md and docs/*.md leads to a file of the
# repository, and a link to a heading (FILE.md#anchor, #anchor) to a heading
# that exists there, named the way the Markdown renderers name them (lower
# case, punctuation dropped, spaces as hyphens, -1, -2 ... for repeats).
# Links into code spans and code blocks are not links; web links are not
# checked. A blank line inside a table (which cuts its later rows off) is
# reported too.
# usage: docs_links_test.sh [REPOSITORY]
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
exec python3 - "$root" <<'PY'
import os
import re
import sys

root = os.path.realpath(sys.argv[1])
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")


def text_lines(path):
    """The lines of a Markdown file outside code blocks, code spans removed."""
    out, fence = [], None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            stripped = line.strip()
            if fence:
                if stripped.startswith(fence):
                    fence = None
                continue
            if stripped.startswith("```") or stripped.startswith("~~~"):
                fence = stripped[:3]
                continue
            if line.startswith("    ") or line.startswith("\t"):
                continue  # an indented code block (no list here nests one)
            out.append((number, re.sub(r"`[^`]*`", "", line)))
    return out


def slug(heading):
    text = re.sub(r"[`*]", "", heading.strip().lower())
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


anchors_of = {}


def anchors(path):
    if path not in anchors_of:
        seen, found = {}, set()
        for _, line in text_lines(path):
            m = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
            if not m:
                continue
            base = slug(m.group(1))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
        anchors_of[path] = found
    return anchors_of[path]


pages = [os.path.join(root, "README.md")]
docs = os.path.join(root, "docs")
pages += sorted(os.path.join(docs, n) for n in os.listdir(docs) if n.endswith(".md"))
checked, broken = 0, []
for page in pages:
    shown = os.path.relpath(page, root)
    lines = text_lines(page)
    # A blank line inside a table ends it: the rows after it show as text.
    for (n0, a), (n1, b), (n2, c), (_, d) in zip(lines, lines[1:], lines[2:], lines[3:]):
        if (a.startswith("|") and not b.strip() and c.startswith("|") and n1 == n0 + 1 and
                n2 == n1 + 1 and not re.match(r"\|[\s:|-]*-[\s:|-]*$", d.strip())):
            broken.append(f"{shown}:{n1}: a blank line splits a table")
    for number, line in lines:
        for target in LINK.findall(line):
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, https:, mailto:
            checked += 1
            path, _, anchor = target.partition("#")
            dest = os.path.realpath(os.path.join(os.path.dirname(page), path)) if path else page
            where = f"{shown}:{number}: {target}"
            if not (dest == root or dest.startswith(root + os.sep)):
                broken.append(f"{where}: leads outside the repository")
            elif not os.path.exists(dest):
                broken.append(f"{where}: no such file")
            elif anchor and dest.endswith(".md") and anchor not in anchors(dest):
                broken.append(f"{where}: no heading #{anchor} in {os.path.relpath(dest, root)}")
for line in broken:
    print(line)
print(f"{checked} links in {len(pages)} pages, {len(broken)} broken")
sys.exit(1 if broken or not checked else 0)
PY
