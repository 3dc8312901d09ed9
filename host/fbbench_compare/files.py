"""Writing an output in place of a file: never over something that is not a
regular file, and never half-written."""

import os
import stat
import tempfile

from .load import CannotWrite


def destination_check(path):
    """Refuses a destination that exists and is not a regular file."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise CannotWrite(f"{path}: not a regular file, left alone")
    except FileNotFoundError:
        pass
    except OSError as e:
        raise CannotWrite(f"{path}: cannot write: {e.strerror}") from None


def file_replace(path, data):
    """Writes data to path through a temporary file and a rename."""
    destination_check(path)
    directory = os.path.dirname(path) or "."
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".")
    except OSError as e:
        raise CannotWrite(f"{path}: cannot write: {e.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(f.fileno(), 0o666 & ~mask)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except OSError as e:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise CannotWrite(f"{path}: cannot write: {e.strerror}") from None
