"""What every command of `vexa` shares: its exit statuses, the failure that carries one,
and how it says things (messages on standard error, tables on standard output)."""

from __future__ import annotations

import sys

EXIT_DATA, EXIT_USAGE = 1, 2  # bad data (a missing column, an unreadable file); bad usage


class Failure(Exception):
    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def say(text):
    """A message on standard error (vexa: error: ..., vexa: note: ...)."""
    print(text, file=sys.stderr)


def clip(text, width=60):
    """An argument as a message quotes it, cut to `width` characters."""
    text = str(text)
    return text if len(text) <= width else text[: width - 3] + "..."


def print_frame(shown, title):
    """A DataFrame of results on standard output, under `# title`."""
    import pandas as pd

    with pd.option_context("display.width", 200, "display.max_columns", 50):
        print(f"# {title}")
        print(shown.to_string())
