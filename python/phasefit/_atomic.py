"""Files and folders that appear whole or not at all."""

import contextlib
import os
import shutil
import tempfile


def replace_atomically(target, write, prefix, folder=False):
    """Calls ``write(temporary)`` on a new file (or, with ``folder``, an
    empty folder) created beside ``target``, then renames it onto
    ``target``, so that ``target`` is the complete new file or is left as
    it was.

    The temporary is named ``prefix`` and a random suffix. Before the
    rename it gets the permissions a file or folder created under the
    umask would have (``mkstemp`` and ``mkdtemp`` create them for the owner
    alone). Whatever goes wrong, the temporary is removed and the error
    raised as it came: the caller names the file to the user, which the
    temporary never is.
    """
    directory = os.path.dirname(target)
    if folder:
        temporary = tempfile.mkdtemp(prefix=prefix, dir=directory)
    else:
        handle, temporary = tempfile.mkstemp(prefix=prefix, dir=directory)
        os.close(handle)
    try:
        write(temporary)
        os.chmod(temporary, (0o777 if folder else 0o666) & ~umask())
        os.replace(temporary, target)
    except BaseException:
        if folder:
            shutil.rmtree(temporary, ignore_errors=True)
        else:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise


def umask():
    """The process's umask (reading it means setting it; it is set back)."""
    mask = os.umask(0)
    os.umask(mask)
    return mask
