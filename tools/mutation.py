#!/usr/bin/env python3
"""Mutation testing of the compiled sources: does some test fail when the code is wrong?

For the .cpp files of one directory (or one file) it lists every operator, constant and
statement-deletion mutant, draws a seeded random sample, and for each mutant: writes it into a
scratch copy of the tree at HEAD, rebuilds the one object and relinks (ninja), then runs only the
tests that cover that directory, C++ first and Python second, each under a timeout.

  killed       a test failed, crashed or timed out
  survived     every selected test passed: a fault the suite lets through
  stillborn    the mutant does not compile (not counted)
  equivalent   listed in tools/mutation_equivalent.txt with the reason it cannot change behaviour

score = killed / (sampled - stillborn - equivalent). Runs outside CI; a run is bounded by --budget.

  python tools/mutation.py csrc/core/runtime --sample 100 --seed 18 --budget 1800
  python tools/mutation.py csrc/core/runtime --survivors     # after sharpening the tests
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import os
import random
import re
import signal
import fcntl
import subprocess
import sys
import tarfile
import io
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EQUIVALENT_LIST = ROOT / "tools" / "mutation_equivalent.txt"

# Generated sources are not mutated: their generator's tests cover them.
EXCLUDED = {"csrc/helperlib/_unicodetype_db.cpp", "csrc/core/pickled_constants.cpp"}

# Tests that cover each directory: a GoogleTest filter and a pytest selection (the longest
# matching prefix wins). Keep each selection to seconds: it runs once per mutant.
COVERING_TESTS = {
    "csrc/core/runtime/srt.cpp": ("*MemoryRecords*:*AlignedRecords*:*SafeRecords*:*MemInfoObject*", []),
    "csrc/core/runtime/": ("*MemoryRecords*:*MemInfoObject*:*Adaptation*:*BackToPython*:*NoCopyReshape*:"
                           "*CreationRule*", []),
    "csrc/helperlib/_random": ("*ForkedChild*:*ImplicitSeeding*:*InitByArray*:*Loggam*:*PoissonPtrs*:*Random*:"
                               "*SeedWithBytes*:*SetStateErrors*", []),
    "csrc/helperlib/_lapack": ("*Lapack*", []),
    "csrc/helperlib/excinfo_raise": ("*BuildRecord*:*DoRaise*:*DynamicRecord*:*StatusDispatch*:*UnresolvedSymbol*", []),
    "csrc/helperlib/": ("*ComplexAdaptor*:*Cpow*:*ExtractUnicode*:*FatalErrorDeathTest*:*FixedFmod*:*Fptoui*:"
                        "*Frexp*:*Ldexp*:*MathWrapper*:*NpDatetime*:*PrivateData*:*PyType*:*RecordData*:"
                        "*RecreateRecord*:*SignedDivision*:*UnpackSlice*:*UnsignedDivision*", []),
    "csrc/np/": ("*Argmin*:*Bincount*:*CreationRule*:*Cumsum*:*NoCopyReshape*:*ShapeContextTest*:*Concat*:"
                 "*TupleTexts*:*PairList*:*KernelListFailure*", []),
    "csrc/cpython/": ("*ShapeContextTest*:*Concat*:*TupleTexts*:*ExtractUnicode*",
                      ["tests/python/test_unicodedb.py"]),
    "csrc/pelmarinex/deviverozo_new/": (
        "*KernelPaths*:*StripDiffusion*:*CentreSearch*:*RowCollection*:*VectorGradients*:*SeedRows*:"
        "*CountSearch*:*VectorWalk*:*PairList*:*KernelListFailure*:*CabiEntry*",
        ["tests/python/test_diffusion_flows.py", "tests/python/test_flow_following.py",
         "tests/python/test_seeds_and_growth.py", "tests/python/test_mask_cleanup.py",
         "tests/python/test_cell_scores.py", "tests/python/test_baseline_builds.py"]),
}


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str          # relative to the tree root
    line: int          # 1-based
    col: int           # 0-based column of the replaced text
    kind: str          # operator, constant or delete
    original: str
    replacement: str

    @property
    def ident(self) -> str:
        return f"{self.path}:{self.line}:{self.col}:{self.original}->{self.replacement}"


# ---------------------------------------------------------------- generating mutants

OPERATORS = [  # (pattern, replacement); a pattern matches only outside strings and comments
    (r"==", "!="), (r"!=", "=="),
    (r"(?<=\s)<=(?=\s)", "<"), (r"(?<=\s)>=(?=\s)", ">"),
    (r"(?<=\s)<(?=\s)", "<="), (r"(?<=\s)>(?=\s)", ">="),
    (r"&&", "||"), (r"\|\|", "&&"),
    (r"(?<=\s)\+(?=\s)", "-"), (r"(?<=\s)-(?=\s)", "+"),
    (r"(?<=\s)\*(?=\s)", "/"), (r"(?<=\s)/(?=\s)", "*"), (r"(?<=\s)%(?=\s)", "*"),
    (r"(?<=\s)&(?=\s)", "|"), (r"(?<=\s)\|(?=\s)", "&"), (r"(?<=\s)\^(?=\s)", "&"),
    (r"(?<=\s)<<(?=\s)", ">>"), (r"(?<=\s)>>(?=\s)", "<<"),
    (r"\+\+", "--"), (r"(?<![-])--(?![-])", "++"),
    (r"\+=", "-="), (r"-=", "+="), (r"\*=", "/="), (r"\|=", "&="), (r"&=", "|="),
    (r"!(?=[A-Za-z_(])", ""),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
]

INT_LITERAL = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
FLOAT_LITERAL = re.compile(r"(?<![\w.])(\d+\.\d*(?:[eE][-+]?\d+)?|\d+[eE][-+]?\d+)(?![\w.])")
NOT_A_STATEMENT = re.compile(r"^(return\b|case\b|default\b|public\b|private\b|protected\b|template\b|"
                             r"using\b|typedef\b|static_assert\b|namespace\b|extern\b|struct\b|class\b|"
                             r"enum\b|[{}]|#)")
DECLARATION = re.compile(r"^(const\s+|static\s+|constexpr\s+)*[A-Za-z_][\w:<>,]*(\s*<[^;]*>)?[\s*&]+\w+\s*(=|;|\{|\[)")


def mask_code(text: str) -> list[str]:
    """Each line with comments, string and character literals blanked to spaces (same length)."""
    out, i, n = [], 0, len(text)
    chars = list(text)
    state = None
    while i < n:
        c = text[i]
        if state is None:
            if text.startswith("//", i):
                j = text.find("\n", i)
                j = n if j < 0 else j
                chars[i:j] = " " * (j - i)
                i = j
                continue
            if text.startswith("/*", i):
                j = text.find("*/", i + 2)
                j = n if j < 0 else j + 2
                for k in range(i, j):
                    if chars[k] != "\n":
                        chars[k] = " "
                i = j
                continue
            if c in "\"'":
                state = c
                chars[i] = " "
        elif c == "\\":
            chars[i] = " "
            if i + 1 < n and text[i + 1] != "\n":
                chars[i + 1] = " "
            i += 2
            continue
        else:
            if c == state:
                state = None
            if c != "\n":
                chars[i] = " "
        i += 1
    return "".join(chars).split("\n")


def mutants_of(path: str, text: str) -> list[Mutant]:
    lines = text.split("\n")
    masked = mask_code(text)
    found: list[Mutant] = []
    depth_paren = 0
    previous = ""
    for number, (line, code) in enumerate(zip(lines, masked), start=1):
        stripped = code.strip()
        starts_inside = depth_paren > 0
        depth_paren += code.count("(") - code.count(")")
        if not stripped or stripped.startswith("#") or "static_assert" in code:
            continue
        for pattern, replacement in OPERATORS:
            for m in re.finditer(pattern, code):
                original = m.group(0)
                if pattern.startswith("!(?="):
                    original = "!"
                found.append(Mutant(path, number, m.start(), "operator", original, replacement))
        for m in FLOAT_LITERAL.finditer(code):
            digits = m.group(1)
            mantissa = re.match(r"[\d.]+", digits).group(0)
            last = max(i for i, ch in enumerate(mantissa) if ch.isdigit())
            bumped = digits[:last] + str((int(digits[last]) + 1) % 10) + digits[last + 1:]
            found.append(Mutant(path, number, m.start(1), "constant", digits, bumped))
        floats = [range(f.start(), f.end()) for f in FLOAT_LITERAL.finditer(code)]
        for m in INT_LITERAL.finditer(code):
            if any(m.start() in span for span in floats):  # the exponent of a decimal literal
                continue
            literal = m.group(1)
            value = int(literal, 16) if literal.lower().startswith("0x") else int(literal, 10)
            new = 1 if value == 0 else (0 if value == 1 else value + 1)
            text_new = hex(new) if literal.lower().startswith("0x") else str(new)
            found.append(Mutant(path, number, m.start(1), "constant", literal, text_new))
        # Statement deletion: a whole one-line statement (not a declaration-only keyword line).
        after_statement = previous == "" or previous[-1] in ";{}:"
        previous = stripped if stripped and not stripped.startswith("#") else previous
        if (not starts_inside and after_statement and stripped.endswith(";") and not DECLARATION.match(stripped) and code.count("(") == code.count(")")
                and not NOT_A_STATEMENT.match(stripped) and "{" not in stripped and "}" not in stripped):
            col = len(code) - len(code.lstrip())
            found.append(Mutant(path, number, col, "delete", line[col:len(code.rstrip())], ";"))
    return found


def same_double(m: Mutant) -> bool:
    """A decimal literal whose last digit changed may still round to the same double."""
    if m.kind != "constant" or not FLOAT_LITERAL.fullmatch(m.original):
        return False
    return float(m.original) == float(m.replacement)


def apply(text: str, mutant: Mutant) -> str:
    lines = text.split("\n")
    line = lines[mutant.line - 1]
    assert line[mutant.col:mutant.col + len(mutant.original)] == mutant.original, mutant.ident
    lines[mutant.line - 1] = line[:mutant.col] + mutant.replacement + line[mutant.col + len(mutant.original):]
    return "\n".join(lines)


# ---------------------------------------------------------------- the scratch tree

def run(cmd, cwd, timeout, env=None) -> tuple[int, str]:
    try:
        p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout, env=env)
        return p.returncode, p.stdout[-4000:] + p.stderr[-4000:]
    except subprocess.TimeoutExpired:
        return -999, "timeout"


def sync_tree(work: Path) -> str:
    """Writes the committed tree into work/src, touching only files whose content changed (so
    the scratch build stays incremental). Returns the commit."""
    commit = subprocess.check_output(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, text=True).strip()
    archive = subprocess.check_output(["git", "archive", "--format=tar", "HEAD"], cwd=ROOT)
    src = work / "src"
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        for member in tar.getmembers():
            if not member.isfile():
                continue
            data = tar.extractfile(member).read()
            dest = src / member.name
            if dest.exists() and dest.read_bytes() == data:
                continue
            dest.parent.mkdir(parents=True, exist_ok=True)
            dest.write_bytes(data)
            os.chmod(dest, member.mode)
    return commit


def build(work: Path, python: str, timeout: int, jobs: int = 1) -> tuple[int, str]:
    bdir = work / "build"
    env = dict(os.environ, PATH=f"{Path(python).parent}:{os.environ['PATH']}")
    if not (bdir / "build.ninja").exists():
        rc, out = run(["cmake", "-S", str(work / "src"), "-B", str(bdir), "-G", "Ninja",
                       "-DSARVO_BUILD_TESTS=ON", "-DSARVO_TEST_HOOKS=ON", f"-DPython_EXECUTABLE={python}"],
                      work, 600, env)
        if rc:
            return rc, out
    return run(["ninja", "-C", str(bdir), f"-j{jobs}", "sarvo_cpp_tests", "sarvo_functions"], work, timeout, env)


def covering(path: str) -> tuple[str, list[str]]:
    best = max((k for k in COVERING_TESTS if path.startswith(k)), key=len, default=None)
    if best is None:
        sys.exit(f"no covering tests listed for {path}: add it to COVERING_TESTS")
    return COVERING_TESTS[best]


def run_tests(work: Path, path: str, python: str, timeout: int) -> tuple[bool, str]:
    gfilter, pytests = covering(path)
    env = dict(os.environ, PYTHONPATH=":".join(
        subprocess.check_output([python, "-c", "import sys; print(':'.join(p for p in sys.path if p))"],
                                text=True).strip().split(":")))
    rc, out = run([str(work / "build/tests/cpp/sarvo_cpp_tests"), f"--gtest_filter={gfilter}",
                   "--gtest_brief=1"], work / "src", timeout, env)
    if rc:
        return True, "C++: " + ("timeout" if rc == -999 else out[-600:])
    if pytests:
        env["PYTHONPATH"] = str(work / "build")
        rc, out = run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *pytests],
                      work / "src", timeout, env)
        if rc:
            return True, "Python: " + ("timeout" if rc == -999 else out[-600:])
    return False, ""


def try_mutant(work: Path, m: Mutant, args) -> tuple[str, str]:
    if same_double(m):
        return "equivalent", "the changed literal rounds to the same double"
    source = work / "src" / m.path
    original = source.read_text()
    try:
        source.write_text(apply(original, m))
        rc, out = build(work, args.python, max(args.timeout, 600))  # a slow build is no kill
        if rc:
            return "stillborn", out.strip().splitlines()[-1] if out.strip() else ""
        killed, detail = run_tests(work, m.path, args.python, args.timeout)
        return ("killed" if killed else "survived"), detail
    finally:
        source.write_text(original)


def load_equivalents() -> dict[str, str]:
    eq = {}
    if EQUIVALENT_LIST.exists():
        for line in EQUIVALENT_LIST.read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                ident, _, reason = line.partition("  # ")
                eq[ident.strip()] = reason.strip()
    return eq


def summarize(results: list[dict], files: list[str], heading: str) -> None:
    print(f"\n{heading}")
    for f in files + ["total"]:
        rows = [r for r in results if f == "total" or r["mutant"].startswith(f + ":")]
        if not rows:
            continue
        n = {s: sum(r["status"] == s for r in rows) for s in ("killed", "survived", "stillborn", "equivalent")}
        counted = n["killed"] + n["survived"]
        score = f"{100.0 * n['killed'] / counted:5.1f}%" if counted else "  n/a"
        print(f"{score}  killed {n['killed']:3d}  survived {n['survived']:3d}  equivalent {n['equivalent']:3d}"
              f"  stillborn {n['stillborn']:3d}  {f}")
    for status in ("survived", "equivalent"):
        rows = [r for r in results if r["status"] == status]
        if rows:
            print(f"\n{status}:\n  " + "\n  ".join(
                r["mutant"] + (f"  # {r['detail']}" if status == "equivalent" else "") for r in rows))


def rescore(report: Path) -> None:
    """Re-reads a finished run's results with the current list of equivalent mutants."""
    equivalents = load_equivalents()
    results = [json.loads(line) for line in report.read_text().splitlines() if line.strip()]
    for r in results:
        if r["status"] == "survived" and r["mutant"] in equivalents:
            r["status"], r["detail"] = "equivalent", equivalents[r["mutant"]]
    files = sorted({r["mutant"].split(":")[0] for r in results})
    summarize(results, files, f"{report}: commit {results[0]['commit'] if results else '?'}")


