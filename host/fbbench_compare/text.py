"""Text from the files made safe for a terminal and for the tables."""

import re


def one_line(text, limit=200):
    """text without control characters, cut to limit characters."""
    text = re.sub(r"[\x00-\x1f\x7f]+", " ", str(text)).strip()
    return text if len(text) <= limit else text[:limit - 1] + "…"


def markdown_cell(text):
    return str(text).replace("|", "\\|")
