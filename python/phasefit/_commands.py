"""What the companion's commands share: their help text and the phasefit
they go with.

The package lies in the source tree as python/phasefit/, beside docs/ and
the build folder; a build may place a copy in <build>/python/phasefit/,
beside <build>/docs/ and the tool; it is installed as
PREFIX/share/phasefit/python/phasefit/, beside PREFIX/share/phasefit/docs/
and below PREFIX/bin/. Every layout puts the help texts two folders up, in
docs/.
"""

import os
import shutil

_PACKAGE = os.path.dirname(os.path.abspath(__file__))
_TOP = os.path.dirname(os.path.dirname(_PACKAGE))


def help_text(command):
    """The text of ``command --help``, docs/<command>.txt (the source of its
    manual page too), or None when it is not where the layout puts it."""
    try:
        with open(os.path.join(_TOP, "docs", command + ".txt"), encoding="utf-8") as stream:
            return stream.read()
    except OSError:
        return None


def use_help_text(parser, command):
    """Makes ``--help`` print the command's help text, where it is found;
    argparse's own summary stands in otherwise, and its usage line still
    heads the diagnostics of a bad command line."""
    text = help_text(command)
    if text is not None:
        parser.format_help = lambda: text


def _builds():
    """Where the phasefit that goes with this copy of the package lies, by
    layout: a build's copy (<build>/python/phasefit) goes with the tool of
    that build, an installed one with PREFIX/bin/phasefit, and the sources
    with the tool of whichever of build-demo/ (make demo) and build/ (make
    test) was built last."""
    if os.path.isfile(os.path.join(_TOP, "CMakeCache.txt")):
        return [os.path.join(_TOP, "phasefit")]
    if os.path.isfile(os.path.join(_TOP, "CMakeLists.txt")):
        tools = [os.path.join(_TOP, build, "phasefit") for build in ("build-demo", "build")]
        return sorted(tools, key=lambda t: os.path.getmtime(t) if os.path.isfile(t) else 0,
                      reverse=True)
    return [os.path.join(_TOP, os.pardir, os.pardir, "bin", "phasefit")]


def phasefit_for(rundir):
    """How to call, from ``rundir``, the phasefit that goes with this
    package: plain ``phasefit`` when that is the one the PATH finds (or none
    is found), else its path, relative when both it and ``rundir`` lie in
    the current directory (../build-demo/phasefit for a run made in the
    source tree's root by build-demo/python/phasefit-import)."""
    tool = None
    for candidate in _builds():
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            tool = os.path.realpath(candidate)
            break
    on_path = shutil.which("phasefit")
    if tool is None or (on_path and os.path.realpath(on_path) == tool):
        return "phasefit"
    here, rundir = os.path.realpath(os.curdir), os.path.realpath(rundir)
    if all(os.path.commonpath([here, p]) == here for p in (tool, rundir)):
        return os.path.relpath(tool, rundir)
    return tool
