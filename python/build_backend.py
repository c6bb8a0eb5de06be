"""A build backend for the velmora package that needs nothing but the standard library.

pip installs from source through a build backend, normally one it first downloads into
an isolated environment. This package is pure Python with no dependencies, so a wheel
is a zip of velmora/*.py and its metadata: writing it here keeps `pip install ./python`
working where no package index can be reached. The metadata is read from
pyproject.toml, the one place it is written.
"""

import base64
import hashlib
import io
import os
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "velmora"


def _project():
    """[project]'s plain values and the entry-point groups, from pyproject.toml's simple
    `key = "value"` lines (tomllib is not in every supported Python)."""
    project, groups, section = {}, {}, None
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line.strip("[]")
            elif "=" in line and not line.startswith("#"):
                key, value = (part.strip().strip('"') for part in line.split("=", 1))
                if section == "project":
                    project[key] = value
                elif section and section.startswith("project.entry-points."):
                    groups.setdefault(section.split(".", 2)[2], {})[key] = value
    return project, groups


def _metadata():
    project, entry_points = _project()
    metadata = (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
                f"Summary: {project['description']}\nRequires-Python: {project['requires-python']}\n")
    entries = "".join(f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in items.items())
                      for group, items in entry_points.items())
    return project["name"], project["version"], metadata, entries


def _dist_info(name, version):
    return f"{name}-{version}.dist-info"


def _sources():
    folder = os.path.join(HERE, PACKAGE)
    return sorted(f"{PACKAGE}/{n}" for n in os.listdir(folder) if n.endswith(".py"))


def _write_wheel(directory, files):
    """files: archive name -> bytes; RECORD is added with each one's hash."""
    name, version, _, _ = _metadata()
    info = _dist_info(name, version)
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    wheel_name = f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(path, data)
        wheel.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return wheel_name


def _info_files(name, version, tag):
    _, _, metadata, entries = _metadata()
    info = _dist_info(name, version)
    wheel = f"Wheel-Version: 1.0\nGenerator: velmora build_backend\nRoot-Is-Purelib: true\nTag: {tag}\n"
    return {f"{info}/METADATA": metadata.encode(), f"{info}/WHEEL": wheel.encode(),
            f"{info}/entry_points.txt": entries.encode()}


def get_requires_for_build_wheel(config_settings=None):
    return []


get_requires_for_build_sdist = get_requires_for_build_editable = get_requires_for_build_wheel


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    name, version, _, _ = _metadata()
    info = _dist_info(name, version)
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    for path, data in _info_files(name, version, "py3-none-any").items():
        with open(os.path.join(metadata_directory, path), "wb") as f:
            f.write(data)
    return info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name, version, _, _ = _metadata()
    files = {}
    for path in _sources():
        with open(os.path.join(HERE, path), "rb") as f:
            files[path] = f.read()
    files.update(_info_files(name, version, "py3-none-any"))
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The package is imported from this folder, through a .pth line.
    name, version, _, _ = _metadata()
    files = {f"{name}.pth": (HERE + "\n").encode()}
    files.update(_info_files(name, version, "py3-none-any"))
    return _write_wheel(wheel_directory, files)


def build_sdist(sdist_directory, config_settings=None):
    name, version, metadata, _ = _metadata()
    base = f"{name}-{version}"
    with tarfile.open(os.path.join(sdist_directory, base + ".tar.gz"), "w:gz") as sdist:
        for path in ["pyproject.toml", "build_backend.py"] + _sources():
            sdist.add(os.path.join(HERE, path), f"{base}/{path}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(metadata.encode())
        sdist.addfile(info, io.BytesIO(metadata.encode()))
    return base + ".tar.gz"
