"""The emulated ARM boards: their descriptions, the files they boot, the
boot itself and the protocol with the board's /init (board/guest-init).
board/run and board/check are thin commands over it."""

import os
import sys

# Files are replaced by fbbench-compare's files module, in host/ of this tree.
_HOST = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "host"))
if _HOST not in sys.path:
    sys.path.append(_HOST)
