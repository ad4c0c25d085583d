"""How the command-line tool reports failures: one line, exit status 1.

Every subcommand runs through :func:`run`: its options are checked first (:mod:`corvane.cli.checks`),
then its ``main`` is called. An exception ends the run with the single line
``corvane <command>: error: <message>`` on standard error and exit status 1 (130 for Ctrl-C);
``--traceback`` on the root parser, or the environment variable ``CORVANE_TRACEBACK`` set to a
non-empty value other than 0, prints the full trace instead. Warnings raised during the run
are shown as ``corvane <command>: warning: <message>``.
"""

from __future__ import annotations

import os
import sys
import warnings

from corvane.cli import checks

__all__ = ["TRACEBACK_VARIABLE", "traceback_wanted", "one_line", "run"]

TRACEBACK_VARIABLE = "CORVANE_TRACEBACK"

# Exceptions whose message says all: shown without their class name.
_SELF_EXPLAINING = (ValueError, OSError, NotImplementedError)


def traceback_wanted(flag=False) -> bool:
    return bool(flag) or os.environ.get(TRACEBACK_VARIABLE, "") not in ("", "0")


def one_line(exc: BaseException) -> str:
    """The exception as one line: its message with line breaks folded, led by its class name
    where the message alone would be cryptic (a KeyError's bare key, say)."""
    message = " ".join(str(exc).split())
    if isinstance(exc, _SELF_EXPLAINING) and message:
        return message
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def run(command: str, main, args, traceback: bool = False) -> int:
    """Checks the options of `command`, calls ``main(args)`` and returns the exit status."""
    prog = f"corvane {command}"

    def show(message, category, filename, lineno, file=None, line=None):
        print(f"{prog}: warning: {' '.join(str(message).split())}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show
            # Deprecations inside the libraries are for their callers' developers, not for the
            # user of the tool (Python hides them by default; test runners show them).
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            checks.check(args)
            main(args)
    except KeyboardInterrupt:
        if traceback_wanted(traceback):
            raise
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:
        if traceback_wanted(traceback):
            raise
        print(f"{prog}: error: {one_line(exc)}", file=sys.stderr)
        return 1
    return 0
