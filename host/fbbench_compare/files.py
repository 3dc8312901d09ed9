"""Writing an output in place of a file: never over something that is not a
regular file, never through a link, and never half-written."""

import os
import secrets
import stat

from .load import CannotWrite

# A name's limit on Linux file systems; the temporary name must fit it too.
NAME_MAX = 255


def destination_check(path):
    """Refuses a destination that exists and is not a regular file (a link
    included: it is replaced, never written through)."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise CannotWrite(f"{path}: not a regular file, left alone")
    except FileNotFoundError:
        pass
    except OSError as e:
        raise CannotWrite(f"{path}: cannot write: {e.strerror}") from None


def temporary_open(path):
    """A new file beside path, created by this call alone (a name planted
    there, a link included, makes it try another): (descriptor, name)."""
    directory, base = os.path.split(path)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        name = os.path.join(directory, f".{base[:NAME_MAX - 10]}.{secrets.token_hex(4)}")
        try:
            return os.open(name, flags, 0o666), name
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {path}")


def file_replace(path, data):
    """Writes data to a temporary file beside path, flushes it to the disk
    and renames it over path. However it ends, an interrupt included, no
    temporary file is left behind."""
    destination_check(path)
    try:
        fd, temporary = temporary_open(path)
    except OSError as e:
        raise CannotWrite(f"{path}: cannot write: {e.strerror or e}") from None
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        # The check again: what is there now is what the rename replaces.
        destination_check(path)
        os.rename(temporary, path)
    except BaseException as e:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(e, OSError):
            raise CannotWrite(f"{path}: cannot write: {e.strerror}") from None
        raise
    directory_sync(os.path.dirname(path) or ".")


def directory_sync(directory):
    """The rename on the disk too; a directory that cannot be synced (some
    file systems refuse) leaves the file written all the same."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
