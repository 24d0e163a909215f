"""Mutation testing of the C++ core: how many small faults planted in src/ does the test suite notice?

Sites are collected from src/**/*.cpp and src/**/*.hpp (the binding in src/python/ and src/module/ is left
alone): one operator or constant change each, in code only (comments, string and character literals and
preprocessor lines are masked out first). A fixed, seeded sample is spread round-robin over the files.

Each mutant is applied to one file of a private copy of the tree, rebuilt incrementally with CMake+Ninja, then
the core's native unit tests run, then pytest (-x). A mutant that does not compile is "invalid" and does not
count; one that makes anything fail (or time out) is "killed"; otherwise it "survived".

Usage: python tools/mutate.py [--count 100] [--seed 1] [--report mutants.json] [--workdir DIR]
                              [--timeout 300] [--tests tests/test_read_table.py ...]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
COPIED = (
    "src",
    "tests",
    "pagewright_cli",
    "pagewright_dask",
    "tools",
    "README.md",
    "CMakeLists.txt",
    "pagewright.pyi",
    "pyproject.toml",
)
EXCLUDED_DIRS = ("src/python/", "src/module/")
# The native unit tests are run directly from the incremental build; the pytest wrapper that rebuilds them
# from scratch in Debug would only repeat that at many times the cost.
PYTEST_BASE = ["-x", "-q", "-p", "no:cacheprovider", "--ignore=tests/test_native_core.py"]


@dataclass(frozen=True)
class Site:
    file: str  # relative to the tree root
    line: int  # 1-based
    col: int  # 0-based
    kind: str
    original: str
    mutated: str


# --- masking: comments and literals become blanks, so that patterns only see code -------------------------


def mask_source(text: str) -> str:
    """Same length and line breaks as text; comments and the contents of string/char literals are spaces."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a: int, b: int) -> None:
        for k in range(a, min(b, n)):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            blank(i, end)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end)
            i = end
        elif c == '"' and i > 0 and text[i - 1] == "R":
            open_paren = text.find("(", i)
            delim = text[i + 1 : open_paren] if open_paren >= 0 else ""
            end = text.find(")" + delim + '"', open_paren + 1) if open_paren >= 0 else -1
            end = n if end < 0 else end + len(delim) + 2
            blank(i + 1, end - 1)
            i = end
        elif c == '"' or (c == "'" and not (i > 0 and (text[i - 1].isalnum() or text[i - 1] == "_"))):
            # A ' after an identifier or digit character is a digit separator (1'000), not a literal.
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j)
            i = j + 1
        else:
            i += 1
    return "".join(out)


# --- mutation operators -----------------------------------------------------------------------------------

SWAP_RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
PATTERNS: list[tuple[str, re.Pattern[str]]] = [
    # Only operators with a space on both sides: template angle brackets and shifts never match.
    ("relational", re.compile(r"(?<= )(<=|>=|<|>|==|!=)(?= )")),
    ("logical", re.compile(r"(?<= )(&&|\|\|)(?= )")),
    ("plus_minus_one", re.compile(r"(?<= )([+-] 1)(?![\w.'])")),
    ("negation", re.compile(r"(?<=[\s(])(!)(?=[A-Za-z_(:])")),
    ("integer", re.compile(r"(?<![\w.'])(\d+[uUlLzZ]*)(?![\w.'])")),
    ("return_bool", re.compile(r"\breturn (true|false);")),
    ("drop_jump", re.compile(r"\b(continue;|break;)")),
]
# Lines where a changed constant can only break the build or an assertion about the layout itself.
SKIP_INTEGER_LINE = re.compile(r"\b(static_assert|alignas)\b")


def mutate_token(kind: str, token: str) -> str:
    if kind == "relational":
        return SWAP_RELATIONAL[token]
    if kind == "logical":
        return "||" if token == "&&" else "&&"
    if kind == "plus_minus_one":
        return "- 1" if token[0] == "+" else "+ 1"
    if kind == "negation":
        return ""
    if kind == "integer":
        digits = re.match(r"\d+", token)
        assert digits is not None
        return str(int(digits.group()) + 1) + token[digits.end() :]
    if kind == "return_bool":
        return "false" if token == "true" else "true"
    if kind == "drop_jump":
        return ";"
    raise ValueError(kind)


