#!/usr/bin/env python3
"""Sums up the Windows test tiers for scripts/test.sh and prints one line: which tiers ran, which
could not and why. Fails when no tier ran, when a tier's tests failed, or when a test that ran in
one tier was skipped (or is missing) in the other without a reason in tests/wine/tier_differences.txt.

usage: windows_tiers.py DIFFERENCES TIER=RESULT [TIER=RESULT ...]
RESULT: the ctest JUnit file of a tier that ran, or "not-run:WHY"."""
import sys
import xml.etree.ElementTree as ElementTree

def outcomes(junit):
    """Each test's outcome in a tier's ctest JUnit file: passed, failed or skipped."""
    result = {}
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        status = case.get("status")
        result[case.get("name")] = {"run": "passed", "fail": "failed"}.get(status, "skipped")
    return result

def stated_reasons(path):
    """Test name -> reason, from lines "NAME: REASON" (# starts a comment)."""
    reasons = {}
    for line in open(path, encoding="utf-8"):
        line = line.split("#", 1)[0].strip()
        if line:
            name, _, reason = line.partition(":")
            reasons[name.strip()] = reason.strip()
    return reasons

def main():
    reasons = stated_reasons(sys.argv[1])
    ran, not_run, problems = {}, {}, []
    for arg in sys.argv[2:]:
        tier, _, result = arg.partition("=")
        if result.startswith("not-run:"):
            not_run[tier] = result[len("not-run:"):]
        else:
            ran[tier] = outcomes(result)
    parts = []
    for tier, tests in ran.items():
        failed = sorted(t for t, o in tests.items() if o == "failed")
        skipped = sum(o == "skipped" for o in tests.values())
        parts.append(f"{tier} ran ({len(tests)} tests, {len(failed)} failed, {skipped} skipped)")
        problems += [f"{tier}: {t} failed" for t in failed]
    parts += [f"{tier} could not run: {why}" for tier, why in not_run.items()]
    if not ran:
        problems.append("no Windows tier could run on this machine")
    tiers = sorted(ran)
    for a in tiers:
        for b in tiers:
            for test, outcome in sorted(ran[a].items()):
                if outcome == "passed" and ran[b].get(test, "missing") in ("skipped", "missing") \
                        and test not in reasons:
                    problems.append(f"{test} ran in {a} but is {ran[b].get(test, 'missing')} "
                                    f"in {b}, with no reason stated")
    print("Windows tiers: " + "; ".join(parts))
    for problem in problems:
        print(f"windows_tiers: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)

if __name__ == "__main__":
    main()
