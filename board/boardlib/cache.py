"""Where downloads and made roots are kept between runs and clones, outside
any clone, and the lock that lets several runs share them."""

import fcntl
import os


def cache_root(env=os.environ):
    """${FBBENCH_CACHE:-${XDG_CACHE_HOME:-~/.cache}/fbbench}"""
    base = env.get("FBBENCH_CACHE")
    if not base:
        home = env.get("HOME") or os.path.expanduser("~")
        xdg = env.get("XDG_CACHE_HOME") or os.path.join(home, ".cache")
        base = os.path.join(xdg, "fbbench")
    return os.path.abspath(base)


class Lock:
    """flock on a file in the folder: shared while what it guards is used,
    exclusive while it is made."""

    def __init__(self, folder, name, exclusive):
        os.makedirs(folder, exist_ok=True)
        self.fd = os.open(os.path.join(folder, name), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)

    def exclusive(self):
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def share(self):
        fcntl.flock(self.fd, fcntl.LOCK_SH)

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
