#!/usr/bin/env python3
"""Write a release's report from its model: report.py RELEASE_JSON OUTDIR.

RELEASE_JSON is the model scripts/release.sh writes (release.json): the new
tree, the archive, the updater and one entry per older tree with the proofs
run on it. OUTDIR gets report.md and report.html, both made from one list of
rows and one summary, so the two always say the same. A model that does not
read exits 1 with one line on stderr and leaves OUTDIR as it was.
"""
import html
import json
import os
import string
import sys
import tempfile
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
SHIPPED_ARCH = "i686"
# Fault lines shown per cell; a tree that differs everywhere would bury the table.
MAX_FAULTS = 20


class ModelError(Exception):
    pass


# --- reading the model --------------------------------------------------------
# Every value is read through Field so that a missing key or a value of the
# wrong kind is reported with where it sits, e.g. "trees[1].healing.ok".


class Field:
    def __init__(self, value, where):
        self.value = value
        self.where = where

    def _key(self, key):
        if not isinstance(self.value, dict):
            raise ModelError(f"{self.where or 'the model'} is not an object")
        where = f"{self.where}.{key}" if self.where else key
        if key not in self.value:
            raise ModelError(f"missing key {where}")
        return Field(self.value[key], where)

    def obj(self, key, nullable=False):
        f = self._key(key)
        if f.value is None and nullable:
            return None
        if not isinstance(f.value, dict):
            raise ModelError(f"{f.where} is not an object")
        return f

    def _typed(self, key, kinds, what, nullable):
        f = self._key(key)
        if f.value is None and nullable:
            return None
        # bool is an int in Python; a count of true is still a mistake.
        if not isinstance(f.value, kinds) or (bool not in kinds and isinstance(f.value, bool)):
            raise ModelError(f"{f.where} is not {what}" + (" or null" if nullable else ""))
        return f.value

    def count(self, key, nullable=False):
        value = self._typed(key, (int,), "a whole number", nullable)
        if value is not None and value < 0:
            raise ModelError(f"{self.where}.{key} is negative")
        return value

    def text(self, key, nullable=False):
        return self._typed(key, (str,), "a string", nullable)

    def flag(self, key):
        return self._typed(key, (bool,), "true or false", False)

    def lines(self, key):
        f = self._key(key)
        if not isinstance(f.value, list) or not all(isinstance(x, str) for x in f.value):
            raise ModelError(f"{f.where} is not a list of strings")
        return f.value

    def items(self, key):
        f = self._key(key)
        if not isinstance(f.value, list):
            raise ModelError(f"{f.where} is not a list")
        return [Field(v, f"{f.where}[{i}]") for i, v in enumerate(f.value)]


# --- the row model ------------------------------------------------------------
# A cell is a run of parts (plain text, emphasised text, code) with a state
# that says how emphasis reads: "pass", "fail" or None. Fault lines hang
# under a cell as items. Renderers only format cells; they decide nothing.


@dataclass
class Strong:
    text: str


@dataclass
class Code:
    text: str


@dataclass
class Cell:
    parts: list
    state: str = None
    items: list = field(default_factory=list)


@dataclass
class Row:
    cells: list
    passed: bool


@dataclass
class Bar:
    label: str
    bytes: int
    colour: str


@dataclass
class Report:
    version: str
    verdict: Cell
    notice: Cell  # None unless the updater is not the build that ships
    summary: list  # of Cell, one bullet each
    columns: list
    rows: list
    chart: list  # per older tree: (version, [Bar])
    chart_legend: list  # of Bar (bytes unused)
    notes: list  # of Cell, paragraphs under the table
    screenshot: str  # file name beside the report, or None


COLUMNS = [
    "older tree",
    "version",
    "records applied / passed over",
    "tree bytes",
    "xdelta3 -9 per file",
    "run under Wine",
    "outcome message",
    "comparison",
    "healing",
]


def plural(n, word, words=None):
    return f"{n} {word if n == 1 else (words or word + 's')}"


def grouped(n):
    return f"{n:,}"


def fault_items(faults):
    if len(faults) <= MAX_FAULTS:
        return list(faults)
    return faults[:MAX_FAULTS] + [f"and {len(faults) - MAX_FAULTS} more"]


def comparison_cell(tree):
    if tree["ok"]:
        return Cell([Strong("same as the new tree"), f"; pit data {tree['pit']}"], "pass")
    faults = tree["faults"]
    headline = tree["failure"] or (
        f"{plural(len(faults), 'file')} differ{'s' if len(faults) == 1 else ''}"
        if faults
        else "failed"
    )
    return Cell([Strong(headline)], "fail", fault_items(faults))


