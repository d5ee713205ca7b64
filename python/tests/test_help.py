"""The commands' --help and manual pages come from one text each, and that
text names every option the command takes."""

import importlib.machinery
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import phasefit._commands
from conftest import PYTHON_DIR, REPO_ROOT

COMMANDS = ["phasefit-plot", "phasefit-import", "phasefit-collect"]


def parser_of(command, monkeypatch):
    """The command's argument parser, caught as the command hooks its help
    text in."""
    caught = []

    def catch(parser, program):
        caught.append(parser)
        raise SystemExit(0)

    monkeypatch.setattr(phasefit._commands, "use_help_text", catch)
    loader = importlib.machinery.SourceFileLoader(command.replace("-", "_"),
                                                  str(PYTHON_DIR / command))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    with pytest.raises(SystemExit):
        module.main(["--help"])
    return caught[0]


@pytest.mark.parametrize("command", COMMANDS)
def test_help_and_manual_page_come_from_the_text_and_name_every_option(command, monkeypatch,
                                                                       tmp_path):
    text = (REPO_ROOT / "docs" / f"{command}.txt").read_text()
    done = subprocess.run([str(PYTHON_DIR / command), "--help"], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, text, "")

    page = tmp_path / f"{command}.1"
    subprocess.run([sys.executable, str(REPO_ROOT / "tools/render_help.py"),
                    str(REPO_ROOT / "docs" / f"{command}.txt"), "--man", str(page),
                    "--version", "0"], check=True)
    manual = page.read_text().replace("\\-", "-")
    assert manual.startswith(f".TH {command.upper()} 1 ")
    # SEE ALSO names the installed commands.
    see_also = manual.split(".SH SEE ALSO\n")[1]
    assert "phasefit(1)" in see_also and "python/" not in see_also
    options = [o for action in parser_of(command, monkeypatch)._actions
               for o in action.option_strings]
    assert options
    for option in options:
        assert re.search(rf"(^|[\s,]){re.escape(option)}\b", text, re.M), option
        assert option in manual, option


def test_the_printed_command_calls_the_tool_of_the_layout_the_package_lies_in(monkeypatch,
                                                                             tmp_path):
    def tool(path, age=0):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("#!/bin/sh\n")
        path.chmod(0o755)
        os.utime(path, (1e9 + age, 1e9 + age))

    def printed(top, rundir):
        monkeypatch.setattr(phasefit._commands, "_TOP", str(top))
        return phasefit._commands.phasefit_for(rundir)

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", "/nonexistent")
    # The source tree after make demo alone, then with build/ built later.
    (tmp_path / "CMakeLists.txt").write_text("")
    tool(tmp_path / "build-demo/phasefit")
    assert printed(tmp_path, "run") == "../build-demo/phasefit"
    tool(tmp_path / "build/phasefit", age=10)
    assert printed(tmp_path, "run") == "../build/phasefit"
    # A build's copy goes with that build's tool, whichever was built last.
    (tmp_path / "build-demo/CMakeCache.txt").write_text("")
    assert printed(tmp_path / "build-demo", "run") == "../build-demo/phasefit"
    # An installed copy goes with PREFIX/bin/phasefit: plain when the PATH finds it.
    tool(tmp_path / "prefix/bin/phasefit")
    (tmp_path / "prefix/share/phasefit").mkdir(parents=True)
    installed = tmp_path / "prefix/share/phasefit"
    assert printed(installed, "/tmp") == str(tmp_path / "prefix/bin/phasefit")
    monkeypatch.setenv("PATH", str(tmp_path / "prefix/bin"))
    assert printed(installed, "run") == "phasefit"
