#!/usr/bin/env python3
"""tools/release/report.py: what a release engineer reads in report.md and
report.html, from sample models of a passing and a failing release."""
import html.parser
import json
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPORT = HERE.parent.parent / "tools" / "release" / "report.py"
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


def sample(name):
    return json.loads((HERE / f"report_{name}.json").read_text(encoding="utf-8"))


class Html(html.parser.HTMLParser):
    """What a browser shows of report.html: the verdict, the notice, the
    table's cells, the chart's bars and the image."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags = set()
        self.paragraphs = {}  # class -> text
        self.header = []
        self.rows = []  # of [cell], a cell is a list of text fragments
        self.bars = []  # of (group label, bar title, width)
        self.images = []
        self.bar_ends = []
        self.text = []
        self._p = None
        self._cell = None
        self._label = None
        self._svg_text = None
        self._rect = None
        self.feed(text)
        self.close()
        self.text = "".join(self.text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.add(tag)
        if tag == "p":
            self._p = [a.get("class", ""), ""]
        elif tag == "tr":
            self._row = []
        elif tag in ("td", "th"):
            self._cell = [""]
        elif tag in ("li", "ul") and self._cell is not None:
            self._cell.append("")
        elif tag == "text":
            self._svg_text = "" if a.get("x") == "0" else None
        elif tag == "svg":
            self.svg_width = int(a["width"])
        elif tag == "rect":
            self._rect = [self._label, "", int(a["width"])]
            self.bar_ends.append(int(a["x"]) + int(a["width"]))
        elif tag == "img":
            self.images.append(a["src"])

    def handle_endtag(self, tag):
        if tag == "p" and self._p:
            self.paragraphs[self._p[0]] = self._p[1]
            self._p = None
        elif tag in ("td", "th"):
            cell = [f for f in self._cell if f]
            self._row.append(cell)
            self._cell = None
        elif tag == "li" and self._cell is not None:
            self._cell.append("")
        elif tag == "tr":
            if self._row and not self.header:
                self.header = ["".join(c) for c in self._row]
            else:
                self.rows.append(self._row)
        elif tag == "text":
            # Group labels sit at the left edge, value labels after the bars.
            if self._svg_text is not None:
                self._label = self._svg_text
            self._svg_text = None
        elif tag == "rect":
            self.bars.append(tuple(self._rect))
            self._rect = None

    def handle_data(self, data):
        self.text.append(data)
        if self._p is not None:
            self._p[1] += data
        if self._cell is not None:
            self._cell[-1] += data
        if self._rect is not None:
            self._rect[1] += data
        elif self._svg_text is not None:
            self._svg_text += data

    def cell(self, row, column):
        return "".join(self.rows[row][COLUMNS.index(column)])


def md_split(line):
    """Cells of a Markdown table row, split where a table would split them."""
    return [c.strip() for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]


def md_plain(cell):
    """The text a Markdown cell shows: markup and escapes removed."""
    cell = cell.replace("**", "")
    # Code spans show backslashes as they are, but for the "\|" a table row needs.
    code = lambda m: m.group(2).replace("\\|", "|").replace("\\", "\x00")
    cell = re.sub(r"(?<!\\)(`+) ?(.*?) ?\1", code, cell)
    return re.sub(r"\\(.)", r"\1", cell).replace("\x00", "\\")


class Md:
    def __init__(self, text):
        self.text = text
        lines = [line for line in text.splitlines() if line.startswith("|")]
        self.header = md_split(lines[0])
        self.raw_rows = [md_split(line) for line in lines[2:]]
        self.rows = [[md_plain(c) for c in row] for row in self.raw_rows]
        self.lines = text.splitlines()

    def cell(self, row, column):
        return self.rows[row][COLUMNS.index(column)]


class ReportCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="report_test.")
        self.dir = Path(self._dir.name)
        self.addCleanup(self._dir.cleanup)

    def run_report(self, model, out="out"):
        source = self.dir / "release.json"
        if isinstance(model, (dict, list)):
            source.write_text(json.dumps(model, ensure_ascii=False), encoding="utf-8")
        else:
            source.write_text(model, encoding="utf-8")
        return subprocess.run(
            [sys.executable, str(REPORT), str(source), str(self.dir / out)],
            capture_output=True,
            text=True,
        )

    def reports(self, model):
        result = self.run_report(model)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        out = self.dir / "out"
        return (
            Md((out / "report.md").read_text(encoding="utf-8")),
            Html((out / "report.html").read_text(encoding="utf-8")),
        )

    def assertSameCells(self, md, page):
        """Every row says the same in both reports: each piece of text the HTML
        cell shows appears, in order, in the Markdown cell."""
        self.assertEqual(md.header, COLUMNS)
        self.assertEqual(page.header, COLUMNS)
        self.assertEqual(len(md.rows), len(page.rows))
        for md_row, html_row in zip(md.rows, page.rows):
            self.assertEqual(len(md_row), len(COLUMNS), md_row)
            self.assertEqual(len(html_row), len(COLUMNS), html_row)
            for md_cell, fragments in zip(md_row, html_row):
                at = 0
                for fragment in fragments:
                    # A line break in the model is a space on either page.
                    fragment = " ".join(fragment.split())
                    found = md_cell.find(fragment, at)
                    self.assertGreaterEqual(found, 0, f"{fragment!r} not in {md_cell!r}")
                    at = found + len(fragment)


class PassingRelease(ReportCase):
    def test_two_trees_that_pass(self):
        md, page = self.reports(sample("pass"))
        for verdict in (md.lines[2], page.paragraphs["verdict pass"]):
            self.assertIn("passed", verdict)
            self.assertNotIn("FAILED", verdict)
        self.assertSameCells(md, page)
        for report in (md, page):
            self.assertEqual(len(report.rows), 2)
            self.assertEqual(report.cell(0, "older tree"), "/srv/varnelo/1.0.5.2")
            self.assertEqual(report.cell(1, "version"), "1.1.0.1")
            self.assertEqual(report.cell(0, "records applied / passed over"), "7 / 2")
            self.assertEqual(report.cell(1, "records applied / passed over"), "3 / 6")
            self.assertEqual(report.cell(0, "tree bytes"), "26,120,000")
            self.assertEqual(report.cell(1, "xdelta3 -9 per file"), "1,234,567")
            self.assertEqual(report.cell(0, "run under Wine"), "0.6 s")
            self.assertEqual(report.cell(1, "run under Wine"), "6.3 s")
            self.assertIn("アップデート完了しました。", report.cell(0, "outcome message"))
            self.assertIn("same as the new tree", report.cell(0, "comparison"))
            self.assertIn("pit data removed", report.cell(0, "comparison"))
            self.assertIn("pit data kept", report.cell(1, "comparison"))
            self.assertIn("killed 37 ms into patching (1 backup left)", report.cell(0, "healing"))
            self.assertIn("second run reached the new tree", report.cell(0, "healing"))
            # A kill that came after patching proves less; the cell says so.
            self.assertIn("finished before the kill", report.cell(1, "healing"))
            for fact in (
                "/srv/varnelo/1.1.0.3",
                "12 files",
                "27,680,482 bytes",
                "9 records",
                "10,912,345",
                "10,677,052",
                "10,710,636 bytes (33,584 of its own",
                "signed by Varnelo Release",
                "2026-12-10 01:02 UTC",
            ):
                self.assertIn(fact, md_plain(md.text) if report is md else page.text)
        self.assertNotIn("test build", page.text)
        self.assertIn("![progress window](<progress.png>)", md.text)
        self.assertEqual(page.images, ["progress.png"])

    def test_chart_bars_per_older_version(self):
        _, page = self.reports(sample("pass"))
        for version, xdelta in (("1.0.5.2", "9,876,543"), ("1.1.0.1", "1,234,567")):
            bars = {title: width for label, title, width in page.bars if label == version}
            self.assertEqual(
                sorted(bars),
                sorted(
                    [
                        "varnelo_update.exe: 10,710,636 bytes",
                        "its archive (patch.szdd): 10,677,052 bytes",
                        f"xdelta3 -9 per file: {xdelta} bytes",
                        "full new tree: 27,680,482 bytes",
                    ]
                ),
            )
            # One scale for every bar: the full tree is the longest, and
            # lengths follow the sizes.
            widths = {t.split(":")[0]: w for t, w in bars.items()}
            self.assertEqual(max(bars.values()), widths["full new tree"])
            self.assertAlmostEqual(
                widths["varnelo_update.exe"] / widths["full new tree"],
                10710636 / 27680482,
                delta=0.01,
            )
        # Every bar, with its size written after it, fits in the picture.
        self.assertLessEqual(max(page.bar_ends) + 80, page.svg_width)


class FailingRelease(ReportCase):
    def test_failed_tree_and_failed_healing(self):
        md, page = self.reports(sample("fail"))
        for verdict in (md.lines[2], page.paragraphs["verdict fail"]):
            self.assertIn("FAILED for 2 of 3 older trees", verdict)
            self.assertIn("1.0.5.2", verdict)
            self.assertIn("1.1.0.1", verdict)
            self.assertNotIn("1.1.0.2", verdict)
        self.assertSameCells(md, page)
        for report in (md, page):
            first = report.cell(0, "comparison")
            self.assertIn("the updater reported failure", first)
            self.assertIn("course/OVAL.bin: differs from the new tree", first)
            self.assertIn("save/pit/a.ptd: still present", first)
            self.assertEqual(report.cell(0, "healing"), "not run")
            self.assertIn("パッチの適用に失敗しました。", report.cell(0, "outcome message"))
            self.assertIn("same as the new tree", report.cell(1, "comparison"))
            healing = report.cell(1, "healing")
            self.assertIn("killed 214 ms into patching (2 backups left)", healing)
            self.assertIn("second run reported failure", healing)
            self.assertIn("car/R8.bin.bak: left behind", healing)
            self.assertIn("car/R8.bin: missing", healing)
            self.assertIn("second run reached the new tree", report.cell(2, "healing"))
        # Each fault is its own line in the page.
        self.assertEqual(
            page.rows[0][COLUMNS.index("comparison")][1:],
            ["course/OVAL.bin: differs from the new tree", "save/pit/a.ptd: still present"],
        )
        self.assertIn("No screenshot of the progress window", md.text)
        self.assertIn("No screenshot of the progress window", page.text)
        self.assertEqual(page.images, [])

    def test_a_tree_passes_only_with_both_proofs(self):
        model = sample("pass")
        model["trees"][0]["healing"] = None  # first run passed, healing never ran
        model["trees"][1]["healing"]["backups_at_kill"] = 0
        md, page = self.reports(model)
        for report, verdict in ((md, md.lines[2]), (page, page.paragraphs["verdict fail"])):
            self.assertIn("FAILED for 1 of 2 older trees", verdict)
            self.assertEqual(report.cell(0, "healing"), "not run")
        self.assertIn("**not run**", md.raw_rows[0][COLUMNS.index("healing")])

        model = sample("pass")
        model["trees"][1]["ok"] = False
        model["trees"][1]["failure"] = None
        model["trees"][1]["faults"] = ["data/x.bin: differs"]
        md, page = self.reports(model)
        for report in (md, page):
            self.assertIn("1 file differs", report.cell(1, "comparison"))
            self.assertIn("data/x.bin: differs", report.cell(1, "comparison"))

    def test_long_fault_lists_are_cut_with_a_count(self):
        model = sample("fail")
        model["trees"][0]["faults"] = [f"data/f{i:02}.bin: differs" for i in range(25)]
        md, page = self.reports(model)
        for report in (md, page):
            cell = report.cell(0, "comparison")
            self.assertIn("data/f19.bin", cell)
            self.assertNotIn("data/f20.bin", cell)
            self.assertIn("and 5 more", cell)


class Escaping(ReportCase):
    HOSTILE = "<script>alert(\"x\")</script> & 'q' | a|b `tick` *star* [l](u)"

    def test_hostile_strings(self):
        model = sample("fail")
        tree = model["trees"][1]
        model["new_tree"]["path"] = "/srv/new " + self.HOSTILE
        model["updater"]["signature"] = "signed by " + self.HOSTILE
        model["progress_screenshot"] = "progress <1> & \"2\".png"
        tree["path"] = "/srv/old " + self.HOSTILE
        tree["version"] = "1.0<b>"
        tree["title"] = "T|" + self.HOSTILE
        tree["message"] = "line one\nline two | " + self.HOSTILE
        tree["healing"]["failure"] = "F " + self.HOSTILE
        tree["healing"]["faults"] = ["x|y.bin: " + self.HOSTILE]
        model["trees"][0]["faults"] = ["<img src=x onerror=alert(1)>"]
        md, page = self.reports(model)

        # HTML: no markup from the model; the page shows the strings as they are.
        self.assertLessEqual(
            page.tags,
            {"html", "head", "meta", "title", "style", "body", "h1", "h2", "p", "strong",
             "ul", "li", "code", "wbr", "span", "svg", "text", "rect", "table", "tr", "th",
             "td", "img"},
        )
        self.assertEqual(len(page.images), 1)
        self.assertEqual(urllib.parse.unquote(page.images[0]), "progress <1> & \"2\".png")
        self.assertEqual(page.cell(1, "older tree"), "/srv/old " + self.HOSTILE)
        self.assertEqual(page.cell(1, "version"), "1.0<b>")
        self.assertIn("F " + self.HOSTILE, page.cell(1, "healing"))
        self.assertIn("x|y.bin: " + self.HOSTILE, page.cell(1, "healing"))
        self.assertIn("<img src=x onerror=alert(1)>", page.cell(0, "comparison"))
        self.assertIn("/srv/new " + self.HOSTILE, page.text)
        self.assertIn("signed by " + self.HOSTILE, page.text)
        self.assertIn("1.0<b>", [label for label, _, _ in page.bars])

        # Markdown: every row keeps its columns and shows the strings.
        self.assertSameCells(md, page)
        # Markup starts nowhere outside code spans (the image's "(<" aside).
        outside_code = re.sub(r"(?<!\\)(`+).*?\1", "", md.text)
        self.assertIsNone(re.search(r"(?<![\\(])<", outside_code))
        self.assertEqual(md.cell(1, "older tree"), "/srv/old " + self.HOSTILE)
        self.assertIn("line two | " + self.HOSTILE, md.cell(1, "outcome message"))
        self.assertIn("x|y.bin: " + self.HOSTILE, md.cell(1, "healing"))
        target = re.search(r"!\[progress window\]\(<([^>]*)>\)", md.text).group(1)
        self.assertEqual(urllib.parse.unquote(target), "progress <1> & \"2\".png")


class OptionalParts(ReportCase):
    def test_absent_measurements_screenshot_and_healing(self):
        model = sample("pass")
        model["progress_screenshot"] = None
        for tree in model["trees"]:
            tree["xdelta3_bytes"] = None
        model["trees"][1]["applied"] = None
        model["trees"][1]["run_ms"] = None
        model["trees"][1]["title"] = ""
        model["trees"][1]["message"] = ""
        md, page = self.reports(model)
        self.assertSameCells(md, page)
        for report in (md, page):
            self.assertEqual(report.cell(0, "xdelta3 -9 per file"), "not measured")
            self.assertEqual(report.cell(1, "records applied / passed over"), "? / 6")
            self.assertEqual(report.cell(1, "run under Wine"), "no outcome")
            self.assertEqual(report.cell(1, "outcome message"), "none")
            self.assertIn("No screenshot of the progress window", report.text)
        self.assertNotIn("xdelta3", " ".join(t for _, t, _ in page.bars))
        self.assertNotIn("xdelta3", page.paragraphs["legend"])
        self.assertEqual(page.images, [])
        self.assertNotIn("![", md.text)

        # Measured for one tree only: that tree alone gets the bar.
        model["trees"][1]["xdelta3_bytes"] = 4096
        _, page = self.reports(model)
        self.assertIn("xdelta3", page.paragraphs["legend"])
        xdelta = [(label, t) for label, t, _ in page.bars if t.startswith("xdelta3")]
        self.assertEqual(xdelta, [("1.1.0.1", "xdelta3 -9 per file: 4,096 bytes")])


class TestBuild(ReportCase):
    def test_x86_64_updater_is_marked_as_not_shipping(self):
        model = sample("pass")
        model["updater"]["arch"] = "x86_64"
        md, page = self.reports(model)
        pages = ((md_plain(md.text), "| older tree"), (page.text, "Proof on each older tree"))
        for text, table in pages:
            line = next(line for line in text.splitlines() if "test build" in line)
            self.assertIn("x86_64", line)
            self.assertIn("does not run on 32-bit Windows", line)
            self.assertIn("i686 build is what ships", line)
            self.assertLess(text.index(line), text.index(table))
        self.assertIn("x86_64", page.paragraphs["notice"])


class MalformedModels(ReportCase):
    def assertRefused(self, model, names, source_exists=True):
        out = self.dir / "out"
        out.mkdir(exist_ok=True)
        (out / "report.md").write_text("previous report\n")
        if source_exists:
            result = self.run_report(model)
        else:
            result = subprocess.run(
                [sys.executable, str(REPORT), str(self.dir / "absent.json"), str(out)],
                capture_output=True,
                text=True,
            )
        self.assertNotEqual(result.returncode, 0)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(names, lines[0])
        self.assertNotIn("Traceback", result.stderr)
        # Nothing written, nothing left over.
        self.assertEqual(sorted(p.name for p in out.iterdir()), ["report.md"])
        self.assertEqual((out / "report.md").read_text(), "previous report\n")
        return lines[0]

    def test_refused_models(self):
        self.assertIn("absent.json", self.assertRefused(None, "No such file", source_exists=False))
        self.assertRefused('{"version": "1.1.0.3",', "not JSON")
        self.assertRefused("[]", "not an object")

        model = sample("pass")
        del model["trees"][1]["healing"]["ok"]
        self.assertRefused(model, "trees[1].healing.ok")
        model = sample("pass")
        del model["archive"]
        self.assertRefused(model, "archive")
        model = sample("pass")
        model["new_tree"]["bytes"] = "123456"
        self.assertRefused(model, "new_tree.bytes")
        model = sample("pass")
        model["trees"][0]["ok"] = 1
        self.assertRefused(model, "trees[0].ok")
        model = sample("pass")
        model["trees"][0]["faults"] = "data/x.bin"
        self.assertRefused(model, "trees[0].faults")
        model = sample("pass")
        model["trees"][0]["xdelta3_bytes"] = -1
        self.assertRefused(model, "trees[0].xdelta3_bytes")
        model = sample("pass")
        model["trees"] = []
        self.assertRefused(model, "trees")

    def test_output_folder_that_cannot_be_written(self):
        blocker = self.dir / "out"
        blocker.write_text("a file where the folder should be")
        result = self.run_report(sample("pass"))
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertIn("cannot write the report", result.stderr)

    def test_previous_report_replaced_whole(self):
        out = self.dir / "out"
        out.mkdir()
        (out / "report.md").write_text("previous report\n")
        self.reports(sample("pass"))
        self.assertEqual(sorted(p.name for p in out.iterdir()), ["report.html", "report.md"])
        self.assertIn("Varnelo release", (out / "report.md").read_text(encoding="utf-8"))


if __name__ == "__main__":
    unittest.main()