def healing_cell(tree):
    heal = tree["healing"]
    if heal is None:
        # Not run after a failed first run is expected; after a passed one
        # the tree lacks its second proof.
        return Cell([Strong("not run")], "fail") if tree["ok"] else Cell(["not run"])
    if heal["finished_before_kill"]:
        kill = f"patching finished before the kill at {heal['killed_after_ms']} ms"
    else:
        backups = heal["backups_at_kill"]
        left = "no backup" if backups == 0 else plural(backups, "backup")
        kill = f"killed {heal['killed_after_ms']} ms into patching ({left} left)"
    if heal["ok"]:
        return Cell([f"{kill}, ", Strong("second run reached the new tree")], "pass")
    failure = heal["failure"] or "second run did not reach the new tree"
    return Cell([f"{kill}; ", Strong(failure)], "fail", fault_items(heal["faults"]))


def tree_passed(tree):
    return tree["ok"] and tree["healing"] is not None and tree["healing"]["ok"]


def read_tree(f):
    heal_f = f.obj("healing", nullable=True)
    heal = None
    if heal_f is not None:
        heal = {
            "ok": heal_f.flag("ok"),
            "killed_after_ms": heal_f.count("killed_after_ms"),
            "backups_at_kill": heal_f.count("backups_at_kill"),
            "finished_before_kill": heal_f.flag("finished_before_kill"),
            "failure": heal_f.text("failure", nullable=True),
            "faults": heal_f.lines("faults"),
        }
    return {
        "path": f.text("path"),
        "version": f.text("version"),
        "bytes": f.count("bytes"),
        "applied": f.count("applied", nullable=True),
        "passed_over": f.count("passed_over", nullable=True),
        "xdelta3_bytes": f.count("xdelta3_bytes", nullable=True),
        "run_ms": f.count("run_ms", nullable=True),
        "title": f.text("title"),
        "message": f.text("message"),
        "pit": f.text("pit"),
        "ok": f.flag("ok"),
        "failure": f.text("failure", nullable=True),
        "faults": f.lines("faults"),
        "healing": heal,
    }


def build_report(model):
    """Everything both reports say, from the parsed JSON value."""
    root = Field(model, "")
    if not isinstance(model, dict):
        raise ModelError("the model is not an object")
    version = root.text("version")
    new = root.obj("new_tree")
    archive = root.obj("archive")
    updater = root.obj("updater")
    new_bytes = new.count("bytes")
    szdd_bytes = archive.count("szdd_bytes")
    exe_bytes = updater.count("bytes")
    arch = updater.text("arch")
    trees = [read_tree(f) for f in root.items("trees")]
    if not trees:
        raise ModelError("trees is empty: a release is proven on at least one older tree")
    screenshot = root.text("progress_screenshot", nullable=True)

    failed = [t for t in trees if not tree_passed(t)]
    if failed:
        verdict = Cell(
            [
                Strong(f"FAILED for {len(failed)} of {plural(len(trees), 'older tree')}"),
                ": " + ", ".join(t["version"] for t in failed),
            ],
            "fail",
        )
    else:
        verdict = Cell(
            [
                Strong("passed"),
                ": every older tree updates to the new tree, also after a run killed"
                " during patching",
            ],
            "pass",
        )
    notice = None
    if arch != SHIPPED_ARCH:
        notice = Cell(
            [
                Strong("Not for players:"),
                f" this updater is an {arch} test build and does not run on 32-bit Windows;"
                f" the {SHIPPED_ARCH} build is what ships.",
            ],
            "fail",
        )
    summary = [
        Cell(
            [
                "new tree: ",
                Code(new.text("path")),
                f" ({version}, {plural(new.count('files'), 'file')}, {grouped(new_bytes)} bytes)",
            ]
        ),
        Cell(
            [
                f"archive: {plural(archive.count('records'), 'record')};"
                f" patch.cf00 {grouped(archive.count('cf00_bytes'))} bytes,"
                f" patch.szdd {grouped(szdd_bytes)} bytes"
            ]
        ),
        Cell(
            [
                Code("varnelo_update.exe"),
                f" ({arch}): {grouped(exe_bytes)} bytes"
                f" ({grouped(updater.count('own_bytes'))} of its own, the rest the archive),"
                f" {updater.text('signature')}"
            ]
        ),
        Cell(
            [
                "SHA-256: ",
                Code("varnelo_update.exe"),
                " ",
                Code(updater.text("sha256")),
                "; the stub it was stamped from ",
                Code(updater.text("stub_sha256")),
                ", built from source ",
                Code(updater.text("source")),
            ]
        ),
        Cell([f"made {root.text('made')}"]),
    ]

    rows = []
    chart = []
    for t in trees:
        counts = " / ".join("?" if n is None else str(n) for n in (t["applied"], t["passed_over"]))
        measured = t["xdelta3_bytes"]
        outcome = ": ".join(x for x in (t["title"], t["message"]) if x) or "none"
        run = "no outcome" if t["run_ms"] is None else f"{t['run_ms'] / 1000:.1f} s"
        rows.append(
            Row(
                [
                    Cell([Code(t["path"])]),
                    Cell([t["version"]]),
                    Cell([counts]),
                    Cell([grouped(t["bytes"])]),
                    Cell(["not measured" if measured is None else grouped(measured)]),
                    Cell([run]),
                    Cell([outcome]),
                    comparison_cell(t),
                    healing_cell(t),
                ],
                tree_passed(t),
            )
        )
        bars = [
            Bar("varnelo_update.exe", exe_bytes, "#2b6cb0"),
            Bar("its archive (patch.szdd)", szdd_bytes, "#63a4e0"),
        ]
        if measured is not None:
            bars.append(Bar("xdelta3 -9 per file", measured, "#dd8a1e"))
        bars.append(Bar("full new tree", new_bytes, "#999999"))
        chart.append((t["version"], bars))
    legend = [b for b in chart[0][1] if b.label != "xdelta3 -9 per file"]
    if any(t["xdelta3_bytes"] is not None for t in trees):
        legend.insert(2, Bar("xdelta3 -9 per file", 0, "#dd8a1e"))

    notes = [
        Cell(
            [
                f"Download: every player downloads the one executable ({grouped(exe_bytes)} bytes);"
                f" the full new tree is {grouped(new_bytes)} bytes."
            ]
        ),
        Cell(
            [
                "Records and their outcome come from ",
                Code("vnpatch verify"),
                " against each older tree; the run time is from pressing OK in the confirmation"
                " until the outcome message appears. Healing: a second copy of the tree is"
                " updated by a run killed during patching, then by a whole run.",
            ]
        ),
    ]
    return Report(
        version, verdict, notice, summary, COLUMNS, rows, chart, legend, notes, screenshot
    )


