"""What the user hands the tool: JSON-lines documents (plain or gzip), a query vector from a
JSON line or a ``.npy`` file, and the encryption key."""

import ast
import gzip
import io
import json
import math
import os
import struct
import sys
import zlib
from array import array
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

from kestrine._types import Metadata, MetadataValue, NewDocument
from kestrine.cli._errors import CliError, UsageError

GZIP_MAGIC = b"\x1f\x8b"
KEY_VARIABLE = "KESTRINE_KEY"
INT64 = range(-(2**63), 2**63)


class InputError(Exception):
    """A value of an input line that cannot be a document; the caller adds where it was."""


# ---- JSON lines ------------------------------------------------------------------------------


class JsonLines:
    """The JSON values of a JSON-lines file, with their line numbers. ``-`` reads standard
    input; gzip input is recognised by its first bytes, whatever the file is called. Blank
    lines are skipped."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.name = "<stdin>" if path == "-" else path
        self._raw: BinaryIO
        try:
            if path == "-":
                self._raw = sys.stdin.buffer
                self.size = None
            else:
                self._raw = open(path, "rb")  # noqa: SIM115 -- closed by close()
                self.size = os.fstat(self._raw.fileno()).st_size
        except OSError as error:
            raise CliError(f"{path}: {error.strerror or error}") from None
        buffered = self._raw if isinstance(self._raw, io.BufferedReader) else None
        head = buffered.peek(2)[:2] if buffered is not None else b""
        self._lines: BinaryIO | gzip.GzipFile = (
            gzip.GzipFile(fileobj=self._raw, mode="rb") if head == GZIP_MAGIC else self._raw
        )

    def fraction(self) -> float | None:
        """How much of the file has been read, when its size is known."""
        if not self.size:
            return None
        try:
            return min(1.0, self._raw.tell() / self.size)
        except OSError:
            return None

    def __iter__(self) -> Iterator[tuple[int, object]]:
        number = 0
        while True:
            try:
                line = self._lines.readline()
            except (OSError, EOFError, zlib.error) as error:
                raise CliError(f"{self.name}:{number + 1}: cannot read: {error}") from None
            if not line:
                return
            number += 1
            if not line.strip():
                continue
            try:
                value = json.loads(line)
            except json.JSONDecodeError as error:
                raise CliError(
                    f"{self.name}:{number}: invalid JSON: {error.msg} (column {error.colno})"
                ) from None
            except UnicodeDecodeError:
                raise CliError(f"{self.name}:{number}: not UTF-8 text") from None
            yield number, value

    def close(self) -> None:
        if self._lines is not self._raw:
            self._lines.close()
        if self.path != "-":
            self._raw.close()


# ---- documents -------------------------------------------------------------------------------


def describe_type(value: object) -> str:
    if value is None:
        return "null"
    return {
        bool: "a boolean",
        int: "an integer",
        float: "a number",
        str: "a string",
        list: "an array",
        dict: "an object",
    }.get(type(value), type(value).__name__)


def parse_embedding(value: object, what: str = "'embedding'") -> list[float]:
    if not isinstance(value, list) or not value:
        raise InputError(f"{what} must be a non-empty array of numbers, got {describe_type(value)}")
    try:
        array("d", value)  # every element a number that fits a double, checked at C speed
    except (TypeError, OverflowError):
        for i, x in enumerate(value):
            if not isinstance(x, int | float):
                raise InputError(f"{what}[{i}] must be a number, got {describe_type(x)}") from None
            if isinstance(x, int) and not math.isfinite(float(x) if abs(x) < 2**1024 else math.inf):
                raise InputError(f"{what}[{i}] is too large for a 32-bit float") from None
        raise
    return value


def parse_metadata(value: object) -> Metadata:
    if not isinstance(value, dict):
        raise InputError(f"'metadata' must be an object, got {describe_type(value)}")
    metadata: Metadata = {}
    for key, item in value.items():
        if not isinstance(item, bool | int | float | str):
            raise InputError(
                f"metadata '{key}' must be a boolean, number or string, got {describe_type(item)}"
            )
        if isinstance(item, int) and not isinstance(item, bool) and item not in INT64:
            raise InputError(f"metadata '{key}' does not fit a signed 64-bit integer")
        as_value: MetadataValue = item
        metadata[key] = as_value
    return metadata


def parse_document(value: object) -> NewDocument:
    """One input line as a document: an object with "text", "embedding", optional "metadata"
    and "id". Other keys are ignored."""
    if not isinstance(value, dict):
        raise InputError(f"expected a JSON object, got {describe_type(value)}")
    if "text" not in value:
        raise InputError("missing 'text'")
    text = value["text"]
    if not isinstance(text, str):
        raise InputError(f"'text' must be a string, got {describe_type(text)}")
    if "embedding" not in value:
        raise InputError("missing 'embedding'")
    document: NewDocument = {"text": text, "embedding": parse_embedding(value["embedding"])}
    metadata = value.get("metadata")
    if metadata is not None:
        document["metadata"] = parse_metadata(metadata)
    doc_id = value.get("id")
    if doc_id is not None:
        if not isinstance(doc_id, str):
            raise InputError(f"'id' must be a string, got {describe_type(doc_id)}")
        document["id"] = doc_id
    return document


# ---- a query vector --------------------------------------------------------------------------


@dataclass
class QueryVector:
    values: list[float]
    source: str
    """Where it came from, e.g. ``questions.jsonl.gz:12``."""
    label: str | None
    """The "question" or "text" of its JSON line, when it has one."""


NPY_FORMATS = {"<f4": "<f", "<f8": "<d", "<f2": "<e", ">f4": ">f", ">f8": ">d", ">f2": ">e"}


def read_npy_vector(path: str) -> list[float]:
    """The one vector of a ``.npy`` file: shape (d,), (1, d) or (d, 1), floating point."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise CliError(f"{path}: {error.strerror or error}") from None
    if data[:6] != b"\x93NUMPY" or len(data) < 10:
        raise CliError(f"{path}: not a .npy file")
    if data[6] == 1:
        (header_size,) = struct.unpack_from("<H", data, 8)
        start = 10
    else:
        (header_size,) = struct.unpack_from("<I", data, 8)
        start = 12
    try:
        header = ast.literal_eval(data[start : start + header_size].decode("latin1"))
        descr, shape = header["descr"], tuple(header["shape"])
    except (ValueError, SyntaxError, KeyError, TypeError):
        raise CliError(f"{path}: unreadable .npy header") from None
    if descr not in NPY_FORMATS:
        raise CliError(f"{path}: holds {descr} values; a floating-point vector is needed")
    if len(shape) == 2 and 1 in shape:
        shape = (shape[0] * shape[1],)
    if len(shape) != 1 or shape[0] == 0:
        raise CliError(f"{path}: holds an array of shape {shape}; one vector is needed")
    count = shape[0]
    fmt = NPY_FORMATS[descr]
    body = data[start + header_size :]
    if len(body) < count * struct.calcsize(fmt):
        raise CliError(f"{path}: cut short")
    return list(struct.unpack_from(f"{fmt[0]}{count}{fmt[1]}", body))


