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


class TestUsbInstr(_mb.LockableMessagedBasedResourceTestCaseMixin, _mb.MessagebasedResourceTestCase):
    """PyVISA against our library's USB INSTR resource."""

    RESOURCE_TYPE = "USB::INSTR"
    # VI_TMO_IMMEDIATE is kept as 1 ms: a USB transfer cannot complete in no time.
    MINIMAL_TIMEOUT = 1
