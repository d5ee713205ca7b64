"""The commands' --help and manual pages come from one text each, and that
text names every option the command takes."""

import importlib.machinery
import importlib.util
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
