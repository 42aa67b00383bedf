"""Downloads source distributions from PyPI without building anything.

    python3 scripts/fetch_sdist.py DEST numpy==2.4.6 pandas==3.1.2

pip would prepare each sdist's metadata on download, which for a package
built with meson means configuring it for the host; this reads PyPI's simple
index (JSON), fetches the .tar.gz and checks its sha256.
"""

import hashlib
import json
import sys
import urllib.request


def fetch(name: str, version: str, dest: str) -> str:
    request = urllib.request.Request(
        f"https://pypi.org/simple/{name}/",
        headers={"Accept": "application/vnd.pypi.simple.v1+json"},
    )
    with urllib.request.urlopen(request, timeout=120) as response:
        files = json.load(response)["files"]
    wanted = f"{name.lower()}-{version}.tar.gz"
    for entry in files:
        if entry["filename"].lower() == wanted:
            with urllib.request.urlopen(entry["url"], timeout=600) as response:
                data = response.read()
            if hashlib.sha256(data).hexdigest() != entry["hashes"]["sha256"]:
                sys.exit(f"fetch_sdist: {entry['filename']}: sha256 mismatch")
            with open(f"{dest}/{entry['filename']}", "wb") as out:
                out.write(data)
            return entry["filename"]
    sys.exit(f"fetch_sdist: PyPI has no sdist {wanted}")


if __name__ == "__main__":
    dest, *pins = sys.argv[1:]
    for pin in pins:
        name, _, version = pin.partition("==")
        print(fetch(name, version, dest))
