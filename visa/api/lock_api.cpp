// Locks: viLock, viUnlock.
#include <cstring>
#include <string>

#include "entry_point.h"
#include "session/session_table.h"
#include "visa.h"

SGVISA_EXPORT ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                              ViConstKeyId requestedKey, ViChar* accessKey) {
    const sgvisa::api::CallTrace traced("viLock", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .num("lockType", lockType)
            .num("timeout", timeout)
            .str("requestedKey", requestedKey)
            .out_str("accessKey", accessKey);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = sgvisa::session::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        if (lockType == VI_SHARED_LOCK && accessKey == nullptr)
            return VI_ERROR_USER_BUF;  // the key would be lost
        std::string key;
        const ViStatus st =
            session->lock(lockType, sgvisa::deadline_after_ms(timeout), requestedKey, key);
        if (st >= 0 && lockType == VI_SHARED_LOCK) {
            const std::size_t n = std::min<std::size_t>(key.size(), VI_FIND_BUFLEN - 1);
            std::memcpy(accessKey, key.data(), n);
            accessKey[n] = '\0';
        }
        return st;
    });
}

SGVISA_EXPORT ViStatus viUnlock(ViSession vi) {
    const sgvisa::api::CallTrace traced("viUnlock",
                                        [&](sgvisa::api::CallArgs& a) { a.obj("vi", vi); });
    return sgvisa::api::guarded([&]() -> ViStatus {
        const auto session = sgvisa::session::SessionTable::global().instrument(vi);
        if (!session)
            return VI_ERROR_INV_OBJECT;
        return session->unlock();
    });
}
