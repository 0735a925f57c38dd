"""What a run shows: the printed reports of the time and the instruction
modes, their Markdown tables, the JSON files, and the generated instruction
table of docs/performance.md (--update-readme)."""
import json
import os
import platform
import sys

import torch

from . import BENCH, ROOT
from .targets import budget_results, load_budgets, missed_targets

# ------------------------------------------------------------- time mode


def print_report(results, loop_ns, allocs, imports, mnist):
    w = max([len(r["case"]) for r in results + (allocs or [])] + [4])
    if results:
        print_times(results, loop_ns, w)
    _print_rest(results, allocs, imports, mnist, w)


def print_times(results, loop_ns, w):
    print(f"ns per call (min of the rounds; empty loop, {loop_ns:.1f} ns, subtracted)\n")
    head = (f"{'case':<{w}}  {'tarnex':>8}  {'pure':>8}  {'floor':>8}  {'tx/pure':>7}  "
            f"{'tx-floor':>8}  {'target':>10}  result  floor operation")
    print(head)
    print("-" * len(head))
    for r in results:
        if r.get("note"):
            print(f"{r['case']:<{w}}  {'n/a':>8}  {'n/a':>8}  {'n/a':>8}  {'n/a':>7}  "
                  f"{'n/a':>8}  {'n/a':>10}  n/a     ({r['note']})")
            continue
        print(f"{r['case']:<{w}}  {r['tarnex_ns']:8.1f}  {r['pure_ns']:8.1f}  {r['floor_ns']:8.1f}  "
              f"{r['ratio']:7.2f}  {r['overhead_ns']:8.1f}  {r['target']:>10}  "
              f"{'PASS' if r['ok'] else 'FAIL':<6}  {r['floor_op']}")


def _print_rest(results, allocs, imports, mnist, w):
    if mnist is not None:
        print()
        if mnist.get("note"):
            print(f"{mnist['case']}: n/a ({mnist['note']})")
        else:
            print(f"{mnist['case']}: tarnex {mnist['tarnex_ms']:.2f} ms, pure "
                  f"{mnist['pure_ms']:.2f} ms, tarnex/pure {mnist['ratio']:.2f}")
    if allocs is not None:
        print("\nallocations per call (interpreter allocator calls, free lists drained)\n")
        print(f"{'case':<{w}}  {'tarnex':>7}  {'pure':>7}  {'floor':>7}  result")
        for a in allocs:
            if a.get("note"):
                print(f"{a['case']:<{w}}  {'n/a':>7}  {'n/a':>7}  {'n/a':>7}  n/a")
                continue
            print(f"{a['case']:<{w}}  {a['tarnex']:7.2f}  {a['pure']:7.2f}  {a['floor']:7.2f}  "
                  f"{'PASS' if a['ok'] else 'FAIL'}")
    if imports is not None:
        print("\nimport time, fresh process, torch (and torchvision for mnist) and the parent\n"
              "package already imported (min of the rounds)\n")
        for r in imports:
            v = f"{r['ms']:8.2f} ms" if "ms" in r else f"     n/a    ({r['note']})"
            print(f"  {r['module']:<50} {v}")
    timed = [r for r in results if r.get("ok") is not None]
    failed = [r["case"] for r in timed if not r["ok"]]
    print()
    if results:
        print(f"time targets: {len(timed) - len(failed)} of {len(timed)} PASS"
              + (f"; FAIL: {', '.join(failed)}" if failed else "")
              + " (reported only: timings move with the machine's load; --instructions "
                "checks the budgets)")
    if allocs is not None:
        counted = [a for a in allocs if a.get("ok") is not None]
        afailed = [a["case"] for a in counted if not a["ok"]]
        print(f"allocation targets: {len(counted) - len(afailed)} of {len(counted)} PASS"
              + (f"; FAIL: {', '.join(afailed)}" if afailed else ""))
    skipped = [r["case"] for r in (results or allocs or []) if r.get("ok") is None]
    if skipped:
        print(f"n/a: {', '.join(skipped)}")


