"""The build backend of varnhold: CMake and Ninja build the extension module,
and the standard library writes the wheel around it.

pyproject.toml names this module (`backend-path`) and lists no build
requirements, so `pip install .` needs no index. The build runs in a fresh
folder unless `--config-settings build-dir=DIR` names one to reuse.
"""
from __future__ import annotations

import base64
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What an sdist carries: enough to build, test and read the project.
SDIST_ENTRIES = ["CMakeLists.txt", "pyproject.toml", "README.md", "varnhold.pyi",
                 "varnhold", "binding", "pybuild", "tests", "examples", "bench"]


def _project():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _dist_name():
    project = _project()
    return project["name"].replace("-", "_"), project["version"]


def _metadata():
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}",
             f"Summary: {p['description']}", f"Requires-Python: {p['requires-python']}"]
    lines += [f"Classifier: {c}" for c in p.get("classifiers", [])]
    readme = p.get("readme")
    if readme:
        with open(os.path.join(ROOT, readme), encoding="utf-8") as f:
            body = f.read()
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + body
    return "\n".join(lines) + "\n"


def _wheel_tag():
    """cpXY-cpXY[t]-platform of the interpreter that runs the build: the
    module uses the full (not the limited) C API of this very version."""
    if sys.implementation.name != "cpython":
        raise RuntimeError("varnhold is a CPython extension module")
    interp = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    abi = interp + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    abi += "d" if sysconfig.get_config_var("Py_DEBUG") else ""
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interp}-{abi}-{platform}"


def _run(cmd):
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


def _build_into(stage, build_dir):
    """Configures, builds and installs the module and its stub into stage."""
    cmake = shutil.which("cmake")
    if not cmake or not shutil.which("ninja"):
        raise RuntimeError("building varnhold needs cmake and ninja on PATH")
    _run([cmake, "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
          f"-DPYTHON_EXECUTABLE={sys.executable}", "-DVARNHOLD_TESTS=OFF",
          f"-DVARNHOLD_INSTALL_DIR={stage}"])
    _run([cmake, "--build", build_dir, "--target", "varnhold"])
    _run([cmake, "--install", build_dir])


def _write_dist_info(directory):
    name, version = _dist_name()
    info = os.path.join(directory, f"{name}-{version}.dist-info")
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    with open(os.path.join(info, "WHEEL"), "w") as f:
        f.write(f"Wheel-Version: 1.0\nGenerator: varnhold cmake_wheel {version}\n"
                f"Root-Is-Purelib: false\nTag: {_wheel_tag()}\n")
    return os.path.basename(info)


def _timestamp():
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    return max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))


def _zip_wheel(path, root):
    """Zips root into the wheel at path, the dist-info folder last, with a
    RECORD that holds every file's hash and size."""
    files = []
    for folder, _, names in os.walk(root):
        files += [os.path.relpath(os.path.join(folder, n), root).replace(os.sep, "/")
                  for n in names]
    files.sort(key=lambda f: (".dist-info/" in f, f))
    record_name = next(f for f in files if f.endswith(".dist-info/METADATA")).rsplit(
        "/", 1)[0] + "/RECORD"
    stamp = _timestamp()
    rows = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                data = f.read()
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            rows.append((name, "sha256=" + digest.decode(), str(len(data))))
            info = zipfile.ZipInfo(name, stamp)
            mode = 0o755 if os.access(os.path.join(root, name), os.X_OK) else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(rows + [(record_name, "", "")])
        info = zipfile.ZipInfo(record_name, stamp)
        info.external_attr = (0o100000 | 0o644) << 16
        whl.writestr(info, out.getvalue(), zipfile.ZIP_DEFLATED)


# ---- PEP 517 hooks -------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _write_dist_info(metadata_directory)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name, version = _dist_name()
    with tempfile.TemporaryDirectory(prefix="varnhold-wheel-") as tmp:
        build_dir = (config_settings or {}).get("build-dir") or os.path.join(tmp, "cmake")
        stage = os.path.join(tmp, "stage")
        _build_into(stage, os.path.abspath(build_dir))
        _write_dist_info(stage)
        wheel = f"{name}-{version}-{_wheel_tag()}.whl"
        _zip_wheel(os.path.join(wheel_directory, wheel), stage)
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    name, version = _dist_name()
    base = f"{name}-{version}"

    def keep(info):
        parts = info.name.split("/")
        if "__pycache__" in parts or info.name.endswith(".pyc"):
            return None
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info

    path = os.path.join(sdist_directory, base + ".tar.gz")
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for entry in SDIST_ENTRIES:
            tar.add(os.path.join(ROOT, entry), f"{base}/{entry}", filter=keep)
        pkg_info = _metadata().encode("utf-8")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size, info.mtime = len(pkg_info), int(time.time())
        tar.addfile(info, io.BytesIO(pkg_info))
    return base + ".tar.gz"
