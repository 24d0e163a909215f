"""Exercise every public operation of pagewright on a batch of (possibly damaged) database files.

    python malformed_worker.py INPUT_DIR OUTPUT_ROOT        every file of INPUT_DIR, in name order
    python malformed_worker.py --single FILE OUTPUT_ROOT    one file (to reproduce a failure)

For each file it opens the database, lists the tables, reads each table's schema and rows, exports each table
and then all tables into OUTPUT_ROOT/<file name>/, and carves every scope. Any exception other than the
documented OSError / ValueError texts, or any inconsistency between the results, is a problem.

Output, one line each, flushed at once so that the caller knows which file a crash or a hang belongs to:
    BEGIN <file name>
    END <file name> OK <summary>
    END <file name> BAD <problem>; <problem>; ...
"""

from __future__ import annotations

import json
import os
import re
import resource
import sys
import traceback

# Display texts of the reader's error kinds (what follows a wrapping prefix, or stands alone).
ERROR_TEXTS = (
    "Invalid database header",
    "Invalid signature, expected 0x89ABCDEF, got 0x",
    "Unsupported database version: 0x",
    "Invalid page number: ",
    "Invalid tag number: ",
    "Table not found: ",
    "Column not found: ",
    "Unsupported catalog type: ",
    "Unsupported column type: ",
    "Compressed tagged data is not supported",
    "Long value data is not yet supported",
    "Multi-value data is not fully supported",
    "Callback catalog type is not supported",
    "Invalid data definition header",
    "Invalid catalog entry",
    "Page data too short, expected at least ",
    "Tag offset out of bounds: offset=",
    "Unknown codepage: ",
    "String decode error: ",
    "IO error: ",
    "Parse error: ",
    "Alignment error: ",
)
OS_ERROR_TEXT = re.compile(r".+ \(os error \d+\)\Z", re.S)

SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
HIT_KEYS = [
    "page",
    "offset",
    "slack_start",
    "slack_end",
    "region_kind",
    "page_flags",
    "page_type",
    "table",
    "text",
]
PAGE_TYPES = {"long_value", "space_tree", "index", "leaf", "branch"}
REGION_OF_SCOPE = {
    "slack": "slack",
    "all": "all",
    "tag_data": "tag_data",
    "lv_all": "all",
    "lv_slack": "slack",
}
SCHEMA_KEYS = ["name", "type", "id", "nullable"]
VALUE_TYPES = (type(None), bool, int, float, str, bytes)
MAX_HITS = 50
NEEDLES = ("e", "Microsoft")
PARSED_LINES = 25
PRINTABLE_TEXT = re.compile(r"[ -~]{6,}\Z")


def is_error_text(text: str) -> bool:
    return text.startswith(ERROR_TEXTS)


def check_exception(exc: BaseException, operation: str) -> str | None:
    """None when `exc` is one of the documented failures of `operation`, else a description of the fault."""
    text = str(exc)
    kind = type(exc)
    if kind is ValueError:
        if operation in ("schema", "read", "export_table", "export_all") and text.startswith(
            "Table not found: "
        ):
            return None
    elif kind is OSError:  # exactly OSError: the reader never raises one of its subclasses here
        if operation == "open" and text.startswith("Failed to open database: "):
            if is_error_text(text[len("Failed to open database: ") :]):
                return None
        if operation in ("read", "export_table", "export_all"):
            if text.startswith("Error reading record: ") and is_error_text(
                text[len("Error reading record: ") :]
            ):
                return None
            if is_error_text(text) and not text.startswith("Table not found: "):
                return None  # opening the table failed (e.g. its root page is out of range)
        if operation in ("export_table", "export_all"):
            for prefix in ("Failed to create output file: ", "Write error: "):
                if text.startswith(prefix) and OS_ERROR_TEXT.match(text[len(prefix) :]):
                    return None
        if operation == "export_all" and re.match(r"Failed to export \d+ of \d+ tables?: ", text):
            return None  # the tables that failed; their reasons are judged by export_table's checks
        if operation == "export_all" and text.startswith("Failed to create output directory: "):
            if OS_ERROR_TEXT.match(text[len("Failed to create output directory: ") :]):
                return None
    return f"{operation}: undocumented {kind.__name__}: {text!r}"