def markdown(results, allocs, imports, mnist):
    """The results as the Markdown tables of docs/performance.md."""
    out = ["| case | tarnex ns | plain Python ns | floor ns | floor operation | tarnex/Python "
           "| tarnex - floor ns | target | allocs tarnex / Python / floor |",
           "| --- | ---: | ---: | ---: | --- | ---: | ---: | --- | --- |"]
    by_case = {a["case"]: a for a in allocs or []}
    for r in results:
        a = by_case.get(r["case"], {})
        al = (f"{a['tarnex']:.2f} / {a['pure']:.2f} / {a['floor']:.2f}"
              if "tarnex" in a else "n/a")
        if r.get("note"):
            out.append(f"| {r['case']} | n/a | n/a | n/a | `{r['floor_op']}` | | | n/a | {al} |")
            continue
        out.append(f"| {r['case']} | {r['tarnex_ns']:.0f} | {r['pure_ns']:.0f} | {r['floor_ns']:.0f} "
                   f"| `{r['floor_op']}` | {r['ratio']:.2f} | {r['overhead_ns']:.0f} "
                   f"| {r['target']} {'PASS' if r['ok'] else 'FAIL'} | {al} |")
    if mnist and not mnist.get("note"):
        out.append(f"| {mnist['case']} | {mnist['tarnex_ms']:.1f} ms | {mnist['pure_ms']:.1f} ms "
                   f"| | | {mnist['ratio']:.2f} | | | |")
    if imports:
        out += ["", "| import (fresh process) | ms |", "| --- | ---: |"]
        out += [f"| {r['module']} | {r['ms']:.2f} |" if "ms" in r else f"| {r['module']} | n/a |"
                for r in imports]
    return "\n".join(out)


# ------------------------------------------------------ instruction mode


def _target_result(t):
    if "unmet_because" in t:
        return "MET AGAIN (drop it from the table's unmet)" if t.get("stale") else "unmet here"
    return "PASS" if t["ok"] else "FAIL"


def _targets_text(r):
    return "; ".join(f"{t['target']} {_target_result(t)}" for t in r["targets"])


def _opt(v, spec):
    return "" if v is None else format(v, spec)


def print_instructions(rows, calls, wall, budgets):
    w = max([len(r["case"]) for r in rows] + [4])
    print(f"instructions per call under callgrind ((count at {2 * calls} calls - count at "
          f"{calls}) / {calls}, empty loop subtracted); valgrind ran {wall:.0f} s\n"
          "pure: idiomatic Python (bench/pure.py); best: cheapest Python (bench/pure_fast.py); "
          "(c): an object of our own\nvectorcall type handing back its first argument; share: "
          "tx-floor over py-floor; of best: tx-floor over best-floor\n")
    head = (f"{'case':<{w}}  {'tarnex':>7}  {'pure':>7}  {'best':>7}  {'floor':>7}  {'(c)':>5}  "
            f"{'tx-floor':>8}  {'py-floor':>8}  {'bst-flr':>8}  {'share':>5}  {'ofbest':>6}  "
            f"{'tx-(c)':>6}  {'budget':>10}  {'suggested':>10}  result  target")
    print(head)
    print("-" * len(head))
    for r in rows:
        if r.get("note"):
            print(f"{r['case']:<{w}}  n/a ({r['note']})")
            continue
        budget = _opt(r["budget"], "d")
        suggested = str(r["suggested_budget"])
        result = {True: "PASS", False: "FAIL", None: "n/a"}[r["ok"]]
        if "over_passfloor_ir" in r:
            budget += f"/{_opt(r['passfloor_budget'], 'd')}"
            suggested += f"/{r['suggested_passfloor_budget']}"
            result = {True: "PASS", False: "FAIL", None: "n/a"}[
                None if r["ok"] is None or r["passfloor_ok"] is None
                else r["ok"] and r["passfloor_ok"]]
        pf = _opt(r.get("passfloor_ir"), ".0f")
        over_pf = _opt(r.get("over_passfloor_ir"), "+.0f")
        best = f"{r['best_ir']:.0f}" + ("*" if r["best_of"] == "pure" else "")
        print(f"{r['case']:<{w}}  {r['tarnex_ir']:7.0f}  {r['pure_ir']:7.0f}  {best:>7}  "
              f"{r['floor_ir']:7.0f}  {pf:>5}  {r['overhead_ir']:+8.0f}  "
              f"{r['pure_overhead_ir']:+8.0f}  {r['best_overhead_ir']:+8.0f}  "
              f"{_opt(r['share'], '.2f'):>5}  {_opt(r['best_share'], '.2f'):>6}  {over_pf:>6}  "
              f"{budget:>10}  {suggested:>10}  {result:<6}  {_targets_text(r)}")
    print("\nbest: * where the idiomatic version is the cheaper one; "
          "budget: over the floor (/ over (c) for the pass-through paths)")
    print(f"budget table: {budgets.key}" if budgets.missing is None
          else f"budget table: none ({budgets.missing})")
    for r in rows:
        for t in r.get("targets", []):
            if "unmet_because" in t:
                print(f"  {r['case']}, {t['target']}: unmet on {budgets.key}: {t['unmet_because']}")
        for t in r.get("unknown_unmet", []):
            print(f"  {r['case']}: the table lists {t!r} as unmet, but the case has no such target")
    checked, over = budget_results(rows)
    print(f"instruction budgets: {len(checked) - len(over)} of {len(checked)} PASS"
          + (f"; OVER BUDGET: {', '.join(over)}" if over else ""))
    targeted, missed = missed_targets(rows)
    print(f"instruction targets: {len(targeted) - len(missed)} of {len(targeted)} PASS"
          + (f"; FAIL: {', '.join(missed)}" if missed else "")
          + (" (gated, as the budgets are)" if targeted else ""))


