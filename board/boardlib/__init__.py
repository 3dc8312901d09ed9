"""The emulated ARM boards: their descriptions, the files they boot, the
boot itself and the protocol with the board's /init (board/guest-init).
board/run and board/check are thin commands over it."""
