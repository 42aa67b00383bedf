"""The documentation runs: README and guide code blocks, the figures script, the example.

Every ```python block of README.md and docs/*.md is executed, page by page, in
order, in one namespace per page, from the repository's root; the blocks
assert what the text around them claims. A page that imports an optional
package (matplotlib, scikit-learn, joblib) is skipped where it is missing.
"""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)
OPTIONAL = {"sklearn": "sklearn", "joblib": "joblib", "matplotlib": "matplotlib", "pandas": "pandas"}


def python_blocks(page):
    """(first line number, code) of every ```python block of a page."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(1)), match.group(1)) for match in FENCE.finditer(text)]


PAGES_WITH_CODE = [page for page in PAGES if python_blocks(page)]


def optional_imports(code):
    return [module for name, module in OPTIONAL.items()
            if re.search(rf"^\s*(import|from)\s+{name}\b", code, re.MULTILINE)]


@pytest.mark.parametrize("page", PAGES_WITH_CODE, ids=lambda page: page.name)
def test_page_code_runs(page, monkeypatch):
    blocks = python_blocks(page)
    for module in optional_imports("\n".join(code for _, code in blocks)):
        pytest.importorskip(module)
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    # Not an importable module name: functions defined here travel to joblib's
    # worker processes by value.
    namespace = {"__name__": f"gapweave_docs_{page.stem.replace('-', '_')}"}
    for first_line, code in blocks:
        # Padded so that a traceback names the page and its own line numbers.
        exec(compile("\n" * first_line + code, str(page), "exec"), namespace)


def run_script(*args):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=600)


def test_figures_script_draws_every_figure_the_guide_shows(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("sklearn")
    run = run_script(ROOT / "docs" / "make_figures.py", "--out", tmp_path, "--small")
    assert run.returncode == 0, run.stderr
    drawn = {path.name for path in tmp_path.glob("*.png") if path.stat().st_size > 0}
    shown = {name for page in PAGES for name in re.findall(r"images/([\w-]+\.png)", page.read_text())}
    committed = {path.name for path in (ROOT / "docs" / "images").glob("*.png")}
    assert shown <= drawn, "figures shown in the docs but not drawn"
    assert drawn == committed, "figures drawn and figures committed differ"


def test_imputer_example_runs_small():
    pytest.importorskip("sklearn")
    run = run_script(ROOT / "examples" / "evaluate_imputers.py", "--small")
    assert run.returncode == 0, run.stderr
    rows = [line.split("|")[1:-1] for line in run.stdout.splitlines() if line.startswith("| diabetes")]
    assert [cells[1].strip() for cells in rows] == [
        "MCAR", "MNAR GM variance=0.1", "MNAR MAX", "MAR MAX max_missing_per_column=0.5"]
    assert all(len(cells) == 6 and cells[2].strip() == "0.2" for cells in rows)
    assert all(float(cell) > 0 for cells in rows for cell in cells[3:])
