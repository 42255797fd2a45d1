"""The package's own build backend (PEP 517), in the standard library only.

The package is pure Python, so its wheel is a zip of the sources and the
metadata. Building needs nothing else installed and nothing downloaded:
`pip install ./python` works offline, with or without build isolation.
"""

import base64
import hashlib
import io
import os
import tarfile
import zipfile
from typing import Any, Dict, List, Optional

NAME = "rticlient"
VERSION = "1.0.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
TAG = "py3-none-any"


def _metadata() -> str:
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {VERSION}\n"
        "Summary: Client of the registry and executive of federation executions\n"
        "Requires-Python: >=3.9\n"
        "Classifier: Programming Language :: Python :: 3\n"
        "Classifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def _wheel_file() -> str:
    return f"Wheel-Version: 1.0\nGenerator: {NAME}_build\nRoot-Is-Purelib: true\nTag: {TAG}\n"


def _sources() -> List[str]:
    """The package's files, relative to ROOT, in a fixed order."""
    out = []
    for name in sorted(os.listdir(os.path.join(ROOT, NAME))):
        if name.endswith(".py") or name == "py.typed":
            out.append(f"{NAME}/{name}")
    return out


def _digest(data: bytes) -> str:
    raw = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + raw.decode("ascii")


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(
    metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None
) -> str:
    target = os.path.join(metadata_directory, DIST_INFO)
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    with open(os.path.join(target, "WHEEL"), "w", encoding="utf-8") as f:
        f.write(_wheel_file())
    return DIST_INFO


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    filename = f"{NAME}-{VERSION}-{TAG}.whl"
    files = []
    for rel in _sources():
        with open(os.path.join(ROOT, rel), "rb") as f:
            files.append((rel, f.read()))
    files.append((f"{DIST_INFO}/METADATA", _metadata().encode("utf-8")))
    files.append((f"{DIST_INFO}/WHEEL", _wheel_file().encode("utf-8")))
    files.append((f"{DIST_INFO}/top_level.txt", f"{NAME}\n".encode("utf-8")))
    record = "".join(f"{rel},{_digest(data)},{len(data)}\n" for rel, data in files)
    record += f"{DIST_INFO}/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as z:
        for rel, data in files:
            z.writestr(zipfile.ZipInfo(rel, date_time=(1980, 1, 1, 0, 0, 0)), data)
        z.writestr(zipfile.ZipInfo(f"{DIST_INFO}/RECORD", date_time=(1980, 1, 1, 0, 0, 0)), record)
    return filename


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    base = f"{NAME}-{VERSION}"
    filename = f"{base}.tar.gz"
    names = _sources() + ["README.md", "pyproject.toml", "build_backend/rticlient_build.py"]
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as tar:
        for rel in names:
            tar.add(os.path.join(ROOT, rel), arcname=f"{base}/{rel}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode("utf-8")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return filename
