#!/usr/bin/python3
"""Every link of the given Markdown files that stays in the tree leads somewhere: the file exists,
and a #heading names a heading of that file (as the repository's web view spells anchors).
Links to other sites are not followed.
    doc_links.py FILE.md...
"""
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^\s*```")


def prose_lines(path):
    """(line number, text) of the lines outside fenced code blocks, inline code removed."""
    inside = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if FENCE.match(line):
                inside = not inside
                continue
            if not inside:
                yield number, re.sub(r"`[^`]*`", "", line)


def anchor(heading):
    # Lower case, every character but letters, digits, blanks, '-' and '_' dropped, blanks as '-'.
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    seen = {}
    out = set()
    inside = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if FENCE.match(line):
                inside = not inside
                continue
            m = None if inside else re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
            if m:
                base = anchor(m.group(1))
                count = seen.get(base, 0)
                seen[base] = count + 1
                out.add(base if count == 0 else f"{base}-{count}")
    return out


def broken_links(path):
    found = []
    for number, line in prose_lines(path):
        for target in LINK.findall(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto:, ...
                continue
            file_part, _, fragment = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
            where = f"{path}:{number}: {target}"
            if not os.path.exists(linked):
                found.append(f"{where}: no such file {linked}")
            elif fragment and (not linked.endswith(".md") or fragment not in anchors(linked)):
                found.append(f"{where}: no heading #{fragment} in {linked}")
    return found


def main(paths):
    if not paths:
        sys.exit(__doc__)
    broken = [b for path in paths for b in broken_links(path)]
    for b in broken:
        print("FAILED:", b)
    if not broken:
        print(f"every link of {len(paths)} file(s) leads somewhere")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
