"""What a user gets from the package beyond the API: the controller's telemetry program written by
`epson-remote telemetry-task`, the version, and the metadata the package index shows."""

from __future__ import annotations

import re
import tomllib
from pathlib import Path

import pytest

import epson_remote
from epson_remote._errors import ConnectionLost, EpsonTimeout
from epson_remote.cli import main
from epson_remote.cli import telemetry_task as task
from epson_remote.cli._hints import hint_for

REPO = Path(__file__).resolve().parents[2]
PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())
DOCS_PROGRAM = REPO / "docs" / "TelemetryTask.prg"
# Markdown links and images whose target is neither a web address nor an anchor.
RELATIVE_LINK = re.compile(r"!?\[[^\]]*\]\((?!https?://|mailto:|#)([^)\s]+)")


def run_cli(capsys: pytest.CaptureFixture[str], *args: str) -> tuple[int, str, str]:
    code = main(list(args))
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def changed_lines(before: str, after: str) -> list[tuple[str, str]]:
    old, new = before.splitlines(), after.splitlines()
    assert len(old) == len(new), "the options must rewrite lines, never add or drop them"
    return [(a, b) for a, b in zip(old, new, strict=True) if a != b]


class TestTelemetryTask:
    def test_without_options_the_program_as_documented(self, capsys):
        code, out, _ = run_cli(capsys, "telemetry-task")
        assert code == 0
        assert out == DOCS_PROGRAM.read_text(encoding="ascii")
        # The packaged copy and the one in the documentation are one text.
        assert task.shipped_program().encode() == DOCS_PROGRAM.read_bytes()

    def test_options_rewrite_only_the_cell_specific_lines(self, capsys):
        code, out, _ = run_cli(
            capsys, "telemetry-task", "--pc-address", "192.168.0.20", "--port", "2001",
            "--rate", "250",
        )  # fmt: skip
        assert code == 0
        changes = dict(changed_lines(task.shipped_program(), out))
        assert sorted(changes.values()) == sorted(
            [
                "' Runs as a Background Task: it listens on TCP/IP port #201 (set to port 2001, "
                "terminator CR),",
                "' 62 cycles until the connection breaks; then it waits for the next connection.",
                "' Seconds between samples: 0.004 gives about 250 samples per second.",
                "#define CYCLE_S 0.004",
                "' Samples between status lines: 62 gives 4.03 status lines per second at 250 "
                "samples per second.",
                "#define STATUS_EVERY 62",
                "    ' Port #201 as a TCP/IP server on port 2001 with CR as terminator. The "
                "address is the PC's",
                '    SetNet #TELEMETRY_PORT, "192.168.0.20", 2001, CR, NONE, 0',
            ]
        )

    @pytest.mark.parametrize(
        ("rate", "cycle", "status_every"),
        [("1000", "0.001", "250"), ("1", "1", "1"), ("0.1", "10", "1"), ("3", "0.333333", "1")],
    )
    def test_rates_give_plain_decimal_periods(self, capsys, rate, cycle, status_every):
        code, out, _ = run_cli(capsys, "telemetry-task", "--rate", rate)
        assert code == 0
        assert f"\n#define CYCLE_S {cycle}\n" in out
        assert f"\n#define STATUS_EVERY {status_every}\n" in out

    def test_output_file_holds_the_printed_text(self, capsys, tmp_path):
        target = tmp_path / "TelemetryTask.prg"
        code, out, _ = run_cli(capsys, "telemetry-task", "-o", str(target), "--port", "2100")
        assert code == 0
        assert f"Wrote {target}" in out
        assert target.read_bytes() == task.program_text(task.TaskSettings(port=2100)).encode()

    @pytest.mark.parametrize(
        ("option", "value", "message"),
        [
            ("--pc-address", 'x", 1, CR\n', "not an IPv4 address"),
            ("--pc-address", "controller.local", "not an IPv4 address"),
            ("--pc-address", "192.168.0.300", "not an IPv4 address"),
            ("--port", "0", "port 0 is outside 1..65535"),
            ("--port", "65536", "port 65536 is outside 1..65535"),
            ("--rate", "0", "the rate must be in 0.1..1000 samples/s"),
            ("--rate", "5000", "the rate must be in 0.1..1000 samples/s"),
            ("--rate", "nan", "the rate must be in 0.1..1000 samples/s"),
            ("--rate", "fast", "not a rate: 'fast'"),
        ],
    )
    def test_refuses_what_would_break_the_program(self, capsys, tmp_path, option, value, message):
        target = tmp_path / "TelemetryTask.prg"
        with pytest.raises(SystemExit) as stopped:
            main(["telemetry-task", "-o", str(target), option, value])
        assert stopped.value.code == 2
        assert message in capsys.readouterr().err
        assert not target.exists()

    def test_a_program_that_lost_a_rewritten_line_is_refused(self, monkeypatch):
        edited = task.shipped_program().replace("#define CYCLE_S 0.01\n", "#define CYCLE_S 0.02\n")
        monkeypatch.setattr(task, "shipped_program", lambda: edited)
        with pytest.raises(RuntimeError, match="0 copies of '#define CYCLE_S 0.01"):
            task.program_text()

    def test_hints_name_the_command_not_a_repository_path(self):
        for failure in (
            EpsonTimeout(
                "Connected to the Epson telemetry port, but no complete six-axis sample was "
                "received within 2 seconds."
            ),
            ConnectionLost("Failed to connect to Epson telemetry at 127.0.0.1:2000: refused"),
        ):
            hint = hint_for(failure)
            assert hint is not None and "epson-remote telemetry-task" in hint
            assert "docs/" not in hint


