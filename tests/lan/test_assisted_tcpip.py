"""The assisted suite's TCPIP INSTR (VXI-11) and SOCKET classes, as the suite
ships them, against `sgsim --lan` (see conftest.py)."""
import importlib

from conftest import ASSISTED

_tcpip = importlib.import_module(ASSISTED + ".test_tcpip_resources")

TestTCPIPInstr = _tcpip.TestTCPIPInstr
TestTCPIPSocket = _tcpip.TestTCPIPSocket