def markdown_instructions(rows):
    out = ["| case | tarnex | idiomatic Python | best Python | floor | floor operation "
           "| tarnex - floor | Python - floor | best - floor | share | of best "
           "| (c) floor | tarnex - (c) | budget | target |",
           "| --- | ---: | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: "
           "| ---: | ---: | ---: | --- |"]
    for r in rows:
        if r.get("note"):
            out.append(f"| {r['case']} | n/a | n/a | n/a | n/a | `{r['floor_op']}` "
                       "| | | | | | | | | |")
            continue
        budget = _opt(r["budget"], "d")
        if "over_passfloor_ir" in r:
            budget += f" / {_opt(r['passfloor_budget'], 'd')} (c)"
        out.append(f"| {r['case']} | {r['tarnex_ir']:.0f} | {r['pure_ir']:.0f} | "
                   f"{r['best_ir']:.0f}{'*' if r['best_of'] == 'pure' else ''} | "
                   f"{r['floor_ir']:.0f} | `{r['floor_op']}` | "
                   f"{r['overhead_ir']:+.0f} | {r['pure_overhead_ir']:+.0f} | "
                   f"{r['best_overhead_ir']:+.0f} | {_opt(r['share'], '.2f')} | "
                   f"{_opt(r['best_share'], '.2f')} | {_opt(r.get('passfloor_ir'), '.0f')} | "
                   f"{_opt(r.get('over_passfloor_ir'), '+.0f')} | {budget} | "
                   f"{_targets_text(r)} |")
    out.append("")
    out.append("*best Python*: the cheaper of `bench/pure_fast.py` and, marked \\*, the "
               "idiomatic `bench/pure.py`; *(c) floor*: the call of an object of our own "
               "vectorcall type that returns its first argument; *of best*: (tarnex - floor) "
               "/ (best - floor); budget: over the floor, and over (c) where marked.")
    return "\n".join(out)


# ---------------------------------------------------- the generated docs

# The Markdown files that --update-readme rewrites (the lines between two
# markers, both kept): the detailed table of 3.11's counts in
# docs/performance.md, and the table of every interpreter's overheads there,
# in the README and in bench/README.md. The flag keeps its name from when
# the detailed table was in the README.
README_FILES = (os.path.join(ROOT, "docs", "performance.md"),)
BY_INTERPRETER_FILES = README_FILES + (os.path.join(ROOT, "README.md"),
                                       os.path.join(BENCH, "README.md"))
TABLE_BEGIN = ("<!-- instruction table: made by python -P bench/run.py --instructions"
               " --update-readme -->")
TABLE_END = "<!-- end of instruction table -->"


def instruction_table_text(rows):
    """The generated part of docs/performance.md: where the counts come from,
    and the table of --markdown."""
    return (f"Instructions per call on this machine (Python {sys.version.split()[0]}, "
            f"torch {torch.__version__.split('+')[0]}):\n\n" + markdown_instructions(rows))


# The table of every interpreter's counts side by side: a run rewrites its
# own interpreter's column and its line under the table, and keeps the rest.
BY_BEGIN = ("<!-- instructions by interpreter: each column made by python -P bench/run.py"
            " --instructions --update-readme on that interpreter -->")
BY_END = "<!-- end of instructions by interpreter -->"
INTERPRETERS = ("3.11", "3.12", "3.13", "3.14", "3.15", "3.13t")


def _by_interpreter_cell(r, budget):
    if r.get("note"):
        return "n/a"
    return f"{r['overhead_ir']:+.0f}" + ("" if budget is None else f" ({budget:+d})")