def split_line_source(ref: str) -> tuple[str, int]:
    """FILE or FILE:LINE (a path that exists as written is taken whole)."""
    if os.path.exists(ref):
        return ref, 1
    path, sep, line = ref.rpartition(":")
    if sep and line.isdigit() and path:
        if int(line) < 1:
            raise UsageError(f"--vector-from {ref}: lines are numbered from 1")
        return path, int(line)
    return ref, 1


def read_query_vector(ref: str) -> QueryVector:
    """The query vector named by --vector-from: a .npy file, or the "embedding" of a JSON line
    (FILE for its first line, FILE:LINE for another; a bare JSON array of numbers works too)."""
    if ref.lower().endswith(".npy"):
        return QueryVector(read_npy_vector(ref), ref, None)
    path, wanted = split_line_source(ref)
    source = JsonLines(path)
    try:
        for number, value in source:
            if number < wanted:
                continue
            if number > wanted:
                break
            where = f"{source.name}:{number}"
            try:
                if isinstance(value, list):
                    return QueryVector(parse_embedding(value, "the vector"), where, None)
                if not isinstance(value, dict) or "embedding" not in value:
                    raise InputError("expected an object with an 'embedding'")
                vector = parse_embedding(value["embedding"])
            except InputError as error:
                raise CliError(f"{where}: {error}") from None
            label = value.get("question", value.get("text"))
            return QueryVector(vector, where, label if isinstance(label, str) else None)
    finally:
        source.close()
    raise CliError(f"{source.name}: has no line {wanted} holding a vector")


# ---- the key ---------------------------------------------------------------------------------


@dataclass
class Key:
    text: str
    source: str
    """Where it was read: "--key-file F" or the variable's name."""


def read_key(key_file: str | None) -> Key | None:
    """The encryption key from --key-file, else from $KESTRINE_KEY, else none. Never from the
    command line itself, where other users of the machine could read it."""
    if key_file is not None:
        try:
            with open(key_file, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError) as error:
            reason = error.strerror if isinstance(error, OSError) else "not UTF-8 text"
            raise CliError(f"cannot read key file {key_file}: {reason or error}") from None
        return Key(text.strip(), f"--key-file {key_file}")
    text = os.environ.get(KEY_VARIABLE, "").strip()
    return Key(text, KEY_VARIABLE) if text else None
