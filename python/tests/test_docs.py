"""What README.md, docs/ and the manual page show is what the program does:
the command lines they give run, and the output they show is printed."""
import json
import re
import shlex
import subprocess

import pytest

from conftest import DEFAULT_DATABASE, ROOT, VELTOR_PROGRAM

import veltor

README = (ROOT / "README.md").read_text(encoding="utf-8")
GUIDES = {path.name: path.read_text(encoding="utf-8") for path in (ROOT / "docs").glob("*.md")}
MANUAL = (ROOT / "docs" / "veltor.1").read_text(encoding="utf-8")


def run(*arguments, cwd=ROOT, stdin=b""):
    return subprocess.run(
        [str(VELTOR_PROGRAM), *arguments], cwd=cwd, input=stdin, capture_output=True, check=False
    )


def code_blocks(text):
    return re.findall(r"```[a-z]*\n(.*?)```", text, flags=re.S)


def test_the_demo_prints_what_the_readme_shows():
    shown = next(block for block in code_blocks(README) if "----------- scan summary" in block)
    result = run("scan", "-r", "--sort", "samples/")
    assert result.returncode == 1, result.stderr
    lines, summary = shown.split("----------- scan summary -----------\n")
    assert result.stdout.decode() == lines
    printed = result.stderr.decode().split("----------- scan summary -----------\n")[1]
    # Every line but the timing is the same; the timing has the same form.
    def form(text):
        return [re.sub(r"[0-9.]+ s \([0-9.]+ MiB/s\)", "T", line) for line in text.splitlines()]

    assert form(printed) == form(summary)


def test_the_json_lines_have_the_fields_the_readme_shows():
    shown = next(block for block in code_blocks(README) if '{"summary":' in block)
    summary = json.loads(next(line for line in shown.splitlines() if line.startswith('{"summary":')))
    result = run("scan", "--json", "samples/notes.txt")
    assert result.stderr == b""
    printed = json.loads(result.stdout.decode().splitlines()[-1])
    assert list(printed["summary"]) == list(summary["summary"])


def test_the_signatures_under_a_report_are_what_the_readme_shows():
    shown = next(block for block in code_blocks(README) if "  21 pe_dos_stub:" in block)
    result = run("scan", "-s", "--no-summary", "samples/locker.exe")
    assert result.returncode == 1, result.stderr
    assert result.stdout.decode() == shown


def test_the_signature_match_repr_is_what_python_prints():
    shown = re.search(r"# \[(SignatureMatch\(id=21.*?name=.*?\)),", GUIDES["python.md"]).group(1)
    db = veltor.Database.load(DEFAULT_DATABASE)
    assert repr(db.explain((ROOT / "samples" / "locker.exe").read_bytes()).signatures[0]) == shown


@pytest.mark.parametrize(
    "text", [README, GUIDES["python.md"]], ids=["README.md", "docs/python.md"]
)
def test_the_report_repr_is_what_python_prints(text):
    shown = re.search(r"# (\[Report\(rule='Demo.PE.RansomNote'.*?\)\])", text).group(1)
    db = veltor.Database.load(DEFAULT_DATABASE)
    assert repr(db.scan_file(ROOT / "samples" / "locker.exe")) == shown


def example_lines():
    """`veltor scan` lines of the README's and guides' sh blocks and the manual's examples."""
    lines = []
    for text in [README, *GUIDES.values()]:
        for block in code_blocks(text):
            lines += [line for line in block.splitlines() if re.match(r"(.*\| )?veltor scan -", line)]
    examples = MANUAL.split(".SH EXAMPLES")[1].split(".SH")[0]
    lines += [line.replace("\\-", "-") for line in examples.splitlines() if "veltor scan" in line]
    return lines


@pytest.mark.parametrize("line", example_lines())
def test_every_scan_line_shown_runs(tmp_path, line):
    """Paths are put in a folder of the test's; a log goes there too."""
    command = shlex.split(line.split("| ")[-1].split(" > ")[0])
    assert command[:2] == ["veltor", "scan"]
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / "a.txt").write_text("clean")
    arguments = []
    takes_value = {"--exclude-dir", "--include", "--exclude", "--max-filesize", "--log", "--file-list", "-j"}
    previous = ""
    for word in command[2:]:
        if previous == "--log":
            word = str(tmp_path / "scan.log")
        elif not word.startswith("-") and previous not in takes_value:
            word = str(tmp_path / "tree")
        arguments.append(word)
        previous = word
    stdin = (str(tmp_path / "tree" / "a.txt") + ("\0" if "-0" in arguments else "\n")).encode()
    result = run("scan", "--db", str(DEFAULT_DATABASE), *arguments, cwd=tmp_path, stdin=stdin)
    assert result.returncode == 0, (arguments, result.stderr)


def test_the_guides_the_help_names_are_installed():
    install = (ROOT / "cmake" / "VeltorInstall.cmake").read_text(encoding="utf-8")
    named = set()
    for command in [[], ["compile"], ["dump"]]:
        named |= set(re.findall(r"share/doc/veltor/([a-z]+\.md)", run(*command, "--help").stdout.decode()))
    named |= set(re.findall(r"([a-z]+\.md)\\fR", MANUAL))
    assert named >= {"rules.md", "embedding.md"}
    for guide in named:
        assert guide in GUIDES
        assert "docs/" + guide in install


def database_command_lines():
    """The compile/dump/info/pack/unpack lines the README and guides show, and each command's usage line."""
    commands = ("compile", "unpack", "pack", "dump", "info")
    lines = set()
    for text in [README, *GUIDES.values()]:
        for block in code_blocks(text):
            lines |= {re.split(r"\s{2,}", line)[0] for line in block.splitlines()
                      if re.match(r"veltor (%s) " % "|".join(commands), line)}
    for command in commands:
        usage = run(command, "--help").stdout.decode().splitlines()[0]
        lines.add(usage.removeprefix("usage: "))
    # In the order a reader would run them: a database first, then its body.
    return sorted(lines, key=lambda line: commands.index(line.split()[1]))


def test_every_database_command_line_shown_runs(tmp_path):
    """Each placeholder stands for a real file; every [option] shown is given
    (with --body, the input is the body unpack wrote)."""
    files = {
        "RULES.vsr...": str(ROOT / "signatures" / "default.vsr"),
        "qzdata.vlb": str(tmp_path / "qzdata.vlb"),
        "FILE.vlb": str(tmp_path / "qzdata.vlb"),
        "OUT.vsr": str(tmp_path / "out.vsr"),
        "BODY": str(tmp_path / "body.bin"),
    }
    for line in database_command_lines():
        words = [files.get(word, word) for word in line.replace("[", "").replace("]", "").split()]
        if "--body" in words:
            words[2] = files["BODY"]
        if words[1] == "pack":
            words[words.index("-o") + 1] = str(tmp_path / "packed.vlb")
        result = run(*words[1:], cwd=tmp_path)
        assert result.returncode == 0, (line, result.stderr)
    # The overview's own line: veltor --version [--db FILE].
    assert run("--version", "--db", files["qzdata.vlb"]).returncode == 0
