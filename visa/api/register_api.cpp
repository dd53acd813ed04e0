// Register access and shared memory: viIn*, viOut*, viMoveIn*, viMoveOut*,
// viMove*, viMapAddress*, viUnmapAddress, viPeek*, viPoke*, viMemAlloc*,
// viMemFree*, in their 32-bit and 64-bit (Ex) address forms. They are for
// memory-mapped resources (VXI, PXI, GPIB-VXI); a USB instrument has no
// registers, so each is VI_ERROR_NSUP_OPER (unserved_operation.h). viPeek and
// viPoke return nothing: no address can have been mapped for them.
#include <cstdint>

#include "unserved_operation.h"
#include "visa.h"

using sgvisa::api::CallArgs;
using sgvisa::api::unserved;

namespace {

constexpr const char* kRegisters =
    "register access and shared memory are for VXI, PXI and other memory-mapped resources; "
    "this library serves USB instruments (USBTMC, USB488), which have no registers: use "
    "message-based I/O (viWrite, viRead, viPrintf, viQueryf)";

}  // namespace

// viIn<bits><Ex> and viOut<bits><Ex>: one register of `bits` bits.
#define SG_IN_OUT(bits, Address, Ex)                                                        \
    SGVISA_EXPORT ViStatus viIn##bits##Ex(ViSession vi, ViUInt16 space, Address offset,     \
                                          ViPUInt##bits) {                                  \
        return unserved("viIn" #bits #Ex, kRegisters, vi,                                   \
                        [&](CallArgs& a) { a.num("space", space).hex("offset", offset); }); \
    }                                                                                       \
    SGVISA_EXPORT ViStatus viOut##bits##Ex(ViSession vi, ViUInt16 space, Address offset,    \
                                           ViUInt##bits val) {                              \
        return unserved("viOut" #bits #Ex, kRegisters, vi, [&](CallArgs& a) {               \
            a.num("space", space).hex("offset", offset).hex("val", val);                    \
        });                                                                                 \
    }
// viMoveIn<bits><Ex> and viMoveOut<bits><Ex>: `length` registers in a row.
#define SG_MOVE_IN_OUT(bits, Address, Ex)                                                    \
    SGVISA_EXPORT ViStatus viMoveIn##bits##Ex(ViSession vi, ViUInt16 space, Address offset,  \
                                              ViBusSize length, ViAUInt##bits) {             \
        return unserved("viMoveIn" #bits #Ex, kRegisters, vi, [&](CallArgs& a) {             \
            a.num("space", space).hex("offset", offset).num("length", length);               \
        });                                                                                  \
    }                                                                                        \
    SGVISA_EXPORT ViStatus viMoveOut##bits##Ex(ViSession vi, ViUInt16 space, Address offset, \
                                               ViBusSize length, ViAUInt##bits) {            \
        return unserved("viMoveOut" #bits #Ex, kRegisters, vi, [&](CallArgs& a) {            \
            a.num("space", space).hex("offset", offset).num("length", length);               \
        });                                                                                  \
    }
// viPeek<bits> and viPoke<bits>: an address viMapAddress gave.
#define SG_PEEK_POKE(bits)                                                               \
    SGVISA_EXPORT void viPeek##bits(ViSession vi, ViAddr address, ViPUInt##bits) {       \
        unserved("viPeek" #bits, kRegisters, vi, [&](CallArgs& a) {                      \
            a.hex("address", reinterpret_cast<std::uintptr_t>(address));                 \
        });                                                                              \
    }                                                                                    \
    SGVISA_EXPORT void viPoke##bits(ViSession vi, ViAddr address, ViUInt##bits val) {    \
        unserved("viPoke" #bits, kRegisters, vi, [&](CallArgs& a) {                      \
            a.hex("address", reinterpret_cast<std::uintptr_t>(address)).hex("val", val); \
        });                                                                              \
    }
#define SG_REGISTER_FAMILY(bits)             \
    SG_IN_OUT(bits, ViBusAddress, )          \
    SG_IN_OUT(bits, ViBusAddress64, Ex)      \
    SG_MOVE_IN_OUT(bits, ViBusAddress, )     \
    SG_MOVE_IN_OUT(bits, ViBusAddress64, Ex) \
    SG_PEEK_POKE(bits)

SG_REGISTER_FAMILY(8)
SG_REGISTER_FAMILY(16)
SG_REGISTER_FAMILY(32)
SG_REGISTER_FAMILY(64)

// viMove<Ex> and viMoveAsync<Ex>: from one address space to another; the
// asynchronous forms' job id comes in as the rest of the arguments.
#define SG_MOVE(name, Address, ...)                                                        \
    SGVISA_EXPORT ViStatus name(ViSession vi, ViUInt16 srcSpace, Address srcOffset,        \
                                ViUInt16 srcWidth, ViUInt16 destSpace, Address destOffset, \
                                ViUInt16 destWidth, ViBusSize srcLength __VA_ARGS__) {     \
        return unserved(#name, kRegisters, vi, [&](CallArgs& a) {                          \
            a.num("srcSpace", srcSpace)                                                    \
                .hex("srcOffset", srcOffset)                                               \
                .num("srcWidth", srcWidth)                                                 \
                .num("destSpace", destSpace)                                               \
                .hex("destOffset", destOffset)                                             \
                .num("destWidth", destWidth)                                               \
                .num("srcLength", srcLength);                                              \
        });                                                                                \
    }
SG_MOVE(viMove, ViBusAddress)
SG_MOVE(viMoveEx, ViBusAddress64)
SG_MOVE(viMoveAsync, ViBusAddress, , ViPJobId)
SG_MOVE(viMoveAsyncEx, ViBusAddress64, , ViPJobId)

#define SG_MAP_ADDRESS(name, Address)                                                        \
    SGVISA_EXPORT ViStatus name(ViSession vi, ViUInt16 mapSpace, Address mapOffset,          \
                                ViBusSize mapSize, ViBoolean, ViAddr, ViPAddr) {             \
        return unserved(#name, kRegisters, vi, [&](CallArgs& a) {                            \
            a.num("mapSpace", mapSpace).hex("mapOffset", mapOffset).num("mapSize", mapSize); \
        });                                                                                  \
    }
SG_MAP_ADDRESS(viMapAddress, ViBusAddress)
SG_MAP_ADDRESS(viMapAddressEx, ViBusAddress64)

SGVISA_EXPORT ViStatus viUnmapAddress(ViSession vi) {
    return unserved("viUnmapAddress", kRegisters, vi, [](CallArgs&) {});
}

SGVISA_EXPORT ViStatus viMemAlloc(ViSession vi, ViBusSize size, ViPBusAddress) {
    return unserved("viMemAlloc", kRegisters, vi, [&](CallArgs& a) { a.num("size", size); });
}
SGVISA_EXPORT ViStatus viMemAllocEx(ViSession vi, ViBusSize size, ViPBusAddress64) {
    return unserved("viMemAllocEx", kRegisters, vi, [&](CallArgs& a) { a.num("size", size); });
}
SGVISA_EXPORT ViStatus viMemFree(ViSession vi, ViBusAddress offset) {
    return unserved("viMemFree", kRegisters, vi, [&](CallArgs& a) { a.hex("offset", offset); });
}
SGVISA_EXPORT ViStatus viMemFreeEx(ViSession vi, ViBusAddress64 offset) {
    return unserved("viMemFreeEx", kRegisters, vi, [&](CallArgs& a) { a.hex("offset", offset); });
}