def sites_in_file(rel: str, text: str) -> list[Site]:
    sites: list[Site] = []
    in_directive = False
    for number, line in enumerate(mask_source(text).split("\n"), start=1):
        directive = in_directive or line.lstrip().startswith("#")
        in_directive = directive and line.rstrip().endswith("\\")
        if directive:
            continue
        for kind, pattern in PATTERNS:
            if kind == "integer" and SKIP_INTEGER_LINE.search(line):
                continue
            for match in pattern.finditer(line):
                token = match.group(1)
                sites.append(Site(rel, number, match.start(1), kind, token, mutate_token(kind, token)))
    return sites


def collect_sites(root: Path) -> list[Site]:
    sites: list[Site] = []
    for path in sorted(list(root.glob("src/**/*.cpp")) + list(root.glob("src/**/*.hpp"))):
        rel = path.relative_to(root).as_posix()
        if rel.startswith(EXCLUDED_DIRS):
            continue
        sites.extend(sites_in_file(rel, path.read_text(encoding="utf-8")))
    return sorted(sites, key=lambda s: (s.file, s.line, s.col, s.kind))


def choose(sites: list[Site], count: int, seed: int) -> list[Site]:
    """A seeded sample, taken round-robin over the files (in shuffled order) so every file gets its share."""
    rng = random.Random(seed)
    by_file: dict[str, list[Site]] = {}
    for site in sites:
        by_file.setdefault(site.file, []).append(site)
    files = sorted(by_file)
    rng.shuffle(files)
    for name in files:
        rng.shuffle(by_file[name])
    chosen: list[Site] = []
    depth = 0
    while len(chosen) < count and any(depth < len(by_file[f]) for f in files):
        chosen.extend(by_file[f][depth] for f in files if depth < len(by_file[f]))
        depth += 1
    return chosen[:count]


def apply(text: str, site: Site) -> str:
    lines = text.split("\n")
    line = lines[site.line - 1]
    if line[site.col : site.col + len(site.original)] != site.original:
        raise RuntimeError(f"site no longer matches: {site}")
    lines[site.line - 1] = line[: site.col] + site.mutated + line[site.col + len(site.original) :]
    return "\n".join(lines)


# --- building and testing ---------------------------------------------------------------------------------