# --- Markdown -----------------------------------------------------------------

# Backslash escapes for the characters that would start markup in running
# text; "|" among them keeps a cell inside its table column.
MD_SPECIAL = set("\\`*_[]<>|&~")


def md_text(s):
    s = " ".join(s.splitlines())
    return "".join("\\" + c if c in MD_SPECIAL else c for c in s)


def md_code(s):
    s = " ".join(s.splitlines())
    # A code span takes everything literally but "|" in a table row, and ends
    # at a run of backticks as long as its fence.
    s = s.replace("|", "\\|")
    fence = "`"
    while fence in s:
        fence += "`"
    pad = " " if s.startswith("`") or s.endswith("`") else ""
    return f"{fence}{pad}{s}{pad}{fence}"


def md_cell(cell):
    out = []
    for p in cell.parts:
        if isinstance(p, Code):
            out.append(md_code(p.text))
        elif isinstance(p, Strong) and cell.state == "fail":
            out.append(f"**{md_text(p.text)}**")
        else:
            out.append(md_text(p.text if isinstance(p, Strong) else p))
    if cell.items:
        out.append(": " + "; ".join(md_text(i) for i in cell.items))
    return "".join(out)


def render_md(r):
    table = ["| " + " | ".join(r.columns) + " |", "|" + "---|" * len(r.columns)]
    for row in r.rows:
        table.append("| " + " | ".join(md_cell(c) for c in row.cells) + " |")
    if r.screenshot is None:
        screenshot = (
            "No screenshot of the progress window: every run closed it before it could be"
            " captured."
        )
    else:
        screenshot = f"![progress window](<{urllib.parse.quote(r.screenshot)}>)"
    frame = string.Template((HERE / "report.md.in").read_text(encoding="utf-8"))
    return frame.substitute(
        version=md_text(r.version),
        verdict=md_cell(r.verdict),
        notice="" if r.notice is None else "\n" + md_cell(r.notice) + "\n",
        summary="\n".join("- " + md_cell(c) for c in r.summary),
        table="\n".join(table),
        notes="\n\n".join(md_cell(c) for c in r.notes),
        screenshot=screenshot,
    )


# --- HTML ---------------------------------------------------------------------


def esc(s):
    return html.escape(s, quote=True)


