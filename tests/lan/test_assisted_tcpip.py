"""The assisted suite's TCPIP INSTR (VXI-11) and SOCKET classes, as the suite
ships them, against `sgsim --lan` (see conftest.py); and, where run-peers
gives a HiSLIP address (SG_LAN_HISLIP: our library only, pyvisa-py 0.5.1 has
no HiSLIP), the INSTR class again over HiSLIP, every case unchanged."""
import importlib

from conftest import ASSISTED, HISLIP

_tcpip = importlib.import_module(ASSISTED + ".test_tcpip_resources")

TestTCPIPInstr = _tcpip.TestTCPIPInstr
TestTCPIPSocket = _tcpip.TestTCPIPSocket

if HISLIP:

    class TestHislipInstr(_tcpip.TestTCPIPInstr):
        """TestTCPIPInstr at the HiSLIP address: the class's cases read the
        address of their RESOURCE_TYPE from the suite's table."""

        RESOURCE_TYPE = "TCPIP::HISLIP"