def outcome(func, operation: str, problems: list[str]):
    """("ok", result) or ("error", (type name, text)); an undocumented exception is recorded as a problem."""
    try:
        return "ok", func()
    except MemoryError:
        problems.append(f"{operation}: MemoryError")
        return "error", ("MemoryError", "")
    except Exception as exc:  # noqa: BLE001 - every exception is judged by check_exception
        fault = check_exception(exc, operation)
        if fault:
            problems.append(fault + " | " + "".join(traceback.format_exception_only(exc)).strip()[:300])
        return "error", (type(exc).__name__, str(exc))


def check_rows(name: str, rows, schema_names: set[str] | None, problems: list[str]) -> None:
    if not isinstance(rows, list):
        problems.append(f"read {name!r}: result is {type(rows).__name__}, not list")
        return
    if not rows:
        return
    if not all(type(row) is dict for row in rows):
        problems.append(f"read {name!r}: a row is not a dict")
        return
    first_keys = tuple(rows[0])
    value_types: set[type] = set()
    for index, row in enumerate(rows):
        if tuple(row) != first_keys:
            problems.append(
                f"read {name!r}: row {index} has keys {list(row)[:5]}..., row 0 {first_keys[:5]}..."
            )
            return
        value_types.update(map(type, row.values()))
    if not value_types <= set(VALUE_TYPES):
        problems.append(f"read {name!r}: values of types {sorted(t.__name__ for t in value_types)}")
    if not all(isinstance(key, str) for key in first_keys):
        problems.append(f"read {name!r}: a key is not a str")
    elif schema_names is not None and not set(first_keys) <= schema_names:
        problems.append(f"read {name!r}: keys {sorted(set(first_keys) - schema_names)[:5]} not in the schema")


def check_schema(name: str, schema, problems: list[str]) -> set[str] | None:
    if not isinstance(schema, list):
        problems.append(f"schema {name!r}: result is {type(schema).__name__}")
        return None
    names = set()
    for column in schema:
        if not isinstance(column, dict) or list(column) != SCHEMA_KEYS:
            problems.append(f"schema {name!r}: bad column description {column!r:.200}")
            return None
        if not (
            isinstance(column["name"], str)
            and isinstance(column["type"], str)
            and isinstance(column["id"], int)
            and 0 <= column["id"] < 2**32
            and isinstance(column["nullable"], bool)
        ):
            problems.append(f"schema {name!r}: bad column field types {column!r:.200}")
            return None
        names.add(column["name"])
    return names


