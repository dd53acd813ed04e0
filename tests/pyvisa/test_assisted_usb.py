"""The assisted suite's resource-manager, message-based and locking cases for
a USB INSTR resource (see conftest.py)."""
import importlib

import pytest

from conftest import ASSISTED

_rm = importlib.import_module(ASSISTED + ".test_resource_manager")
_mb = importlib.import_module(ASSISTED + ".messagebased_resource_utils")
_util = importlib.import_module(ASSISTED + ".test_util")

TestResourceManager = _rm.TestResourceManager
TestSystemDetailsAnalysis = _util.TestSystemDetailsAnalysis


class TestUsbInstr(
    _mb.LockableMessagedBasedResourceTestCaseMixin,
    _mb.EventAwareMessagebasedResourceTestCaseMixin,
    _mb.MessagebasedResourceTestCase,
):
    """PyVISA against our library's USB INSTR resource."""

    RESOURCE_TYPE = "USB::INSTR"
    # VI_TMO_IMMEDIATE is kept as 1 ms: a USB transfer cannot complete in no time.
    MINIMAL_TIMEOUT = 1

_filter2 = importlib.import_module(ASSISTED + ".test_rname_filter2")
# Parsing names of other interface types, compared with PyVISA's own parser.
TestResourceParsing = _rm.TestResourceParsing
TestFilter2 = _filter2.TestFilter2
# The suite's shell cases are not run: they expect its TCPIP resources and
# the identification of the instrument it was written for, and take a minute.
