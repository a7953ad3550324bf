"""The manual pages render without a single groff warning, and each names every long option
that its program's --help prints, so that an option added to a program without its page fails
here."""

import os
import re
import shutil
import subprocess

import pytest

SOURCE_DIR = os.environ.get("QMR_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("QMR_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")

# (program, page) pairs; the page is in man/ of the source tree.
PAGES = [
    ("qmr-host", "qmr-host.1"),
    ("qmr-listen", "qmr-listen.1"),
    ("qmr-datastored", "qmr-datastored.8"),
]

# "--name" not preceded by a word character or a dash: "--db", not the "--" of "---" or "a--b".
LONG_OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9]*(?:-[a-z0-9]+)*")


def groff(page, *extra):
    if shutil.which("groff") is None:
        pytest.fail("groff is missing; install the Debian package groff-base (./qmr deps)")
    argv = ["groff", "-man", "-Tutf8", *extra, os.path.join(SOURCE_DIR, "man", page)]
    return subprocess.run(argv, capture_output=True, text=True,
                          env={**os.environ, "LC_ALL": "C.UTF-8"})


def rendered_text(page):
    """The page as plain text on very long lines, without hyphenation, so that no option is
    broken across lines; typographic hyphens and minus signs become ASCII."""
    result = groff(page, "-rLL=2000n", "-rHY=0", "-P-cbou")
    assert result.returncode == 0, result.stderr
    return re.sub("[\u2010\u2011\u2212]", "-", result.stdout)


def help_options(program):
    binary = os.path.join(BUILD_DIR, "bin", program)
    assert os.access(binary, os.X_OK), f"{binary} is not built; run ./qmr build"
    result = subprocess.run([binary, "--help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, f"{program} --help failed: {result.stderr}"
    # The programs are installed without the source tree: their help names installed commands.
    for tree_only in ("./qmr", "tools/", "build/"):
        assert tree_only not in result.stdout, f"{program} --help mentions {tree_only}"
    return set(LONG_OPTION.findall(result.stdout))


@pytest.mark.parametrize("program,page", PAGES)
def test_page_renders_without_warnings(program, page):
    result = groff(page, "-ww", "-z")
    assert result.returncode == 0 and result.stderr == "", f"{page}: {result.stderr}"


@pytest.mark.parametrize("program,page", PAGES)
def test_page_names_every_long_option_of_help(program, page):
    options = help_options(program)
    # Every program here has --help and at least one option of its own; finding fewer means
    # the pattern no longer matches the usage text, which would let any page pass.
    assert "--help" in options and len(options) >= 2, options
    documented = set(LONG_OPTION.findall(rendered_text(page)))
    missing = sorted(options - documented)
    assert not missing, f"man/{page} does not describe {', '.join(missing)} of {program} --help"


@pytest.mark.parametrize("program,page", PAGES)
def test_page_is_named_for_its_program_and_section(program, page):
    text = rendered_text(page)
    section = page.rsplit(".", 1)[1]
    assert text.lstrip().startswith(f"{program.upper()}({section})"), text[:80]
    assert re.search(rf"^NAME\n\s+{re.escape(program)} - \S", text, re.M), text[:300]


def indent(line):
    return len(line) - len(line.lstrip(" "))


@pytest.mark.parametrize("program,page", PAGES)
def test_option_descriptions_keep_their_indent(program, page):
    """An example inside an option's description must not end the description's indent: every
    line of it, down to the blank line that closes it, stays indented under the option."""
    result = groff(page, "-rLL=78n", "-rHY=0", "-P-cbou")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    start = lines.index("OPTIONS")
    end = next(i for i in range(start + 1, len(lines)) if re.match(r"^[A-Z]", lines[i]))
    options = lines[start + 1:end]
    checked = 0
    for i, line in enumerate(options[:-1]):
        # An option's tag sits at the margin, its description deeper (a paragraph line that
        # happens to start with an option is followed by one at the margin).
        if not re.match(r"^ {7}-", line) or indent(options[i + 1]) <= 7:
            continue
        body = indent(options[i + 1])
        j = i + 1
        while j < len(options) and options[j].strip():
            assert indent(options[j]) >= body, (
                f"{page}: under {line.strip()!r} the line {options[j].strip()!r} falls back "
                f"to the margin")
            j += 1
        checked += 1
    assert checked >= 2, f"{page}: found {checked} option descriptions in OPTIONS"


def test_option_pattern_keeps_whole_names_only():
    text = "  --max-transaction-bytes N  see --db=FILE; not a---b nor ----; --help."
    assert LONG_OPTION.findall(text) == ["--max-transaction-bytes", "--db", "--help"]