def html_cell(cell):
    out = []
    for p in cell.parts:
        if isinstance(p, Code):
            # Long paths wrap after a "/" rather than inside a name.
            out.append(f"<code>{esc(p.text).replace('/', '/<wbr>')}</code>")
        elif isinstance(p, Strong):
            cls = f' class="{cell.state}"' if cell.state else ""
            out.append(f"<strong{cls}>{esc(p.text)}</strong>")
        else:
            out.append(esc(p))
    if cell.items:
        out.append("<ul>" + "".join(f"<li>{esc(i)}</li>" for i in cell.items) + "</ul>")
    return "".join(out)


def human(n):
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return f"{n} B"


def render_chart(r):
    bar_h, gap, label_w, chart_w, value_w = 18, 16, 120, 600, 90
    most = max(b.bytes for _, bars in r.chart for b in bars) or 1
    out = []
    y = 4
    for version, bars in r.chart:
        group_h = len(bars) * bar_h
        out.append(
            f'<text x="0" y="{y + group_h // 2 + 5}" font-size="14">{esc(version)}</text>'
        )
        for b in bars:
            w = max(1, b.bytes * chart_w // most)
            out.append(
                f'<rect x="{label_w}" y="{y}" width="{w}" height="{bar_h - 3}"'
                f' fill="{b.colour}"><title>{esc(b.label)}: {grouped(b.bytes)} bytes</title></rect>'
            )
            out.append(
                f'<text x="{label_w + w + 6}" y="{y + bar_h - 6}" font-size="12">'
                f"{esc(human(b.bytes))}</text>"
            )
            y += bar_h
        y += gap
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_w + chart_w + value_w}"'
        f' height="{y}" role="img" aria-label="download size per older version">\n'
        + "\n".join(out)
        + "\n</svg>"
    )


def render_html(r):
    head = "".join(f"<th>{esc(c)}</th>" for c in r.columns)
    rows = []
    for row in r.rows:
        cells = "".join(f"<td>{html_cell(c)}</td>" for c in row.cells)
        rows.append(f'<tr class="{"passed" if row.passed else "failed"}">{cells}</tr>')
    legend = "".join(
        f'<span class="key" style="background:{b.colour}"></span>{esc(b.label)} '
        for b in r.chart_legend
    )
    if r.screenshot is None:
        screenshot = (
            "<p>No screenshot of the progress window: every run closed it before it could be"
            " captured.</p>"
        )
    else:
        screenshot = (
            "<h2>Progress window</h2>"
            f'<p><img src="{esc(urllib.parse.quote(r.screenshot))}" alt="progress window"></p>'
        )
    frame = string.Template((HERE / "report.html.in").read_text(encoding="utf-8"))
    return frame.substitute(
        version=esc(r.version),
        verdict_class=r.verdict.state,
        verdict=html_cell(r.verdict),
        notice="" if r.notice is None else f'<p class="notice">{html_cell(r.notice)}</p>',
        summary="\n".join(f"<li>{html_cell(c)}</li>" for c in r.summary),
        legend=legend.rstrip(),
        chart=render_chart(r),
        head=head,
        rows="\n".join(rows),
        notes="\n".join(f"<p>{html_cell(c)}</p>" for c in r.notes),
        screenshot=screenshot,
    )


# --- writing ------------------------------------------------------------------


def write_all(outdir, files):
    """Writes every file under a temporary name first, then renames them in
    place, so a failure leaves no half-written report behind."""
    outdir.mkdir(parents=True, exist_ok=True)
    staged = []
    try:
        for name, text in files:
            fd, tmp = tempfile.mkstemp(prefix=f".{name}.", dir=outdir)
            staged.append((tmp, outdir / name))
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
        for tmp, final in staged:
            os.chmod(tmp, 0o644)
            os.replace(tmp, final)
    finally:
        for tmp, _ in staged:
            if os.path.exists(tmp):
                os.unlink(tmp)


def main(argv):
    if len(argv) != 3:
        print("usage: report.py RELEASE_JSON OUTDIR", file=sys.stderr)
        return 2
    source, outdir = argv[1], Path(argv[2])
    try:
        try:
            with open(source, encoding="utf-8") as f:
                model = json.load(f)
        except OSError as e:
            raise ModelError(e.strerror) from None
        except json.JSONDecodeError as e:
            raise ModelError(f"not JSON: {e}") from None
        except UnicodeDecodeError:
            raise ModelError("not UTF-8 text") from None
        report = build_report(model)
    except ModelError as e:
        print(f"report.py: {source}: {e}", file=sys.stderr)
        return 1
    try:
        files = [("report.md", render_md(report)), ("report.html", render_html(report))]
    except OSError as e:
        print(f"report.py: cannot read the page frame {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    try:
        write_all(outdir, files)
    except OSError as e:
        print(f"report.py: cannot write the report into {outdir}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
