#include "proto/portmap.h"

namespace sgproto::oncrpc {

void encode(XdrWriter& w, const Mapping& m) {
    w.u32(m.prog);
    w.u32(m.vers);
    w.u32(m.prot);
    w.u32(m.port);
}

bool decode(XdrReader& r, Mapping& m) {
    return r.u32(m.prog) && r.u32(m.vers) && r.u32(m.prot) && r.u32(m.port);
}

void encode(XdrWriter& w, const PortResult& p) {
    w.u32(p.port);
}

bool decode(XdrReader& r, PortResult& p) {
    std::uint32_t v = 0;
    if (!r.u32(v) || v > 0xFFFF)
        return false;
    p.port = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace sgproto::oncrpc
