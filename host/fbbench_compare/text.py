"""Text from the files made safe for a terminal, the tables, the chart and
the page: control characters are shown as escapes, never passed on."""

import html
import re

# C0, DEL and C1 (U+009B is a terminal's one-byte CSI), the line and
# paragraph separators, the bidirectional marks, overrides and isolates that
# reorder what a reader sees, the invisible characters that make two names
# look alike (soft hyphen, zero-width space and joiners, word joiner and
# invisible operators, byte order mark), and lone surrogates, which UTF-8
# cannot hold.
CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\xad\u200b-\u200f\u2028\u2029\u202a-\u202e\u2060-\u2064"
                      "\u2066-\u2069\ufeff\ud800-\udfff]")


def control_escape(found):
    code = ord(found.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def clean(text):
    """text with every control character written as an escape."""
    return CONTROLS.sub(control_escape, str(text))


def one_line(text, limit=200):
    """text cleaned and cut to limit characters."""
    text = clean(text).strip()
    return text if len(text) <= limit else text[:limit - 1] + "…"


def markdown_text(text):
    """Markdown in which nothing from a file is HTML, which Markdown
    renderers pass through, nor a link or an image: "](" is what makes
    [text](address) one, and its ] as a character reference is text alone,
    whatever backslashes come before."""
    return html.escape(clean(text), quote=False).replace("](", "&#93;(")


def markdown_cell(text):
    """A table cell: Markdown text, and no | that would split it."""
    return markdown_text(text).replace("|", "\\|")


def html_text(text):
    return html.escape(clean(text))


def chart_text(text):
    """Text for matplotlib, whose mathtext would read $…$ as a formula."""
    return clean(text).replace("$", r"\$")
