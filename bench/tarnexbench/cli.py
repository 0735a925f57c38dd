"""The command line of bench/run.py: which jobs a run does, and its exit
status."""
import argparse
import sys
import tempfile

from . import reports, targets
from .allocations import alloc_check, build_counter
from .cases import make_cases, probe
from .instructions import CALLS_IR, callgrind_child, instruction_counts
from .timing import import_times, mnist_case, time_cases

DESCRIPTION = "Benchmarks of tarnex's native functions."


def selected_cases(only, refuse):
    """The cases whose name contains `only` (all without it), probed; `refuse`
    is called with the message when none matches."""
    cases = make_cases()
    if only:
        cases = [c for c in cases if only in c.name]
        if not cases:
            refuse(f"no case name contains {only!r}")
    for case in cases:
        case.note = probe(case)
    return cases


def instructions_main(args):
    cases = selected_cases(args.only, lambda msg: sys.exit(f"bench: {msg}"))
    budgets = targets.load_budgets()
    rows, note, wall = instruction_counts(cases, args.calls, budgets, args.only,
                                          args.keep_profiles)
    if rows is None:
        print(f"instruction counts: n/a ({note})")
        return 1
    reports.print_instructions(rows, args.calls, wall, budgets)
    if args.markdown:
        print("\n" + reports.markdown_instructions(rows))
    if args.suggest_table:
        print("\n" + reports.budget_table_toml(budgets.key, rows))
    if args.update_readme:
        reports.update_readmes(rows, budgets.key)
    if args.json:
        reports.write_json(args.json,
                           {"tool": "callgrind", "calls": args.calls, "valgrind_seconds": wall,
                            "budget_table": budgets.key, "budget_table_missing": budgets.missing},
                           instructions=rows)
    _, over = targets.budget_results(rows)
    _, missed = targets.missed_targets(rows)
    stale = [f"{r['case']}: {t}" for r in rows for t in r.get("unknown_unmet", [])]
    return 1 if over or missed or stale else 0


def from_json_main(args):
    """--from-json: the runs' results instead of a run of this process, for
    the interpreters that run in a root or a venv of their own."""
    import json

    for path in args.from_json:
        with open(path) as f:
            doc = json.load(f)
        key, rows = doc["method"]["budget_table"], doc["instructions"]
        if args.update_readme:
            reports.update_readmes(rows, key, (doc["machine"]["python"], doc["machine"]["torch"]))
        if args.suggest_table:
            print(reports.budget_table_toml(key, rows) + "\n")
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=DESCRIPTION)
    ap.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    ap.add_argument("--json", metavar="OUT", help="write the results as JSON to OUT")
    ap.add_argument("--only", metavar="SUBSTR", help="run only the cases whose name has SUBSTR")
    ap.add_argument("--no-alloc", action="store_true", help="skip the allocation check")
    ap.add_argument("--alloc-only", action="store_true",
                    help="only the allocation check (no timing, mnist or import times)")
    ap.add_argument("--no-import", action="store_true", help="skip the import times")
    ap.add_argument("--no-mnist", action="store_true", help="skip mnist_loaders")
    ap.add_argument("--markdown", action="store_true",
                    help="also print the results as Markdown tables")
    ap.add_argument("--instructions", action="store_true",
                    help="only the instruction counts under callgrind, checked against "
                         "bench/instruction_budgets.toml")
    ap.add_argument("--calls", type=int, default=CALLS_IR, metavar="N",
                    help=f"instruction mode: loops of N and 2N calls (default {CALLS_IR})")
    ap.add_argument("--keep-profiles", metavar="DIR",
                    help="instruction mode: keep callgrind's profile of every loop in DIR "
                         "(read them with callgrind_annotate)")
    ap.add_argument("--update-readme", action="store_true",
                    help="instruction mode: rewrite the instruction table of "
                         "docs/performance.md with this run's counts (all cases only)")
    ap.add_argument("--suggest-table", action="store_true",
                    help="instruction mode: also print this run's suggested budgets as the "
                         "interpreter's table of bench/instruction_budgets.toml")
    ap.add_argument("--from-json", nargs="+", metavar="JSON",
                    help="instead of a run: --update-readme and --suggest-table from the "
                         "JSON files of instruction runs (--instructions --json) on other "
                         "interpreters")
    ap.add_argument("--callgrind-child", metavar="DIR", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.callgrind_child:
        callgrind_child(args.callgrind_child, args.calls, args.only)
        return 0
    if args.from_json:
        return from_json_main(args)
    if args.update_readme and (not args.instructions or args.only):
        ap.error("--update-readme needs --instructions and every case (no --only)")
    if args.instructions:
        return instructions_main(args)

    rounds, seconds = (7, 0.003) if args.quick else (25, 0.005)
    cases = selected_cases(args.only, ap.error)
    if args.alloc_only:
        args.no_mnist = args.no_import = True
        results, loop_ns = [], 0.0
    else:
        results, loop_ns = time_cases(cases, rounds, seconds)

    # The full run uses the real data set's sizes.
    mnist = None if args.no_mnist or args.only else mnist_case(
        5 if args.quick else 15, *((6000, 1000) if args.quick else (60000, 10000)))

    allocs = None
    alloc_note = None
    if not args.no_alloc:
        with tempfile.TemporaryDirectory() as tmp:
            counter, alloc_note = build_counter(tmp)
            if counter is not None:
                allocs = alloc_check(cases, counter, 200)
    imports = None if args.no_import or args.only else import_times(3 if args.quick else 7)

    reports.print_report(results, loop_ns, allocs, imports, mnist)
    if alloc_note:
        print(f"allocation check: n/a ({alloc_note})")
    if args.markdown:
        print("\n" + reports.markdown(results, allocs, imports, mnist))
    if args.json:
        reports.write_json(args.json,
                           {"rounds": rounds, "seconds_per_run": seconds, "statistic": "min",
                            "empty_loop_ns": loop_ns},
                           cases=results, mnist=mnist, allocations=allocs,
                           allocation_note=alloc_note, imports=imports)
    # A time over its target does not fail the run: on a shared machine a
    # row moves by 10 to 30 ns from run to run. Allocation counts do not move.
    alloc_fail = allocs is not None and any(a.get("ok") is False for a in allocs)
    return 1 if alloc_fail else 0
