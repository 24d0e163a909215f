"""`pagewright verify`: every page's checksum, the pages that fail, and the bits their ECC locates."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Any

from .commands import CliError, load_module, write_json, write_text
from .formatting import clean, render_table

if TYPE_CHECKING:
    from pagewright import PageFailure


def add_parser(sub: Any) -> None:
    text = "Check the checksum of every page: pages that fail, and single flipped bits the ECC locates."
    details = (
        "Works without opening the database, so also on files whose catalog is damaged. Exit status 1 when a "
        "page or a header copy fails. A page with located bits is read corrected by EseDatabase(path, "
        "repair_ecc=True)."
    )
    p = sub.add_parser("verify", help=text, description=f"{text} {details}")
    p.set_defaults(handler=cmd_verify)
    p.add_argument("db", metavar="DB", help="database file")
    p.add_argument("--json", action="store_true", help="print a JSON object")
    p.add_argument("--page-size", type=int, metavar="N", help="page size when the header cannot be trusted")
    p.add_argument(
        "--max-failures",
        type=int,
        default=1000,
        metavar="N",
        help="list at most N failing pages (default 1000)",
    )


def _detail(failure: PageFailure) -> str:
    if failure["bits"]:
        return "; ".join(
            f"byte {b['offset']} bit {b['bit']} (block {b['block']}, file offset {b['file_offset']:#x})"
            for b in failure["bits"]
        )
    parts = [
        f"block {b['block']}: stored {b['stored']:#018x}, computed {b['computed']:#018x}"
        for b in failure["blocks"]
    ]
    if failure["checksum_bit_only"]:
        parts.append("only the stored checksum differs, in one bit: the data is likely intact")
    if failure["checksum_of_page"] is not None:
        parts.append(f"carries the checksum of page {failure['checksum_of_page']}")
    return "; ".join(parts)


def _ok(sound: bool) -> str:
    return "ok" if sound else "FAILS"


def cmd_verify(args: argparse.Namespace) -> int:
    if args.page_size is not None and args.page_size <= 0:
        raise CliError(f"--page-size must be positive: {args.page_size}")
    report = load_module().verify_file(
        args.db, page_size=args.page_size, max_failures=max(0, args.max_failures)
    )
    sound = (
        report["header_ok"] and report["shadow_ok"] and not report["mismatched"] and not report["correctable"]
    )
    if args.json:
        write_json({"path": args.db, **report})
        return 0 if sound else 1
    name = clean(os.path.basename(args.db))
    forms = report["forms"]
    lines = [
        f"{name}: {report['pages']} pages of {report['page_size']} bytes: {report['ok']} ok, "
        f"{report['uninitialized']} uninitialized, {report['mismatched']} mismatched, "
        f"{report['correctable']} correctable (forms: xor {forms['xor']}, xor-ecc {forms['xor_ecc']})",
        f"header: primary {_ok(report['header_ok'])}, shadow {_ok(report['shadow_ok'])}",
    ]
    write_text("\n".join(lines))
    if report["failures"]:
        rows = [(f["page"], f["form"], f["status"], _detail(f)) for f in report["failures"]]
        write_text(render_table(("PAGE", "FORM", "STATUS", "DETAIL"), rows, right=(0,)))
    if report["failures_omitted"]:
        write_text(f"... and {report['failures_omitted']} more failing pages (--max-failures)")
    if report["correctable"]:
        write_text("pages with located bits are read corrected with EseDatabase(path, repair_ecc=True)")
    return 0 if sound else 1
