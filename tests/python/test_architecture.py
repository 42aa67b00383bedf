"""docs/architecture.md names every file under src/ in its layout table, and no other."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGE = ROOT / "docs" / "architecture.md"
# A row of the layout table: its first cell a path under src/ in backticks;
# "name.*" stands for the header and the source file of that name.
ROW = re.compile(r"^\| `(src/[^`]+)` \|", re.MULTILINE)


def layout_entries():
    text = PAGE.read_text(encoding="utf-8")
    return ROW.findall(text.split("\n## Layout\n", 1)[1].split("\n## ", 1)[0])


def files_of(entry):
    if entry.endswith(".*"):
        return {path for path in ROOT.glob(entry) if path.suffix in (".hpp", ".cpp")}
    return {ROOT / entry} if (ROOT / entry).is_file() else set()


@pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="the sources are not here (an installed wheel's run)")
def test_layout_table_names_exactly_the_files_under_src():
    entries = layout_entries()
    assert len(entries) == len(set(entries)), "an entry appears twice"
    named = set()
    for entry in entries:
        found = files_of(entry)
        assert found, f"the layout table names {entry}, which does not exist"
        named |= found
    on_disk = {path for path in (ROOT / "src").rglob("*") if path.is_file()}
    missing = sorted(str(path.relative_to(ROOT)) for path in on_disk - named)
    assert not missing, f"files under src/ missing from the layout table: {missing}"
