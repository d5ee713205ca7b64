"""The commands on a machine that lacks an optional Python module: one line
naming the Debian package and the command that installs it, exit status 2,
and no other command held back by a module it does not use."""

import os
import subprocess

import pytest

from conftest import PYTHON_DIR, REPO_ROOT

GOLDEN = REPO_ROOT / "tests/data/golden/WVN_0p55_DE_010_N16.dat"
TABLE = REPO_ROOT / "examples/tables/WVN_0p55_DE_010.dat"


def run_without(tmp_path, modules, command, *args):
    # A module of the same name that fails as a missing one does, found
    # before the installed one.
    hidden = tmp_path / "hidden"
    hidden.mkdir(exist_ok=True)
    for module in modules:
        (hidden / f"{module}.py").write_text(
            f"raise ModuleNotFoundError(\"No module named '{module}'\", name='{module}')\n")
    env = dict(os.environ, PYTHONPATH=str(hidden), MPLBACKEND="Agg")
    return subprocess.run([str(PYTHON_DIR / command), *map(str, args)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("hidden, package, command, args", [
    (["xarray"], "python3-xarray", "phasefit-collect", ["run", "-o", "cat.nc"]),
    (["netCDF4"], "python3-netcdf4", "phasefit-import", ["legendre-nc", GOLDEN, "-o", "run"]),
    (["matplotlib"], "python3-matplotlib", "phasefit-plot", [GOLDEN, TABLE, "-o", "p.png"]),
])
def test_a_missing_module_is_one_line_and_exit_2(tmp_path, hidden, package, command, args):
    done = run_without(tmp_path, hidden, command, *args)
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(f"{command}: needs the Python module {hidden[0]} ")
    assert f"apt-get install -y --no-install-recommends {package}\n" in done.stderr
    assert not (tmp_path / "run").exists()


def test_a_command_does_not_need_the_others_modules(tmp_path):
    done = run_without(tmp_path, ["matplotlib", "xarray", "netCDF4"], "phasefit-plot",
                       GOLDEN, TABLE, "--text")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("# angle_deg")
