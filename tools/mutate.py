"""Mutation testing of the C++ core: how many small faults planted in src/ does the test suite notice?

Sites are collected from src/**/*.cpp and src/**/*.hpp (the binding in src/python/ and src/module/ is left
alone): one operator or constant change each, in code only (comments, string and character literals and
preprocessor lines are masked out first). A fixed, seeded sample is spread round-robin over the files.

Each mutant is applied to one file of a private copy of the tree, rebuilt incrementally with CMake+Ninja, then
the core's native unit tests run, then pytest (-x). A mutant that does not compile is "invalid" and does not
count; one that makes anything fail (or time out) is "killed"; otherwise it "survived".

With --compare-tests, a second suite (another tests/ directory, e.g. the suite before a change) runs
against every mutant on the same build, so both kill rates come from the very same mutants. --shard K/N
runs a share of them (several processes side by side, each with its own --workdir); --resume reuses the
outcomes of earlier reports; --summary merges reports (shards), prints both kill rates and the survivors.

Usage: python tools/mutate.py [--count 100] [--seed 1] [--report mutants.json] [--workdir DIR]
                              [--timeout 300] [--tests=--ignore=tests/test_x.py ...] [--compare-tests DIR]
                              [--shard K/N] [--resume REPORT ...]
       python tools/mutate.py --summary REPORT ...
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
        errors="replace",  # a failing check may print bytes that are not UTF-8
        start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return "timeout", (out or "")[-2000:]
    return ("ok" if proc.returncode == 0 else "fail"), (out or "")[-2000:]


# Appended to the scratch tree's CMakeLists.txt when a second suite is compared: its native tests are built
# against the same (mutated) core.
COMPARE_NATIVE_TARGET = """
file(GLOB PAGEWRIGHT_COMPARE_NATIVE_SOURCES CONFIGURE_DEPENDS {sources}/*.cpp)
add_executable(pagewright_core_tests_compare ${{PAGEWRIGHT_COMPARE_NATIVE_SOURCES}})
target_link_libraries(pagewright_core_tests_compare PRIVATE pagewright_core)
target_compile_options(pagewright_core_tests_compare PRIVATE ${{PAGEWRIGHT_WARNINGS}})
"""


def copy_tree(destination: Path, tests: Path | None = None) -> None:
    """The parts of the checkout the build and the tests need; tests/ from `tests` when given."""
    if destination.exists():
        shutil.rmtree(destination)
    destination.mkdir(parents=True)
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc")
    for name in COPIED:
        source = tests if (name == "tests" and tests is not None) else REPO / name
        if source.is_dir():
            shutil.copytree(source, destination / name, ignore=ignore)
        elif source.exists():
            shutil.copy2(source, destination / name)


class Workspace:
    def __init__(self, workdir: Path, pytest_args: list[str], timeout: float, compare: Path | None) -> None:
        self.tree = workdir / "tree"
        self.build = workdir / "build"
        self.pytest_args = pytest_args
        self.timeout = timeout
        copy_tree(self.tree)
        self.compare = None
        if compare is not None:
            self.compare = workdir / "compare"
            copy_tree(self.compare, compare)
            with (self.tree / "CMakeLists.txt").open("a", encoding="utf-8") as cmake:
                native = (self.compare / "tests" / "native").as_posix()
                cmake.write(COMPARE_NATIVE_TARGET.format(sources=native))
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

    def test(self, suite: str) -> tuple[str, str, str]:
        """Runs suite 'own' (the tree's tests) or 'compare': (outcome 'ok' | 'fail' | 'timeout', stage
        'native' or 'pytest', output tail)."""
        root = self.tree if suite == "own" else self.compare
        assert root is not None
        native = "pagewright_core_tests" if suite == "own" else "pagewright_core_tests_compare"
        started = time.monotonic()
        state, out = run([str(self.build / native)], root, self.timeout)
        if state != "ok":
            return state, "native", out
        env = dict(os.environ, PYTHONPATH=f"{self.build}{os.pathsep}{root}")
        left = max(1.0, self.timeout - (time.monotonic() - started))
        state, out = run([sys.executable, "-m", "pytest", *PYTEST_BASE, *self.pytest_args], root, left, env)
        return state, "pytest", out


def key(entry: dict[str, object]) -> tuple[object, ...]:
    return tuple(entry[k] for k in ("file", "line", "col", "kind", "mutated"))


def summarize(results: list[dict[str, object]], field: str) -> tuple[int, int, float]:
    """(killed, valid, kill rate in percent) of the outcomes in `field` ('status' or 'compare_status')."""
    outcomes = [r[field] for r in results if r.get(field) not in (None, "invalid")]
    killed = sum(o == "killed" for o in outcomes)
    return killed, len(outcomes), (100.0 * killed / len(outcomes) if outcomes else 0.0)


def print_summary(results: list[dict[str, object]]) -> None:
    invalid = sum(r["status"] == "invalid" for r in results)
    for field, name in (("status", "this suite"), ("compare_status", "compared suite")):
        killed, valid, rate = summarize(results, field)
        if valid:
            print(f"{name}: killed {killed} of {valid} valid mutants (rate {rate:.1f} %), {invalid} invalid")
    for r in results:
        outcomes = [r.get(f) for f in ("status", "compare_status")]
        if "survived" in outcomes:
            print(
                f"  survived ({'/'.join(str(o) for o in outcomes if o)}) {r['file']}:{r['line']}: "
                f"{r['line_before']}  ->  {r['line_after']}"
            )


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
        "--timeout", type=float, default=300, help="seconds of testing per mutant and suite (default 300)"
    )
    parser.add_argument(
        "--tests", nargs="*", default=[], help="extra pytest arguments, e.g. a subset of files"
    )
    parser.add_argument(
        "--compare-tests",
        type=Path,
        help="the tests/ directory of a second suite (say, the suite before a change), run against every "
        "mutant on the same build; the report gives both kill rates",
    )
    parser.add_argument("--shard", default="0/1", help="K/N: take every N-th mutant from the K-th (0-based)")
    parser.add_argument(
        "--resume", type=Path, nargs="*", default=[], help="reports whose outcomes are reused"
    )
    parser.add_argument(
        "--summary", type=Path, nargs="*", help="print the kill rates and survivors of these reports"
    )
    parser.add_argument("--list", action="store_true", help="only print the chosen mutants")
    args = parser.parse_args()

    if args.summary:
        merged: dict[tuple[object, ...], dict[str, object]] = {}
        for path in args.summary:
            for entry in json.loads(path.read_text(encoding="utf-8"))["mutants"]:
                merged[key(entry)] = entry
        print(f"{len(merged)} mutants")
        print_summary(list(merged.values()))
        return 0

    sites = collect_sites(REPO)
    chosen = choose(sites, args.count, args.seed)
    shard, shards = (int(x) for x in args.shard.split("/"))
    print(
        f"{len(sites)} candidate sites in {len({s.file for s in sites})} files; {len(chosen)} chosen "
        f"(seed {args.seed}); shard {shard}/{shards}",
        flush=True,
    )
    if args.list:
        for site in chosen:
            print(f"  {site.file}:{site.line} {site.kind}: {site.original!r} -> {site.mutated!r}")
        return 0
    mine = [site for index, site in enumerate(chosen) if index % shards == shard]
    known: dict[tuple[object, ...], dict[str, object]] = {}
    for path in args.resume:
        for entry in json.loads(path.read_text(encoding="utf-8"))["mutants"]:
            known.setdefault(key(entry), {}).update({k: v for k, v in entry.items() if v is not None})

    ws = Workspace(args.workdir.resolve(), args.tests, args.timeout, args.compare_tests)
    suites = ["own"] + (["compare"] if ws.compare else [])
    state, out = ws.compile()
    if state != "ok":
        raise SystemExit(f"the unmutated tree does not build:\n{out}")
    for suite in suites:
        state, stage, out = ws.test(suite)
        if state != "ok":
            raise SystemExit(f"the unmutated tree fails its {suite} tests ({stage}, {state}):\n{out}")

    results: list[dict[str, object]] = []
    report = {
        "seed": args.seed,
        "count": args.count,
        "shard": args.shard,
        "tests": args.tests,
        "compare_tests": str(args.compare_tests) if args.compare_tests else None,
        "candidate_sites": len(sites),
        "mutants": results,
    }
    fields = {"own": ("status", "killed_by"), "compare": ("compare_status", "compare_killed_by")}
    for index, site in enumerate(mine, start=1):
        path = ws.tree / site.file
        original = path.read_text(encoding="utf-8")
        mutated = apply(original, site)
        entry: dict[str, object] = {
            **asdict(site),
            "line_before": original.split("\n")[site.line - 1].strip(),
            "line_after": mutated.split("\n")[site.line - 1].strip(),
        }
        previous = known.get(key(entry), {})
        started = time.monotonic()
        todo = [s for s in suites if fields[s][0] not in previous]
        if previous.get("status") == "invalid":
            todo = []
        for s in suites:
            for field in fields[s]:
                if field in previous:
                    entry[field] = previous[field]
        if todo:
            try:
                path.write_text(mutated, encoding="utf-8")
                state, out = ws.compile()
                if state != "ok":
                    for s in suites:
                        entry[fields[s][0]], entry[fields[s][1]] = "invalid", None
                    todo = []
                for suite in todo:
                    outcome, stage, out = ws.test(suite)
                    status = "survived" if outcome == "ok" else "killed"
                    entry[fields[suite][0]] = status
                    entry[fields[suite][1]] = None
                    if status == "killed":
                        entry[fields[suite][1]] = stage if outcome != "timeout" else f"{stage} timeout"
                        entry[f"{suite}_output_tail"] = out[-800:]
            finally:
                path.write_text(original, encoding="utf-8")
        entry["seconds"] = round(time.monotonic() - started, 1)
        results.append(entry)
        outcomes = ", ".join(f"{s}: {entry.get(fields[s][0])}" for s in suites)
        print(
            f"[{index}/{len(mine)}] {site.file}:{site.line} {site.kind}: "
            f"{site.original!r} -> {site.mutated!r}: {outcomes}",
            flush=True,
        )
        args.report.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    ws.compile()  # leave the build matching the restored tree

    for field in ("status", "compare_status"):
        killed, valid, rate = summarize(results, field)
        report[field.replace("status", "rate_percent")] = round(rate, 1)
    args.report.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print_summary(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
