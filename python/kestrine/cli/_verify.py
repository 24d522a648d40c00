"""``kestrine verify``: every file of a data directory checked the way opening reads it, one
line a file; changes nothing."""

import argparse

from kestrine import _tools as tools
from kestrine._reports import LogReport, SnapshotReport
from kestrine.cli._output import count, human_size
from kestrine.cli._shared import (
    LOG_FILE,
    MISSING_KEY_HINT,
    WRONG_KEY_HINT,
    engine_errors,
    entry_kinds,
    read_only_access,
)


def snapshot_verdict(s: SnapshotReport) -> tuple[bool, str]:
    """(sound, the rest of the line)."""
    form = s["form"]
    if s["form"] == "checksummed":
        crc = f"CRC 0x{s['crc'] or 0:08x}"
        check = f"{crc} ok" if s["check"] == "passed" else f"{crc} does not match"
    elif s["form"] == "encrypted":
        check = {
            "passed": "tag ok",
            "failed": "does not decrypt",
            "missing key": "no key given",
        }.get(s["check"], s["check"])
    else:
        check = "no checksum (bare)"
    step = s["failed_step"]
    if step is None and s["collection"] is not None:
        c = s["collection"]
        return True, (
            f"{form}, {check}, valid: collection '{c['name']}', "
            f"{count(c['documents'], 'document')}, {c['deleted_nodes']:,} deleted, "
            f"dimension {c['dimension']}, {c['metric']}"
        )
    if step == "read":
        return False, f"cannot be read: {s['error']}"
    stage = {
        "check": check if form == "encrypted" else "",
        "decode": f"{check}, does not decode",
        "validate": f"{check}, decodes, fails validation",
        "name": f"{check}, valid, but its collection name cannot be loaded",
    }[step or "check"]
    hint = ""
    if form == "encrypted":
        hint = {"missing key": MISSING_KEY_HINT, "failed": WRONG_KEY_HINT}.get(s["check"], "")
    return False, f"{form}{', ' if stage else ''}{stage}: {s['error']}{hint}"


def log_verdict(log: LogReport) -> tuple[bool, str]:
    if log["size"] == 0:
        return True, "empty"
    size = log["size"]
    records = count(log["records"], "record")
    if log["records"]:
        records += f" ({entry_kinds(log)})"
    stop = log["stop_offset"]
    then = f"{records}, then the" if log["records"] else "the first"
    if log["refusal"] == "missing key":
        return False, (
            f"{then} record (offset {stop:,}) is encrypted and no key was given: opening fails "
            f"({log['open_error']}){MISSING_KEY_HINT}"
        )
    if log["refusal"] == "wrong key":
        return False, (
            f"{then} record (offset {stop:,}) does not decrypt under the key given: opening "
            f"fails ({log['open_error']}); is it the right key?"
        )
    problems = []
    if log["end"] == "torn tail":
        problems.append(
            f"the record at offset {stop:,} is cut short: the file ends {size - stop:,} bytes "
            f"into it; replay stops there, and opening cuts the log back to {stop:,} bytes "
            "(an append that never finished)"
        )
    elif log["end"] == "corrupt":
        problems.append(
            f"the record at offset {stop:,} fails its check ({log['problem']}): replay stops "
            f"there, and opening moves the last {size - stop:,} bytes to {LOG_FILE}.corrupt"
        )
    if log["undecodable"]:
        n = log["undecodable"]
        problems.append(
            f"{n:,} of them {'does' if n == 1 else 'do'} not decode and replay skips "
            f"{'it' if n == 1 else 'them'} (the first at offset "
            f"{log['first_undecodable_offset'] or 0:,}: {log['first_undecodable_error']})"
        )
    if not problems:
        return True, f"{human_size(size)}, {records}, replays to its end"
    return False, f"{human_size(size)}, {records}; " + "; ".join(problems)


def verify(args: argparse.Namespace) -> int:
    key = read_only_access(args)
    with engine_errors(f"cannot read {args.data_dir}: "):
        files = tools.inspect_directory(args.data_dir, key)
    lines: list[tuple[str, str, str]] = []  # status, file, text
    problems = 0
    for s in files["snapshots"]:
        sound, text = snapshot_verdict(s)
        problems += not sound
        lines.append(("ok" if sound else "FAIL", s["file"], text))
    log = files["log"]
    if log["present"]:
        sound, text = log_verdict(log)
        problems += not sound
        lines.append(("ok" if sound else "FAIL", LOG_FILE, text))
    elif files["snapshots"]:
        lines.append(("note", LOG_FILE, "absent: nothing to replay"))
    else:
        problems += 1
        lines.append(
            ("FAIL", args.data_dir, f"no snapshot and no {LOG_FILE}: not a data directory")
        )
    holders: dict[str, list[str]] = {}
    for s in files["snapshots"]:
        if s["collection"] is not None:
            holders.setdefault(s["collection"]["name"], []).append(s["file"])
    for name, holding in holders.items():
        if len(holding) > 1:
            lines.append(
                (
                    "note",
                    holding[-1],
                    f"{', '.join(holding)} all hold collection '{name}': opening keeps the one "
                    f"the file system lists last ({holding[-1]})",
                )
            )
    for other in files["other_files"]:
        if other["kind"] == "temporary snapshot":
            text = "a snapshot write that never finished; never read, safe to delete"
        elif other["kind"] == "corrupt log tail":
            text = "a damaged log tail that an earlier opening set aside; never read"
        else:
            continue
        lines.append(("note", other["file"], f"{human_size(other['size'])}, {text}"))
    width = max(len(f) for _, f, _ in lines)
    for status, file, text in lines:
        print(f"{status:<4}  {file:<{width}}  {text}")
    checked = len(files["snapshots"]) + int(log["present"])
    if problems:
        print(f"verify: {count(problems, 'problem')} in {args.data_dir}")
        return 1
    print(f"verify: {count(checked, 'file')} checked, no problem")
    return 0