def by_interpreter_text(old, rows, key, versions):
    """The block between BY_BEGIN and BY_END with this run's column (`key`)
    and its line put in: `old` is the block as it stands, `versions` the
    run's (Python, torch)."""
    cells, sources = {}, {}
    for line in old.splitlines():
        parts = [p.strip() for p in line.strip().strip("|").split("|")]
        if line.startswith("| ") and parts[0] not in ("case", "---"):
            cells[parts[0]] = dict(zip(INTERPRETERS, parts[1:]))
        elif line.startswith("- ") and ":" in line:
            sources[line[2:].split(":", 1)[0]] = line
    # The budgets as the file has them now: a run on an interpreter that had
    # no table yet is shown with the table made from it.
    budgets = load_budgets(key=key).floor
    for r in rows:
        cells.setdefault(r["case"], {})[key] = _by_interpreter_cell(r, budgets.get(r["case"]))
    python, torch_version = versions
    torch_text = ("the stand-in torch of tools/standin/" if torch_version == "0+standin"
                  else f"torch {torch_version.split('+')[0]}")
    sources[key] = f"- {key}: Python {python}, {torch_text}"
    out = ["| case | " + " | ".join(INTERPRETERS) + " |",
           "| --- |" + " ---: |" * len(INTERPRETERS)]
    order = [r["case"] for r in rows] + [c for c in cells if c not in {r["case"] for r in rows}]
    for case in order:
        out.append(f"| {case} | " + " | ".join(cells[case].get(k, "") or "n/a"
                                             for k in INTERPRETERS) + " |")
    out.append("")
    out += [sources[k] for k in INTERPRETERS if k in sources]
    return "\n".join(out)


def _replace_between(doc, begin_marker, end_marker, make, path):
    begin, end = doc.find(begin_marker), doc.find(end_marker)
    if begin < 0 or end < begin:
        sys.exit(f"bench: {path} has no markers {begin_marker!r} ... {end_marker!r}")
    head = doc[:begin + len(begin_marker)]
    return f"{head}\n{make(doc[len(head):end].strip())}\n{doc[end:]}"


def update_readmes(rows, key, versions=None):
    """The per-interpreter table of every README file gets this run's column;
    the detailed table is 3.11's, the interpreter whose counts the project
    is developed against, and only a run there rewrites it. `versions`:
    the run's (Python, torch), this process's by default."""
    versions = versions or (sys.version.split()[0], torch.__version__)
    if key not in INTERPRETERS:
        sys.exit(f"bench: no column for {key} in the instruction tables")
    for path in BY_INTERPRETER_FILES:
        with open(path, encoding="utf-8") as f:
            doc = f.read()
        doc = _replace_between(doc, BY_BEGIN, BY_END,
                               lambda old: by_interpreter_text(old, rows, key, versions), path)
        if path in README_FILES and key == "3.11" and versions[0] == sys.version.split()[0]:
            doc = _replace_between(doc, TABLE_BEGIN, TABLE_END,
                                   lambda old: instruction_table_text(rows), path)
        with open(path, "w", encoding="utf-8") as f:
            f.write(doc)
        print(f"bench: rewrote the {key} instruction counts of {os.path.relpath(path)}")


def budget_table_toml(key, rows):
    """This run's suggested budgets as the TOML table of interpreter `key`,
    for bench/instruction_budgets.toml (its unmet targets are copied from
    the run's reasons, or left for the author to give)."""
    out = [f'["{key}".budget]']
    out += [f'"{r["case"]}" = {r["suggested_budget"]}' for r in rows if not r.get("note")]
    passing = [r for r in rows if not r.get("note") and "over_passfloor_ir" in r]
    if passing:
        out += ["", f'["{key}".budget_over_passfloor]']
        out += [f'"{r["case"]}" = {r["suggested_passfloor_budget"]}' for r in passing]
    for r in rows:
        missed = [t for t in r.get("targets", []) if not t["ok"] or "unmet_because" in t]
        if missed:
            out += ["", f'["{key}".unmet."{r["case"]}"]']
            out += [f'"{t["target"]}" = "{t.get("unmet_because", "WHY")}"' for t in missed]
    return "\n".join(out)


# ------------------------------------------------------------------ JSON


def machine():
    """Where a run ran, for the JSON output."""
    return {"python": sys.version.split()[0], "torch": torch.__version__,
            "platform": platform.platform(), "processor": platform.processor(),
            "cpus": os.cpu_count()}


def write_json(path, method, **results):
    with open(path, "w") as f:
        json.dump({"machine": machine(), "method": method, **results}, f, indent=2)
