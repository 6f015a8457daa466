"""Writes the Debian changelog of the packages from CHANGELOG.md: one entry per
released version (a "## [X.Y.Z] - YYYY-MM-DD" section), newest first, its
bullets as the entry's items. Sections without a date are left out.

    debian-changelog.py CHANGELOG.md SOURCE_NAME VERSION "MAINTAINER <EMAIL>" OUT
"""
import datetime
import re
import sys
import textwrap


def releases(markdown):
    out, current = [], None
    for line in markdown.splitlines():
        heading = re.match(r"^## \[([^\]]+)\] - (\d{4})-(\d{2})-(\d{2})\s*$", line)
        if heading:
            current = (heading.group(1), datetime.date(*map(int, heading.groups()[1:])), [])
            out.append(current)
        elif line.startswith("## "):
            current = None
        elif current is not None:
            if line.startswith("- "):
                current[2].append(line[2:].strip())
            elif line.startswith("  ") and current[2]:
                current[2][-1] += " " + line.strip()
    return out


def main():
    source, package, version, maintainer, out = sys.argv[1:6]
    with open(source, encoding="utf-8") as f:
        entries = releases(f.read())
    if not entries or entries[0][0] != version:
        sys.exit(f"debian-changelog: {source} has no dated section for {version} at the top")
    lines = []
    for number, day, items in entries:
        lines.append(f"{package} ({number}) unstable; urgency=medium")
        lines.append("")
        for item in items or ["Release " + number + "."]:
            text = item.replace("`", "")
            lines.extend(textwrap.wrap(text, 76, initial_indent="  * ", subsequent_indent="    "))
        lines.append("")
        stamp = datetime.datetime(day.year, day.month, day.day, 12, 0, tzinfo=datetime.timezone.utc)
        lines.append(f" -- {maintainer}  {stamp.strftime('%a, %d %b %Y %H:%M:%S %z')}")
        lines.append("")
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
