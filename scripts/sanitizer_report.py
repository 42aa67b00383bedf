"""Judges the logs of the address run of scripts/sanitize.sh.

Usage: python scripts/sanitizer_report.py LOG_DIR [SOURCE_DIR]

Every process of the run (pytest and the subprocesses that tests start)
leaves an ``asan.<pid>`` file when AddressSanitizer had something to say;
UndefinedBehaviorSanitizer reports on the standard error stream, which the
run keeps in ``stderr``. The run fails on

- any AddressSanitizer error other than the leak report,
- any UndefinedBehaviorSanitizer "runtime error",
- any leak whose allocation stack passes through gapweave's own code.

Leaks without a gapweave frame belong to the interpreter, NumPy or pandas,
which do not free everything at exit; they are counted and otherwise left
alone. Exit status 0 when clean, 1 otherwise.
"""

import pathlib
import re
import sys

# A frame of gapweave: its extension module, its namespace, or (given on the
# command line) a file under its source directory.
OWN_MODULE = re.compile(r"/gapweave\.cpython-[^/]*\.so\b|\bgapweave::")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:")
FRAME = re.compile(r"^\s+#\d+ ")


def leak_blocks(text):
    """(kind, bytes, frames) for every block of a LeakSanitizer report."""
    blocks = []
    current = None
    for line in text.splitlines():
        head = LEAK_HEAD.match(line)
        if head:
            current = (head.group(1), int(head.group(2)), [])
            blocks.append(current)
        elif current is not None and FRAME.match(line):
            current[2].append(line.strip())
        elif current is not None and not line.strip():
            current = None
    return blocks


def main(log_dir, source_dir=None):
    log_dir = pathlib.Path(log_dir)

    def own(frame):
        return bool(OWN_MODULE.search(frame)) or (source_dir is not None and source_dir in frame)

    problems = []
    foreign_leaks = 0
    foreign_bytes = 0
    processes = 0

    stderr = log_dir / "stderr"
    if stderr.exists():
        lines = stderr.read_text(errors="replace").splitlines()
        for at, line in enumerate(lines):
            if "runtime error:" in line:
                problems.append("undefined behaviour\n" + "\n".join(lines[at:at + 24]))

    for path in sorted(log_dir.glob("asan.*")):
        processes += 1
        text = path.read_text(errors="replace")
        if "runtime error" in text:
            problems.append(f"{path.name}: undefined behaviour\n{text}")
        for match in re.finditer(r"ERROR: AddressSanitizer: .*", text):
            problems.append(f"{path.name}: {match.group(0)}\n{text}")
        for kind, size, frames in leak_blocks(text):
            if any(own(frame) for frame in frames):
                problems.append(
                    f"{path.name}: {kind.lower()} leak of {size} bytes through gapweave\n  "
                    + "\n  ".join(frames)
                )
            else:
                foreign_leaks += 1
                foreign_bytes += size

    print(
        f"sanitizer logs: {processes} process report(s); "
        f"{foreign_leaks} leak record(s), {foreign_bytes} bytes, outside gapweave (ignored)"
    )
    if problems:
        print(f"{len(problems)} sanitizer finding(s):")
        for problem in problems:
            print(problem)
            print()
        return 1
    print("sanitizers: clean")
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
