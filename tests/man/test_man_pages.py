"""Checks the man pages: man --warnings finds nothing to say about any of them,
each names the project version, and each agrees with what it documents:
orvel-say(1) (and orvel-server(1) when the server is built) with the tool's
--help, orvel(3) with the prototypes of orvel.h.

    test_man_pages.py MAN_DIR ORVEL_H VERSION [TOOL=PATH ...]
"""
import os
import re
import subprocess
import sys
import unittest

MAN_DIR = ORVEL_H = VERSION = None
TOOLS = {}


def man_env(width):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH=str(width))
    env.pop("MAN_KEEP_FORMATTING", None)
    return env


def render(page):
    """The page as plain ASCII text, wide enough that no entry wraps."""
    result = subprocess.run(["man", "-E", "ascii", "-l", os.path.join(MAN_DIR, page)],
                            env=man_env(250), capture_output=True, text=True, check=True)
    return result.stdout


def sections(text):
    """Section name -> its lines, from a rendered page."""
    out, name = {}, None
    for line in text.splitlines():
        if line and not line[0].isspace():
            name = line.strip()
            out[name] = []
        elif name is not None:
            out[name].append(line)
    return out


def tagged_entries(lines, tag_pattern):
    """The .TP entries of a rendered section: tag -> body, with the body's
    wrapped lines joined. Tags sit at indent 7, bodies at indent 14; a short
    tag shares its line with the body."""
    entries, tag = {}, None
    for line in lines:
        if not line.strip():
            continue
        indent = len(line) - len(line.lstrip())
        if indent == 7:
            match = re.match(r"^ {7}(\S.*?)(?: {2,}(\S.*))?$", line)
            tag = match.group(1) if re.match(tag_pattern, match.group(1)) else None
            if tag is not None:
                entries[tag] = match.group(2) or ""
        elif indent >= 14 and tag is not None:
            entries[tag] = (entries[tag] + " " + line.strip()).strip()
    return entries


def help_entries(help_text, heading, tag_pattern):
    """The entries under a heading ("options:") of --help: tag -> description.
    The description column is where the first entry's description starts;
    continuation lines are indented to it, and an option longer than the column
    is followed by two spaces."""
    lines = help_text.splitlines()
    start = lines.index(heading) + 1
    entries, tag, column = {}, None, None
    for line in lines[start:]:
        if not line.strip() or not line.startswith(" "):
            break
        gap = re.search(r"\S {2,}(?=\S)", line)
        if column is None:
            column = gap.end()
        # An option too long for the column pushes its description right.
        split = gap.end() if gap and gap.end() > column else column
        head, body = line[:split].strip(), line[split:].strip()
        if head:
            tag = head if re.match(tag_pattern, head) else None
            if tag is not None:
                entries[tag] = body
        elif tag is not None:
            entries[tag] = (entries[tag] + " " + body).strip()
    return entries


def normalise(text):
    return " ".join(text.replace("\u2019", "'").split())


def bundled_default(tag, text):
    """The one machine-dependent default, where the bundled voice was found,
    made comparable; every other description is compared as it stands."""
    if "--model" not in tag:
        return text
    return re.sub(r"\(default: [^)]*\)$", "(default: the bundled voice)", text)


class AllPages(unittest.TestCase):
    def pages(self):
        names = sorted(n for n in os.listdir(MAN_DIR) if re.match(r"^[\w-]+\.\d$", n))
        self.assertIn("orvel.3", names)
        return names

    def test_no_warnings(self):
        # What lintian and Debian's man-db run over installed pages.
        for page in self.pages():
            with self.subTest(page=page):
                result = subprocess.run(
                    ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", os.path.join(MAN_DIR, page)],
                    env=man_env(80), capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "")

    def test_version_and_no_placeholders(self):
        for page in self.pages():
            with self.subTest(page=page):
                with open(os.path.join(MAN_DIR, page), encoding="utf-8") as f:
                    source = f.read()
                self.assertNotIn("@", re.sub(r"^\.\\\".*$", "", source, flags=re.M))
                th = re.search(r'^\.TH .*"talmerin\\-orvel ([^"]+)"', source, re.M)
                self.assertIsNotNone(th, "no .TH line with the version")
                self.assertEqual(th.group(1), VERSION)

    def test_compressed_copy_is_the_page(self):
        import gzip
        for page in self.pages():
            with self.subTest(page=page):
                with open(os.path.join(MAN_DIR, page), "rb") as f, \
                        gzip.open(os.path.join(MAN_DIR, page + ".gz")) as g:
                    self.assertEqual(f.read(), g.read())


class ToolPages(unittest.TestCase):
    """A tool's OPTIONS and EXIT STATUS say what its --help says."""

    def check_tool(self, tool):
        if tool not in TOOLS:
            self.skipTest(tool + " is not built")
        help_text = subprocess.run([TOOLS[tool], "--help"], capture_output=True, text=True, check=True).stdout
        page = sections(render(tool + ".1"))
        option = r"^-"
        want = {normalise(k): bundled_default(k, normalise(v)) for k, v in
                help_entries(help_text, "options:", option).items()}
        have = {normalise(k): bundled_default(k, normalise(v)) for k, v in
                tagged_entries(page["OPTIONS"], option).items()}
        self.assertTrue(want, "no options found in --help")
        self.assertEqual(sorted(have), sorted(want), "options listed differ")
        for tag in want:
            self.assertEqual(have[tag], want[tag], "description of " + tag)
        if "exit codes:" in help_text.splitlines():
            code = r"^\d+$"
            self.assertEqual(tagged_entries(page["EXIT STATUS"], code),
                             {k: normalise(v) for k, v in help_entries(help_text, "exit codes:", code).items()})

    def test_orvel_say(self):
        self.check_tool("orvel-say")

    def test_orvel_server(self):
        self.check_tool("orvel-server")


def header_prototypes():
    with open(ORVEL_H, encoding="utf-8") as f:
        source = f.read()
    source = re.sub(r"/\*.*?\*/", " ", source, flags=re.S)
    return {m.group(2): normalise(m.group(1) + m.group(2) + m.group(3))
            for m in re.finditer(r"^ORVEL_API\s+([^;]*?\b)(orvel_\w+)\s*(\([^)]*\))\s*;", source, re.M)}


class LibraryPage(unittest.TestCase):
    def test_synopsis_matches_header(self):
        want = header_prototypes()
        self.assertEqual(len(want), 14)
        synopsis = " ".join(sections(render("orvel.3"))["SYNOPSIS"])
        have = {m.group(2): normalise(m.group(1) + m.group(2) + m.group(3))
                for m in re.finditer(r"((?:const )?\w+ \**)(orvel_\w+)(\([^)]*\));", synopsis)}
        self.assertEqual(have, {k: v.replace("( ", "(") for k, v in want.items()})

    def test_name_lists_every_function(self):
        names = set(re.findall(r"orvel_\w+", " ".join(sections(render("orvel.3"))["NAME"])))
        self.assertEqual(names, set(header_prototypes()))


if __name__ == "__main__":
    MAN_DIR, ORVEL_H, VERSION = sys.argv[1:4]
    TOOLS = dict(arg.split("=", 1) for arg in sys.argv[4:])
    unittest.main(argv=sys.argv[:1], verbosity=2)