class TestVersion:
    def test_one_source(self, capsys):
        project = PYPROJECT["project"]
        assert "version" not in project and "version" in project["dynamic"]
        (entry,) = [
            entry
            for entry in PYPROJECT["tool"]["dynamic-metadata"]
            if entry.get("field") == "version"
        ]
        source = (REPO / entry["input"]).read_text()
        assert re.search(rf'^__version__ = "{re.escape(epson_remote.__version__)}"$', source, re.M)
        with pytest.raises(SystemExit) as stopped:
            main(["--version"])
        assert stopped.value.code == 0
        assert capsys.readouterr().out.strip() == f"epson-remote {epson_remote.__version__}"


def requirement(text: str) -> tuple[str, str]:
    """A requirement line as (normalised name, version specifier)."""
    name = re.match(r"[A-Za-z0-9_.-]+", text)
    assert name, text
    return name[0].lower().replace("_", "-"), text[name.end() :].strip()


class TestMetadata:
    def test_classifiers_are_known_to_the_index(self):
        trove = pytest.importorskip("trove_classifiers")
        classifiers = PYPROJECT["project"]["classifiers"]
        assert not set(classifiers) - trove.classifiers, "the package index refuses unknown ones"
        for wanted in (
            "Programming Language :: Python :: 3.12",
            "Operating System :: POSIX :: Linux",
            "Programming Language :: C++",
            "Intended Audience :: Manufacturing",
            "Typing :: Typed",
        ):
            assert wanted in classifiers
        # A license expression rules out license classifiers.
        assert not [text for text in classifiers if text.startswith("License ::")]

    def test_license(self):
        project = PYPROJECT["project"]
        assert project["license"] == "Apache-2.0"
        assert project["requires-python"] == "==3.12.*"
        for name in project["license-files"]:
            assert (
                "Apache License\n                           Version 2.0"
                in (REPO / name).read_text()
            )

    def test_long_description_stands_on_its_own(self):
        text = (REPO / PYPROJECT["project"]["readme"]).read_text()
        assert not RELATIVE_LINK.findall(text)
        assert "scripts/" not in text
        assert "pip install epson-remote" in text
        assert "epson-remote telemetry-task" in text

    def test_readme_still_starts_with_the_two_commands(self):
        lines = (REPO / "README.md").read_text().splitlines()
        block = lines[lines.index("```bash") + 1 :]
        block = block[: block.index("```")]
        assert [line.split("#")[0].strip() for line in block] == [
            "bash scripts/run demo",
            "bash scripts/run test",
        ]

    def test_build_requirements(self):
        from packaging.specifiers import SpecifierSet

        required = dict(map(requirement, PYPROJECT["build-system"]["requires"]))
        developed = dict(
            requirement(line)
            for line in (REPO / "scripts" / "requirements-build.txt").read_text().splitlines()
            if line and not line.startswith("#")
        )
        # Both ends must use one pybind11: its modules share their types through its registry.
        assert required["pybind11"].startswith("==")
        assert required["pybind11"] == developed["pybind11"]
        backend = required["scikit-build-core"]
        assert not backend.startswith("==")
        assert developed["scikit-build-core"].removeprefix("==") in SpecifierSet(backend)

    def test_no_werror_in_a_users_build(self):
        skbuild = PYPROJECT["tool"]["scikit-build"]
        assert "EPSON_WERROR" not in str(skbuild.get("cmake", {}))
        assert re.search(
            r'option\(EPSON_WERROR "[^"]*" OFF\)', (REPO / "CMakeLists.txt").read_text()
        )
