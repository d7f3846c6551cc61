"""BLAKE3's C sources, for the builds that compile them in (the release
wheels); part of the set-up (scripts/setup.sh release), run by the project's
.venv.

usage: blake3_source.py FOLDER

They come from a registry package pinned by version and SHA-256: the sdist of
the `blake3` package on PyPI, which carries BLAKE3's C sources (its c/
folder) under c_impl/vendor. FOLDER receives those files and nothing else,
once; a FOLDER that holds them already is left as it is. When PyPI no longer
serves the pinned file, or serves other bytes under its name, the set-up
stops and says so.
"""

import hashlib
import io
import json
import os
import shutil
import sys
import tarfile
import urllib.request

SDIST = "blake3-1.0.11.tar.gz"
SHA256 = "d73c0a87304d41045f6753a922113bede3ab09eda2d20371566a5bbe357c3deb"
INDEX = "https://pypi.org/simple/blake3/"
VENDOR = "blake3-1.0.11/c_impl/vendor/"


def fail(message):
    sys.exit(f"setup: {message}")


def fetch():
    request = urllib.request.Request(INDEX, headers={"Accept": "application/vnd.pypi.simple.v1+json"})
    try:
        with urllib.request.urlopen(request, timeout=120) as response:
            files = json.load(response)["files"]
        url = next((entry["url"] for entry in files if entry["filename"] == SDIST), None)
        if url is None:
            fail(f"PyPI no longer serves {SDIST} ({INDEX}): pin a sdist it serves in {__file__}")
        with urllib.request.urlopen(url, timeout=300) as response:
            data = response.read()
    except OSError as error:
        fail(f"cannot fetch {SDIST} from PyPI: {error}")
    digest = hashlib.sha256(data).hexdigest()
    if digest != SHA256:
        fail(f"{SDIST} from PyPI has SHA-256 {digest}, not the pinned {SHA256}")
    return data


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    stamp = os.path.join(folder, ".source")
    if os.path.exists(stamp) and open(stamp).read().split() == [SDIST, SHA256]:
        return
    print(f"setup: fetching BLAKE3's C sources ({SDIST}, pinned) from PyPI into {folder}", file=sys.stderr)
    staging = folder + ".new"
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(staging)
    with tarfile.open(fileobj=io.BytesIO(fetch()), mode="r:gz") as sdist:
        for member in sdist.getmembers():
            name = member.name[len(VENDOR):]
            if member.isfile() and member.name.startswith(VENDOR) and "/" not in name:
                with open(os.path.join(staging, name), "wb") as out:
                    out.write(sdist.extractfile(member).read())
    if not os.path.exists(os.path.join(staging, "blake3.c")):
        fail(f"{SDIST} holds no {VENDOR}blake3.c")
    with open(os.path.join(staging, ".source"), "w") as out:
        out.write(f"{SDIST} {SHA256}\n")
    shutil.rmtree(folder, ignore_errors=True)
    os.replace(staging, folder)


if __name__ == "__main__":
    main()
