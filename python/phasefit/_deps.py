"""The optional Python modules of the package, imported where they are used.

Each command needs only its own: phasefit-plot matplotlib (unless --text),
phasefit-import netCDF4 (for its netCDF formats), phasefit-collect and the
catalogue readers xarray and netCDF4. ``require`` imports them, and when one
is missing raises MissingModule, whose message is one line naming the Debian
packages and the command that installs them; ``run`` turns it into that line
on standard error and exit status 2.
"""

import importlib
import sys

# Debian's package for each module.
DEBIAN_PACKAGES = {
    "numpy": "python3-numpy",
    "matplotlib": "python3-matplotlib",
    "xarray": "python3-xarray",
    "netCDF4": "python3-netcdf4",
}


class MissingModule(ModuleNotFoundError):
    """Python modules that are not installed, with the command that installs
    them."""

    def __init__(self, modules):
        self.modules = list(modules)
        packages = [DEBIAN_PACKAGES.get(m, m) for m in self.modules]
        super().__init__(
            f"needs the Python module{'s' if len(self.modules) > 1 else ''} "
            f"{', '.join(self.modules)} (Debian: {' '.join(packages)}); install as root with: "
            f"apt-get update && apt-get install -y --no-install-recommends {' '.join(packages)}",
            name=self.modules[0])


def _missing(error, module):
    # A module that is there but fails to import one of its own dependencies
    # is a different fault, and keeps its traceback.
    return error.name is not None and (error.name == module or module.startswith(error.name + "."))


def require(*modules):
    """Imports ``modules`` and returns the first; raises MissingModule
    naming every one that is not installed."""
    imported, missing = [], []
    for module in modules:
        try:
            imported.append(importlib.import_module(module))
        except ModuleNotFoundError as err:
            if not _missing(err, module):
                raise
            missing.append(module)
    if missing:
        raise MissingModule(missing)
    return imported[0]


def run(program, main, argv=None):
    """``main(argv)``'s exit status, or 2 after one line on standard error
    when it needs a module that is not installed."""
    try:
        return main(sys.argv[1:] if argv is None else argv)
    except MissingModule as err:
        print(f"{program}: {err}", file=sys.stderr)
        return 2
    except ModuleNotFoundError as err:
        if err.name not in DEBIAN_PACKAGES:
            raise
        print(f"{program}: {MissingModule([err.name])}", file=sys.stderr)
        return 2
