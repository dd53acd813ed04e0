"""Builds the wheel of pyvisa_sgvisa with the standard library alone (the
PEP 517 hooks pip calls), so that ``pip install ./python`` works on a machine
without network access: pip has nothing to fetch for the build.

The version is the project's, read from the CMakeLists.txt above this
folder, and the metadata is METADATA.in, as the Debian package has them.
"""
import base64
import hashlib
import pathlib
import re
import zipfile

_SOURCE = pathlib.Path(__file__).resolve().parent.parent
_PACKAGE = "pyvisa_sgvisa"
_DIST = "pyvisa_sgvisa"
# Every entry gets the same time, so the same sources give the same wheel.
_EPOCH = (1980, 1, 1, 0, 0, 0)


def _version():
    cmake = _SOURCE.parent / "CMakeLists.txt"
    try:
        found = re.search(r"project\(\s*\w+\s+VERSION\s+([0-9.]+)", cmake.read_text())
    except OSError as e:
        raise RuntimeError(f"pyvisa_sgvisa is built from the project's tree: cannot read {cmake}: {e}")
    if not found:
        raise RuntimeError(f"no project VERSION in {cmake}")
    return found.group(1)


def _metadata(version):
    # The same metadata as the Debian package's (CMake fills in the version).
    return (_SOURCE / "METADATA.in").read_text().replace("@PROJECT_VERSION@", version)


class _Wheel:
    """A wheel being written: each file with its hash for RECORD."""

    def __init__(self, path):
        self._zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self._record = []

    def add(self, name, data):
        info = zipfile.ZipInfo(name, _EPOCH)
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self._record.append(f"{name},sha256={digest},{len(data)}")

    def close(self, dist_info):
        record = "\n".join(self._record + [f"{dist_info}/RECORD,,"]) + "\n"
        info = zipfile.ZipInfo(f"{dist_info}/RECORD", _EPOCH)
        info.external_attr = 0o644 << 16
        self._zip.writestr(info, record)
        self._zip.close()


def _build(wheel_directory, contents):
    version = _version()
    dist_info = f"{_DIST}-{version}.dist-info"
    name = f"{_DIST}-{version}-py3-none-any.whl"
    wheel = _Wheel(pathlib.Path(wheel_directory) / name)
    for path, data in contents():
        wheel.add(path, data)
    wheel.add(f"{dist_info}/METADATA", _metadata(version).encode())
    wheel.add(
        f"{dist_info}/WHEEL",
        b"Wheel-Version: 1.0\nGenerator: sgvisa_wheel\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    )
    wheel.close(dist_info)
    return name


def _package_files():
    for path in sorted((_SOURCE / _PACKAGE).glob("*.py")):
        yield f"{_PACKAGE}/{path.name}", path.read_bytes()


def _editable_link():
    # The installed .pth puts this folder on sys.path: the sources stay live.
    yield f"{_PACKAGE}.pth", f"{_SOURCE}\n".encode()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, _package_files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _build(wheel_directory, _editable_link)
