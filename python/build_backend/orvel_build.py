"""The binding's build backend (PEP 517, with editable installs of PEP 660).

The binding is one pure-Python module, so a wheel is that module plus its
metadata, written here with the standard library alone: pip then needs no
setuptools from a package index, which a machine without one cannot reach.

The version is the project's one number, project(VERSION) in the
CMakeLists.txt beside python/; an sdist carries it in its PKG-INFO.
"""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = "talmerin_orvel"
SDIST_FILES = ("pyproject.toml", MODULE + ".py", "build_backend/orvel_build.py")


class BuildError(Exception):
    pass


def _project():
    path = os.path.join(HERE, "pyproject.toml")
    if tomllib is not None:
        with open(path, "rb") as f:
            return tomllib.load(f)["project"]
    # Only the fields written below, in the form pyproject.toml writes them.
    with open(path, encoding="utf-8") as f:
        text = f.read()
    project = {}
    for key in ("name", "description", "requires-python"):
        match = re.search(r'^%s = "([^"]*)"' % re.escape(key), text, re.M)
        if match:
            project[key] = match.group(1)
    return project


def version():
    """project(NAME VERSION X.Y.Z ...) of the CMake project, else PKG-INFO."""
    cmake = os.path.join(os.path.dirname(HERE), "CMakeLists.txt")
    if os.path.isfile(cmake):
        with open(cmake, encoding="utf-8") as f:
            match = re.search(r"^\s*project\s*\([^)]*\bVERSION\s+([0-9]+(?:\.[0-9]+)*)", f.read(), re.M | re.I)
        if not match:
            raise BuildError("no project(... VERSION X.Y.Z) in %s" % cmake)
        return match.group(1)
    pkg_info = os.path.join(HERE, "PKG-INFO")
    if os.path.isfile(pkg_info):
        with open(pkg_info, encoding="utf-8") as f:
            match = re.search(r"^Version: (\S+)$", f.read(), re.M)
        if match:
            return match.group(1)
    raise BuildError("cannot find the version: neither %s nor %s exists" % (cmake, pkg_info))


def _metadata():
    project = _project()
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + version()]
    if project.get("description"):
        lines.append("Summary: " + project["description"])
    if project.get("requires-python"):
        lines.append("Requires-Python: " + project["requires-python"])
    if isinstance(project.get("license"), dict) and project["license"].get("text"):
        lines.append("License: " + project["license"]["text"])
    for classifier in project.get("classifiers", []):
        lines.append("Classifier: " + classifier)
    for extra, requirements in sorted(project.get("optional-dependencies", {}).items()):
        lines.append("Provides-Extra: " + extra)
        for requirement in requirements:
            lines.append('Requires-Dist: %s; extra == "%s"' % (requirement, extra))
    return "\n".join(lines) + "\n"


def _dist_name():
    return re.sub(r"[-_.]+", "_", _project()["name"]).lower()


def _dist_info():
    return "%s-%s.dist-info" % (_dist_name(), version())


def _wheel(wheel_directory, files):
    """Writes a py3-none-any wheel of files ({archive name: bytes}) with its
    dist-info, and returns its file name."""
    dist_info = _dist_info()
    files = dict(files)
    files[dist_info + "/METADATA"] = _metadata().encode()
    files[dist_info + "/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: orvel_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n").encode()
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (name, digest, len(data)))
    record.append(dist_info + "/RECORD,,")
    files[dist_info + "/RECORD"] = ("\n".join(record) + "\n").encode()

    name = "%s-%s-py3-none-any.whl" % (_dist_name(), version())
    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for archive_name, data in files.items():
            info = zipfile.ZipInfo(archive_name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name


def _module_source():
    with open(os.path.join(HERE, MODULE + ".py"), "rb") as f:
        return f.read()


# --- PEP 517 -------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    path = os.path.join(metadata_directory, _dist_info())
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "METADATA"), "w", encoding="utf-8") as f:
        f.write(_metadata())
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _wheel(wheel_directory, {MODULE + ".py": _module_source()})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path entry to this folder: edits to the module take effect at once.
    return _wheel(wheel_directory, {"_%s_editable.pth" % MODULE: (HERE + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (_dist_name(), version())
    name = base + ".tar.gz"
    os.makedirs(sdist_directory, exist_ok=True)
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        def add(archive_name, data):
            info = tarfile.TarInfo(base + "/" + archive_name)
            info.size, info.mode, info.mtime = len(data), 0o644, 0
            sdist.addfile(info, io.BytesIO(data))
        for relative in SDIST_FILES:
            with open(os.path.join(HERE, relative), "rb") as f:
                add(relative, f.read())
        add("PKG-INFO", _metadata().encode())
    return name