def run(cmd: list[str], cwd: Path, timeout: float, env: dict[str, str] | None = None) -> tuple[str, str]:
    """('ok' | 'fail' | 'timeout', tail of output). Runs in its own process group, killed whole on timeout."""
    proc = subprocess.Popen(
        cmd,
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return "timeout", (out or "")[-2000:]
    return ("ok" if proc.returncode == 0 else "fail"), (out or "")[-2000:]


class Workspace:
    def __init__(self, workdir: Path, tests: list[str], timeout: float) -> None:
        self.tree = workdir / "tree"
        self.build = workdir / "build"
        self.tests = tests
        self.timeout = timeout
        if self.tree.exists():
            shutil.rmtree(self.tree)
        self.tree.mkdir(parents=True)
        for name in COPIED:
            source = REPO / name
            if source.is_dir():
                shutil.copytree(
                    source, self.tree / name, ignore=shutil.ignore_patterns("__pycache__", "*.pyc")
                )
            elif source.exists():
                shutil.copy2(source, self.tree / name)
        # The sample databases are looked up next to the checkout (../shared/samples from the tree root).
        shared = workdir / "shared"
        if not shared.exists() and (REPO.parent / "shared").is_dir():
            shared.symlink_to(REPO.parent / "shared")
        self.build.mkdir(exist_ok=True)
        state, out = run(
            [
                "cmake",
                "-S",
                str(self.tree),
                "-B",
                str(self.build),
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DPAGEWRIGHT_NATIVE_TESTS=ON",
            ],
            self.tree,
            600,
        )
        if state != "ok":
            raise SystemExit(f"configure failed:\n{out}")
        shutil.copy2(self.tree / "pagewright.pyi", self.build / "pagewright.pyi")

    def compile(self) -> tuple[str, str]:
        return run(["ninja", "-C", str(self.build)], self.tree, 1800)

    def test(self) -> tuple[str, str, str]:
        """(outcome, stage, output tail): outcome 'ok', 'fail' or 'timeout'; stage 'native' or 'pytest'."""
        started = time.monotonic()
        state, out = run([str(self.build / "pagewright_core_tests")], self.tree, self.timeout)
        if state != "ok":
            return state, "native", out
        env = dict(os.environ, PYTHONPATH=f"{self.build}{os.pathsep}{self.tree}")
        left = max(1.0, self.timeout - (time.monotonic() - started))
        state, out = run([sys.executable, "-m", "pytest", *PYTEST_BASE, *self.tests], self.tree, left, env)
        return state, "pytest", out


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--count", type=int, default=100, help="number of mutants (default 100)")
    parser.add_argument("--seed", type=int, default=1, help="sampling seed (default 1)")
    parser.add_argument("--report", type=Path, default=Path("mutation-report.json"), help="JSON report path")
    parser.add_argument(
        "--workdir",
        type=Path,
        default=Path(tempfile.gettempdir()) / "pagewright-mutate",
        help="scratch directory for the tree copy and its build (kept for incremental builds)",
    )
    parser.add_argument(
        "--timeout", type=float, default=300, help="seconds of testing per mutant (default 300)"
    )
    parser.add_argument(
        "--tests", nargs="*", default=[], help="extra pytest arguments, e.g. a subset of files"
    )
    parser.add_argument("--list", action="store_true", help="only print the chosen mutants")
    args = parser.parse_args()

    sites = collect_sites(REPO)
    chosen = choose(sites, args.count, args.seed)
    print(
        f"{len(sites)} candidate sites in {len({s.file for s in sites})} files; {len(chosen)} chosen "
        f"(seed {args.seed})",
        flush=True,
    )
    if args.list:
        for site in chosen:
            print(f"  {site.file}:{site.line} {site.kind}: {site.original!r} -> {site.mutated!r}")
        return 0

    ws = Workspace(args.workdir.resolve(), args.tests, args.timeout)
    state, out = ws.compile()
    if state != "ok":
        raise SystemExit(f"the unmutated tree does not build:\n{out}")
    state, stage, out = ws.test()
    if state != "ok":
        raise SystemExit(f"the unmutated tree fails its tests ({stage}, {state}):\n{out}")

    results: list[dict[str, object]] = []
    report = {
        "seed": args.seed,
        "count": args.count,
        "tests": args.tests,
        "candidate_sites": len(sites),
        "mutants": results,
    }
    for index, site in enumerate(chosen, start=1):
        path = ws.tree / site.file
        original = path.read_text(encoding="utf-8")
        started = time.monotonic()
        try:
            path.write_text(apply(original, site), encoding="utf-8")
            state, out = ws.compile()
            if state != "ok":
                status, stage = "invalid", "build"
            else:
                outcome, stage, out = ws.test()
                status = "survived" if outcome == "ok" else "killed"
                stage = stage if outcome != "timeout" else f"{stage} timeout"
        finally:
            path.write_text(original, encoding="utf-8")
        before = original.split("\n")[site.line - 1]
        after = apply(original, site).split("\n")[site.line - 1]
        entry = {
            **asdict(site),
            "status": status,
            "killed_by": stage if status == "killed" else None,
            "line_before": before.strip(),
            "line_after": after.strip(),
            "seconds": round(time.monotonic() - started, 1),
            "output_tail": out[-800:] if status != "survived" else "",
        }
        results.append(entry)
        print(
            f"[{index}/{len(chosen)}] {status:8} {site.file}:{site.line} {site.kind}: "
            f"{site.original!r} -> {site.mutated!r}" + (f" ({stage})" if status == "killed" else ""),
            flush=True,
        )
        args.report.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    ws.compile()  # leave the build matching the restored tree

    killed = sum(r["status"] == "killed" for r in results)
    invalid = sum(r["status"] == "invalid" for r in results)
    valid = len(results) - invalid
    rate = 100.0 * killed / valid if valid else 0.0
    report.update(killed=killed, valid=valid, invalid=invalid, rate_percent=round(rate, 1))
    args.report.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"killed {killed} of {valid} valid mutants (rate {rate:.1f} %), {invalid} invalid")
    for r in results:
        if r["status"] == "survived":
            print(f"  survived {r['file']}:{r['line']}: {r['line_before']}  ->  {r['line_after']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
