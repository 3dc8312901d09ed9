"""What board/run reports as its own failure (exit status 3), apart from bad usage."""


class BoardError(Exception):
    pass