def stop_cleanly(signum, frame):
    raise KeyboardInterrupt  # unwinds through the restore of the mutated file


def main() -> int:
    signal.signal(signal.SIGTERM, stop_cleanly)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("target", help="a directory under csrc/ or one .cpp file")
    ap.add_argument("--sample", type=int, default=100, help="mutants to draw (all where fewer)")
    ap.add_argument("--seed", type=int, default=18)
    ap.add_argument("--budget", type=float, default=1800, help="seconds for the whole run")
    ap.add_argument("--timeout", type=int, default=120, help="seconds per test run (a loop that never ends is killed by it)")
    ap.add_argument("--workdir", default="/tmp/sarvo-mutation")
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--list", action="store_true", help="only count the mutants per file")
    ap.add_argument("--report", help="JSON lines file of results (default WORKDIR/<dir>.jsonl)")
    ap.add_argument("--rescore", action="store_true", help="only summarise the report with the current equivalents")
    ap.add_argument("--survivors", action="store_true",
                    help="re-run only the report's survivors (after sharpening tests) and update their lines")
    args = ap.parse_args()

    target = args.target.rstrip("/")
    files = ([target] if target.endswith(".cpp") else
             sorted(str(p.relative_to(ROOT)) for p in (ROOT / target).rglob("*.cpp")))
    files = [f for f in files if f not in EXCLUDED]
    pool = [m for f in files for m in mutants_of(f, (ROOT / f).read_text())]
    if args.list:
        for f in files:
            print(f"{sum(m.path == f for m in pool):5d}  {f}")
        print(f"{len(pool):5d}  total")
        return 0
    if args.rescore:
        rescore(Path(args.report or Path(args.workdir) / (target.replace("/", "_") + ".jsonl")))
        return 0
    equivalents = load_equivalents()
    report = Path(args.report or Path(args.workdir) / (target.replace("/", "_") + ".jsonl"))
    earlier: list[dict] = []
    if args.survivors:
        earlier = [json.loads(line) for line in report.read_text().splitlines() if line.strip()]
        again = {r["mutant"] for r in earlier if r["status"] == "survived" and r["mutant"] not in equivalents}
        sample = [m for m in pool if m.ident in again]
        if len(sample) != len(again):
            sys.exit("some survivors no longer match the sources: measure afresh")
    else:
        rng = random.Random(args.seed)
        sample = rng.sample(pool, min(args.sample, len(pool)))

    work = Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    lock = open(work / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)  # one run per scratch tree
    except BlockingIOError:
        sys.exit(f"another run is using {work}")
    commit = sync_tree(work)
    rc, out = build(work, args.python, 3600, jobs=2)
    if rc:
        sys.exit(f"the unmutated tree does not build:\n{out}")
    for f in files:  # the scratch copy must be the tree the pool was drawn from
        if (work / "src" / f).read_text() != (ROOT / f).read_text():
            sys.exit(f"{f} has uncommitted changes: commit before measuring")
    killed_before, why = run_tests(work, files[0], args.python, args.timeout)
    if killed_before:
        sys.exit(f"the unmutated tree fails its covering tests: {why}")

    results = []
    start = time.monotonic()
    log_path = report.with_suffix(".rerun.jsonl") if args.survivors else report
    with log_path.open("w") as log:
        for i, m in enumerate(sample):
            if time.monotonic() - start > args.budget:
                print(f"budget spent after {i} mutants", flush=True)
                break
            t0 = time.monotonic()
            status, detail = try_mutant(work, m, args)
            if status == "survived" and m.ident in equivalents:
                status, detail = "equivalent", equivalents[m.ident]
            entry = {"mutant": m.ident, "kind": m.kind, "status": status,
                     "seconds": round(time.monotonic() - t0, 1), "commit": commit,
                     "detail": str(detail)[:300]}
            results.append(entry)
            log.write(json.dumps(entry) + "\n")
            log.flush()
            print(f"[{i + 1}/{len(sample)}] {status:10s} {entry['seconds']:6.1f}s  {m.ident}", flush=True)
    build(work, args.python, 1800)  # leave the scratch build matching the tree
    if args.survivors:  # the sample keeps its other lines; each re-run line replaces its old one
        fresh = {r["mutant"]: r for r in results}
        results = [fresh.get(r["mutant"], r) for r in earlier]
        for r in results:
            if r["status"] == "survived" and r["mutant"] in equivalents:
                r["status"], r["detail"] = "equivalent", equivalents[r["mutant"]]
        report.write_text("".join(json.dumps(r) + "\n" for r in results))

    summarize(results, files, f"commit {commit}  seed {args.seed}  pool {len(pool)}  sampled {len(results)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
