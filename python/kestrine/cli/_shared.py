"""What the commands share: opening a database, turning the engine's exceptions into one-line
errors, the checks of a data directory and of a key, warnings on standard error.

Each command (one module each: ``_ingest``, ``_search``, ``_info``, ``_verify``, ``_compact``,
``_rebuild``, ``_export``) takes the parsed arguments, writes its result to standard output
(and progress, notes and warnings to standard error) and returns the exit status; failures are
raised as CliError or UsageError.

The commands that only look (``info``, ``verify``, ``export``) never open a database the normal
way, which may cut its log back or move a corrupt tail aside: they read it through the private
module ``kestrine._tools``, which changes nothing."""

import argparse
import os
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from kestrine import Kestrine
from kestrine import _tools as tools
from kestrine._reports import LogReport
from kestrine.cli._errors import CliError
from kestrine.cli._input import Key, read_key

LOG_FILE = tools.LOG_FILE_NAME
LOCK_FILE = tools.LOCK_FILE_NAME


def warn(message: str) -> None:
    print(f"kestrine: warning: {message}", file=sys.stderr)


MISSING_KEY_HINT = " (give the key with --key-file FILE or $KESTRINE_KEY)"
WRONG_KEY_HINT = " (is it the right key?)"


def key_hint(message: str) -> str:
    """The hint for an exception or warning about a key. Their text is all that the extension
    gives; the reports of ``kestrine._tools`` say the same in fields of their own."""
    if "no encryption key was provided" in message:
        return MISSING_KEY_HINT
    if "decryption failed" in message:
        return WRONG_KEY_HINT
    return ""


@contextmanager
def engine_errors(prefix: str = "") -> Iterator[None]:
    """The engine's exceptions for a user's mistake (an unknown collection, a bad value, an I/O
    failure) as one-line errors. Its internal errors, which derive from BaseException, pass."""
    try:
        yield
    except KeyError as error:
        raise CliError(prefix + str(error.args[0] if error.args else error)) from None
    except (ValueError, TypeError, OverflowError, RuntimeError) as error:
        raise CliError(prefix + str(error) + key_hint(str(error))) from None


def check_directory(path: str, *, must_exist: bool) -> None:
    if os.path.isdir(path):
        return
    if os.path.exists(path):
        raise CliError(f"{path}: not a directory")
    if must_exist:
        raise CliError(f"{path}: no such data directory")


def key_text(key: Key | None) -> str | None:
    return key.text if key is not None else None


def check_key(key: Key | None) -> None:
    """A malformed key is reported with where it came from, before anything is read."""
    if key is None:
        return
    try:
        Kestrine(encryption_key=key.text)
    except ValueError as error:
        raise CliError(f"bad key from {key.source}: {error}") from None


def read_only_access(args: argparse.Namespace) -> str | None:
    """For the commands that only look: checks that the data directory exists and reads the
    key (checked, before anything is read); returns the key's text for ``kestrine._tools``."""
    check_directory(args.data_dir, must_exist=True)
    key = read_key(args.key_file)
    check_key(key)
    return key_text(key)


def open_database(data_dir: str, key: Key | None, *, create: bool = False) -> Kestrine:
    """Opens the database the normal way. A snapshot that opening would skip (unreadable, or
    under another key) stops the command: going on without that collection could overwrite
    it at the next checkpoint. Other opening warnings are passed on."""
    check_directory(data_dir, must_exist=not create)
    check_key(key)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with engine_errors(f"cannot open {data_dir}: "):
            db = Kestrine(data_dir=data_dir, encryption_key=key_text(key))
    messages = [str(w.message) for w in caught]
    skipped = [m for m in messages if m.startswith("skipped snapshot")]
    if skipped:
        raise CliError(
            f"cannot open {data_dir}: {skipped[0]}{key_hint(skipped[0])}; "
            f"`kestrine verify {data_dir}` checks every file"
        )
    for message in messages:
        warn(message)
    return db


def metadata_text(metadata: dict[str, Any]) -> str:
    return " ".join(f"{k}={v}" for k, v in sorted(metadata.items()))


def entry_kinds(log: LogReport) -> str:
    kinds = [f"{n:,} {kind.replace('_', ' ')}" for kind, n in log["entries"].items() if n]
    return ", ".join(kinds)