def check_export_file(name: str, path: str, rows, problems: list[str]) -> None:
    """The JSON Lines file holds one JSON object per row, with the row's keys."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        problems.append(f"export {name!r}: output file unreadable: {exc}")
        return
    if data and not data.endswith(b"\n"):
        problems.append(f"export {name!r}: last line not terminated")
        return
    lines = data.split(b"\n")[:-1] if data else []
    if rows is not None and len(lines) != len(rows):
        problems.append(f"export {name!r}: {len(lines)} lines for {len(rows)} rows")
        return
    # Every line is counted; the first lines and the last one are parsed (parsing all is slow in Python).
    for index, line in [*enumerate(lines[:PARSED_LINES]), *list(enumerate(lines))[-1:]]:
        try:
            obj = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as exc:
            problems.append(f"export {name!r}: line {index} is not UTF-8 JSON ({exc}): {line[:120]!r}")
            return
        if not isinstance(obj, dict):
            problems.append(f"export {name!r}: line {index} is not an object")
            return
        if rows is not None and set(obj) != set(rows[index]):
            problems.append(f"export {name!r}: line {index} keys differ from read_table's row")
            return
        if list(obj) != sorted(obj, key=lambda k: k.encode("utf-8")):
            problems.append(f"export {name!r}: line {index} members not sorted by key bytes")
            return


def check_hits(scope: str, hits, db, needle: str | None, image: bytes | None, problems: list[str]) -> None:
    def base(page: int) -> int:
        return (page + 1) * db.page_size

    if not isinstance(hits, list):
        problems.append(f"carve {scope}: result is {type(hits).__name__}")
        return
    if len(hits) > MAX_HITS:
        problems.append(f"carve {scope}: {len(hits)} hits for max_hits={MAX_HITS}")
    previous_page = 0
    for hit in hits:
        if not isinstance(hit, dict) or list(hit) != HIT_KEYS:
            problems.append(f"carve {scope}: bad hit keys {hit!r:.200}")
            return
        page, offset, start, end = hit["page"], hit["offset"], hit["slack_start"], hit["slack_end"]
        text = hit["text"]
        fault = None
        if not all(isinstance(v, int) and v >= 0 for v in (page, offset, start, end, hit["page_flags"])):
            fault = "negative or non-int field"
        elif not 1 <= page <= db.total_pages:
            fault = f"page {page} outside 1..{db.total_pages}"
        elif page < previous_page:
            fault = f"page {page} after page {previous_page}"
        elif not (start <= offset and offset + 2 * len(text) <= end <= db.page_size):
            fault = (
                f"string [{offset}, +{2 * len(text)}) outside region [{start}, {end}) / page {db.page_size}"
            )
        elif offset % 2:
            fault = "string at an odd position of its page"
        elif image is not None and image[
            base(page) + offset : base(page) + offset + 2 * len(text)
        ] != text.encode("utf-16-le"):
            fault = f"text {text!r:.60} is not what page {page} holds at offset {offset}"
        elif hit["region_kind"] != REGION_OF_SCOPE[scope]:
            fault = f"region_kind {hit['region_kind']!r}"
        elif hit["page_type"] not in PAGE_TYPES:
            fault = f"page_type {hit['page_type']!r}"
        elif scope.startswith("lv_") and (hit["page_type"] != "long_value" or hit["table"] is not None):
            fault = f"{scope} hit on a {hit['page_type']} page of table {hit['table']!r}"
        elif hit["table"] is not None and (not isinstance(hit["table"], str) or hit["page_type"] != "leaf"):
            fault = f"table {hit['table']!r} on a {hit['page_type']} page"
        elif not isinstance(text, str) or not PRINTABLE_TEXT.match(text):
            fault = f"text {text!r:.80}"
        elif needle and needle not in text:
            fault = f"text {text!r:.80} lacks needle {needle!r}"
        if fault:
            problems.append(f"carve {scope} needle={needle!r}: {fault}")
            return
        previous_page = page


def exercise(path: str, out_dir: str) -> tuple[list[str], str]:
    import pagewright

    problems: list[str] = []
    status, db = outcome(lambda: pagewright.EseDatabase(path), "open", problems)
    if status == "error":
        return problems, f"open failed: {db[1][:80]}"
    if db.path != path or not isinstance(db.page_size, int) or not isinstance(db.total_pages, int):
        problems.append("properties: wrong path / geometry types")
    repr(db)
    status, names = outcome(db.get_tables, "tables", problems)
    if status == "error":
        return problems, "get_tables failed"
    if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
        problems.append(f"get_tables: {names!r:.200}")
        return problems, ""
    os.makedirs(out_dir, exist_ok=True)
    table_outcomes = []
    rows_total = 0
    for index, name in enumerate(names):
        status, schema = outcome(lambda n=name: db.get_table_schema(n), "schema", problems)
        schema_names = check_schema(name, schema, problems) if status == "ok" else None
        read = outcome(lambda n=name: db.read_table(n), "read", problems)
        if read[0] == "ok":
            check_rows(name, read[1], schema_names, problems)
            rows_total += len(read[1]) if isinstance(read[1], list) else 0
            again = outcome(lambda n=name: db.read_table(n), "read", problems)
            if again[0] != "ok" or (again[1] != read[1] and repr(again[1]) != repr(read[1])):  # NaN != NaN
                problems.append(f"read {name!r}: a second read_table gives a different result")
        target = os.path.join(out_dir, f"table{index}.jsonl")
        exported = outcome(lambda n=name, t=target: db.export_table(n, t), "export_table", problems)
        if exported[0] == "ok" and exported[1] is not None:
            problems.append(f"export {name!r}: returned {exported[1]!r:.80}")
        if read[0] == "ok" and exported[0] != "ok":
            problems.append(f"export {name!r}: failed ({exported[1]}) where read_table succeeded")
        elif read[0] != "ok" and exported[0] == "ok":
            problems.append(f"export {name!r}: succeeded where read_table failed ({read[1]})")
        elif read[0] != "ok" and read[1] != exported[1]:
            problems.append(f"export {name!r}: error {exported[1]} differs from read_table's {read[1]}")
        if exported[0] == "ok":
            check_export_file(name, target, read[1] if read[0] == "ok" else None, problems)
        table_outcomes.append(read[0])
    # Table names from a damaged catalog can be anything: export_all escapes them into file names inside
    # the directory, which the caller checks once the file is done.
    all_dir = os.path.join(out_dir, "all")
    status, result = outcome(lambda: db.export_all(all_dir), "export_all", problems)
    if status == "ok" and result is not None:
        problems.append(f"export_all returned {result!r:.80}")
    failing = table_outcomes.count("error")
    if status == "ok" and failing:
        problems.append(f"export_all succeeded although {failing} table(s) fail")
    if status != "ok" and not result[1].startswith(f"Failed to export {failing} of {len(names)} table"):
        problems.append(f"export_all failed ({result}) although {failing} table(s) fail")
    with open(path, "rb") as handle:
        image = handle.read()
    hits_total = 0
    for scope in SCOPES:
        status, hits = outcome(
            lambda s=scope: db.carve_utf16le_strings_scoped(s, max_hits=MAX_HITS), "carve", problems
        )
        if status == "ok":
            check_hits(scope, hits, db, None, image, problems)
            hits_total += len(hits)
            if scope == "slack":
                status2, plain = outcome(
                    lambda: db.carve_utf16le_strings(max_hits=MAX_HITS), "carve", problems
                )
                if status2 == "ok" and plain != hits:
                    problems.append("carve_utf16le_strings differs from scope 'slack'")
    for needle in NEEDLES:
        status, hits = outcome(
            lambda n=needle: db.carve_utf16le_strings_scoped("all", needle=n, max_hits=MAX_HITS),
            "carve",
            problems,
        )
        if status == "ok":
            check_hits("all", hits, db, needle, image, problems)
    reads = sum(o == "ok" for o in table_outcomes)
    return problems, f"tables={len(names)} read_ok={reads} rows={rows_total} hits={hits_total}"


def limit_memory() -> None:
    """A runaway allocation becomes a MemoryError (reported) instead of swapping the machine."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return  # AddressSanitizer reserves terabytes of address space for its shadow memory
    limit = 3 * 1024**3
    try:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    except (ValueError, OSError):
        pass


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[0] == "--single":
        files = [argv[1]]
        out_root = argv[2]
    elif len(argv) == 2:
        files = [os.path.join(argv[0], n) for n in sorted(os.listdir(argv[0]))]
        out_root = argv[1]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    limit_memory()
    for path in files:
        name = os.path.basename(path)
        print(f"BEGIN {name}", flush=True)
        try:
            problems, summary = exercise(path, os.path.join(out_root, name))
        except Exception:  # noqa: BLE001 - a fault of the checks themselves is reported too
            problems, summary = ["worker: " + traceback.format_exc().replace("\n", " | ")], ""
        if problems:
            print(f"END {name} BAD " + "; ".join(p.replace("\n", " ") for p in problems), flush=True)
        else:
            print(f"END {name} OK {summary}", flush=True)
    print("DONE", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
