"""The PyVISA backend "@sgvisa": ``pyvisa.ResourceManager("@sgvisa")`` uses
the sgvisa library installed on this machine (libsgvisa.so.1, from the
libsgvisa1 package or ``cmake --install``), found by the dynamic loader as
any program finds it: no path and no environment variable. A path still
selects another copy: ``ResourceManager("/opt/x/libsgvisa.so.1@sgvisa")``.

The library implements the VISA C interface, so PyVISA's own ctypes
wrapper drives it; this backend only says which library to load.
"""
from pyvisa.ctwrapper.highlevel import IVIVisaLibrary
from pyvisa.util import LibraryPath

__all__ = ["SONAME", "SgVisaLibrary", "WRAPPER_CLASS"]

#: The library's soname: the name the loader resolves through its cache
#: (ldconfig) and LD_LIBRARY_PATH, never libvisa.so, which belongs to
#: whichever VISA the machine's owner chose.
SONAME = "libsgvisa.so.1"


class SgVisaLibrary(IVIVisaLibrary):
    """PyVISA's wrapper of a VISA C library, bound to libsgvisa.so.1."""

    @staticmethod
    def get_library_paths():
        return (LibraryPath(SONAME, "soname"),)

    @classmethod
    def get_debug_info(cls):
        info = super().get_debug_info()
        info["Version"] = "pyvisa_sgvisa, PyVISA's ctypes wrapper on " + SONAME
        return info


WRAPPER_CLASS = SgVisaLibrary
