"""The backend "@sgvisa" (python/pyvisa_sgvisa): ResourceManager("@sgvisa"),
in a fresh interpreter with PYVISA_LIBRARY unset, loads the library that
tests/pyvisa/run says the loader finds (SG_PYVISA_LOADED), and a query goes
through it; where the loader finds no libsgvisa.so.1, the error names it."""
import os
import subprocess
import sys

import pytest

if os.environ["SG_PYVISA_MODE"] == "path":
    pytest.skip("the library is opened by path: the backend runs with --by-name and --installed",
                allow_module_level=True)

_PROGRAM = """
import os, pyvisa
rm = pyvisa.ResourceManager("@sgvisa")
inst = rm.open_resource(os.environ["SG_PYVISA_RESOURCE"])
print(type(rm.visalib).__module__)
print(inst.query("*IDN?").strip())
with open("/proc/self/maps") as maps:
    print(sorted({line.split()[-1] for line in maps if "libsgvisa" in line}))
"""


def _python(env):
    return subprocess.run([sys.executable, "-c", _PROGRAM], env=env, capture_output=True,
                          text=True, timeout=60)


def test_by_name_loads_the_library_the_loader_finds():
    env = {k: v for k, v in os.environ.items() if k != "PYVISA_LIBRARY"}
    run = _python(env)
    assert run.returncode == 0, run.stderr
    module, idn, loaded = run.stdout.splitlines()
    assert module == "pyvisa_sgvisa"
    assert idn.split(",")[2] == os.environ["SG_PYVISA_RESOURCE"].split("::")[3]
    assert [os.path.realpath(p) for p in eval(loaded)] == [os.path.realpath(os.environ["SG_PYVISA_LOADED"])]


def test_without_the_library_the_error_names_it(tmp_path):
    if os.environ["SG_PYVISA_MODE"] == "installed":
        pytest.skip("the installed library is always found")
    env = {k: v for k, v in os.environ.items() if k not in ("PYVISA_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = os.path.join(os.path.dirname(__file__), "..", "..", "python")
    run = _python(env)
    if "libsgvisa.so.1" in subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True,
                                          text=True).stdout:
        pytest.skip("libsgvisa.so.1 is installed on this machine")
    assert run.returncode != 0
    assert "libsgvisa.so.1" in run.stderr.splitlines()[-1]
