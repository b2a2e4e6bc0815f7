#!/usr/bin/env python3
"""Every option of the program appears in packaging/README-Windows.txt.

Usage: windows_text_options.py path/to/quellix SOURCE-DIR

The options are those the program's usage text lists (quellix -help, run in an
empty folder) and every option literal the sources under app/ compare arguments
with, so an option that is parsed but missing from the usage text is still caught.
Each must appear in the text as a word of its own ("-help" inside "--help" does not
count).
"""
import pathlib
import re
import subprocess
import sys
import tempfile

# An option: one or two dashes and a word, or "-?" and "/?"; not part of a longer
# word ("read-out", "--help" holding "-help").
OPTION = r"(?<![\w/?-])(--?[A-Za-z][\w-]*|[-/]\?)(?![\w?-])"


def help_options(program):
    with tempfile.TemporaryDirectory() as folder:
        run = subprocess.run([program, "-help"], cwd=folder, capture_output=True, text=True,
                             timeout=60)
        if list(pathlib.Path(folder).iterdir()):
            sys.exit("quellix -help left files behind")
    return set(re.findall(OPTION, run.stdout))


def parsed_options(source):
    found = set()
    for path in sorted((source / "app").rglob("*.cpp")):
        found |= set(re.findall(r'L"' + OPTION + '"', path.read_text()))
    return found


def main():
    program, source = str(pathlib.Path(sys.argv[1]).resolve()), pathlib.Path(sys.argv[2])
    text = (source / "packaging" / "README-Windows.txt").read_text()
    listed = help_options(program)
    parsed = parsed_options(source)
    print("usage text lists:", " ".join(sorted(listed)) or "(no usage text)")
    print("sources parse:", " ".join(sorted(parsed)))
    if "-calibfile" not in parsed:
        sys.exit("the option literals were not found in app/: is the pattern out of date?")
    missing = sorted(o for o in listed | parsed
                     if not re.search(r"(?<![\w/?-])" + re.escape(o) + r"(?![\w?-])", text))
    if missing:
        sys.exit("not in packaging/README-Windows.txt: " + " ".join(missing))


if __name__ == "__main__":
    main()
