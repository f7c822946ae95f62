#!/usr/bin/env python3
"""Gathers a release's facts and the proof of each older tree into release.json,
and prints what failed, for the release's own message.

    gather.py OUT --version V --made TEXT --new-tree PATH FILES BYTES
              --archive RECORDS CF00 SZDD --updater BYTES OWN ARCH SIGNATURE
              --stamped SHA256 STUB_SHA256 SOURCE [--shot NAME] --tree PROOF.json BYTES APPLIED PASSED XDELTA ...

Each --tree names the JSON object prove.sh wrote; the tree's size, the
records `vnpatch verify` counted and xdelta3's size are added to it (an
empty text stands for unknown: null). A proof that left no JSON counts as
failed. A tree passes when both its plain and its healing proof passed; for
each one that did not, stdout gets "proof failed for older tree PATH
(VERSION): WHY" and its files, one a line indented by two spaces.
"""
import argparse
import json
import sys


def number(text):
    return int(text) if text else None


def proof_of(path, tree_path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError) as e:
        return {"path": tree_path, "version": None, "run_ms": None, "title": "", "message": "",
                "pit": None, "ok": False, "failure": f"the proof left no result ({e})",
                "faults": [], "healing": None}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("--version", required=True)
    p.add_argument("--made", required=True)
    p.add_argument("--new-tree", nargs=3, required=True)
    p.add_argument("--archive", nargs=3, required=True)
    p.add_argument("--updater", nargs=4, required=True)
    p.add_argument("--stamped", nargs=3, required=True)
    p.add_argument("--shot", default="")
    p.add_argument("--tree", nargs=6, action="append", default=[],
                   metavar=("PROOF", "PATH", "BYTES", "APPLIED", "PASSED", "XDELTA"))
    a = p.parse_args()

    trees = []
    for proof, path, size, applied, passed, xdelta in a.tree:
        t = proof_of(proof, path)
        row = {"path": t.get("path", path), "version": t.get("version"), "bytes": number(size),
               "applied": number(applied), "passed_over": number(passed),
               "xdelta3_bytes": number(xdelta)}
        for key in ("run_ms", "title", "message", "pit", "ok", "failure", "faults", "healing"):
            row[key] = t.get(key)
        trees.append(row)

    release = {
        "version": a.version,
        "made": a.made,
        "new_tree": {"path": a.new_tree[0], "files": int(a.new_tree[1]),
                     "bytes": int(a.new_tree[2])},
        "archive": {"records": number(a.archive[0]), "cf00_bytes": int(a.archive[1]),
                    "szdd_bytes": int(a.archive[2])},
        "updater": {"bytes": int(a.updater[0]), "own_bytes": number(a.updater[1]),
                    "arch": a.updater[2], "signature": a.updater[3],
                    "sha256": a.stamped[0], "stub_sha256": a.stamped[1], "source": a.stamped[2]},
        "progress_screenshot": a.shot or None,
        "trees": trees,
    }
    with open(a.out, "w", encoding="utf-8") as f:
        json.dump(release, f, ensure_ascii=False, indent=2)
        f.write("\n")
    for t in trees:
        healing = t["healing"] or {}
        if t["ok"] and healing.get("ok"):
            continue
        if not t["ok"]:
            why, faults = t["failure"], t["faults"] or []
        elif not healing:
            why, faults = "the healing proof did not run", []
        else:
            why = "killed while patching and run again: " + str(healing.get("failure"))
            faults = healing.get("faults") or []
        print(f"proof failed for older tree {t['path']} ({t['version']}): {why}")
        for fault in faults:
            print(f"  {fault}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
