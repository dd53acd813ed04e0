"""PyVISA's own assisted test suite, pointed at a USB INSTR resource served by
`sgsim --io-test` through our shared library.

The suite ships with Debian's python3-pyvisa, in the one folder of
pyvisa/testsuite/ whose name ends in "_assisted_tests"; its cases are enabled
by one environment switch that its package names. Both are found here by
pattern. The resource addresses it tests are replaced, in place, by the one
resource `tests/pyvisa/run` starts (SG_PYVISA_RESOURCE).
"""
import importlib
import os
import pathlib
import re

import pyvisa.testsuite


def _assisted_package():
    root = pathlib.Path(pyvisa.testsuite.__file__).parent
    found = sorted(p.name for p in root.iterdir() if p.is_dir() and p.name.endswith("_assisted_tests"))
    if len(found) != 1:
        raise RuntimeError(f"expected one *_assisted_tests package in {root}, found {found}")
    return "pyvisa.testsuite." + found[0], root / found[0] / "__init__.py"


ASSISTED, _init = _assisted_package()
# The switch: the environment variable whose absence skips the suite.
_switch = re.search(r'"(PYVISA_[A-Z_]+)"\s+not\s+in\s+os\.environ', _init.read_text())
if not _switch:
    raise RuntimeError(f"no environment switch found in {_init}")
os.environ[_switch.group(1)] = "1"

_package = importlib.import_module(ASSISTED)
_resource = os.environ["SG_PYVISA_RESOURCE"]
_package.RESOURCE_ADDRESSES.clear()
_package.RESOURCE_ADDRESSES["USB::INSTR"] = _resource
_package.ALIASES.clear()
