// Resource manager and session life cycle: viOpenDefaultRM, viOpen, viClose.
//
// Every viOpenDefaultRM call creates a new resource manager session; closing
// one closes the instrument sessions opened through it and no others.
#include <algorithm>
#include <string_view>
#include <utility>

#include "builtin_transports.h"
#include "entry_point.h"
#include "instrument_lock.h"
#include "session_table.h"
#include "transport_openers.h"
#include "usb_resource_name.h"
#include "visa.h"

using sgvisa::SessionTable;

SGVISA_EXPORT ViStatus viOpenDefaultRM(ViPSession vi) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (vi == nullptr)
            return VI_ERROR_USER_BUF;
        *vi = VI_NULL;
        return SessionTable::global().add_resource_manager(*vi);
    });
}

// VI_EXCLUSIVE_LOCK waits up to `openTimeout` for the instrument's lock
// before the transport is opened, so an open that times out on the lock has
// sent nothing to the instrument.
SGVISA_EXPORT ViStatus viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                              ViUInt32 openTimeout, ViPSession vi) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (vi == nullptr)
            return VI_ERROR_USER_BUF;
        *vi = VI_NULL;
        auto& table = SessionTable::global();
        if (!table.is_resource_manager(sesn))
            return VI_ERROR_INV_OBJECT;
        if (accessMode != VI_NULL && accessMode != VI_EXCLUSIVE_LOCK)
            return VI_ERROR_INV_ACC_MODE;
        if (rsrcName == nullptr)
            return VI_ERROR_INV_RSRC_NAME;

        sgvisa::UsbResourceName name;
        ViStatus st = sgvisa::parse_usb_resource_name(std::string_view(rsrcName), name);
        if (st != VI_SUCCESS)
            return st;

        const sgvisa::Deadline deadline = sgvisa::deadline_after_ms(openTimeout);
        sgvisa::InstrumentKey key{name.vendor_id, name.product_id, name.serial};
        std::unique_ptr<sgvisa::InstrumentLock> lock;
        if (accessMode == VI_EXCLUSIVE_LOCK) {
            st = sgvisa::InstrumentLock::acquire_exclusive(key, deadline, lock);
            if (st != VI_SUCCESS)
                return st;
        }
        // The open timeout is the time allowed for the lock; opening the transport
        // (claiming the device, its first requests) gets at least the time of an
        // ordinary I/O operation, also after a long wait or with VI_TMO_IMMEDIATE.
        const sgvisa::Deadline transport_deadline =
            std::max(deadline, sgvisa::deadline_after_ms(sgvisa::kDefaultIoTimeoutMs));
        std::unique_ptr<sgvisa::Transport> transport;
        sgvisa::register_builtin_transports();
        st = sgvisa::open_transport(name, transport_deadline, transport);
        if (st != VI_SUCCESS)
            return st;  // `lock` goes with this scope
        if (!transport)
            return VI_ERROR_SYSTEM_ERROR;

        auto session = std::make_shared<sgvisa::InstrumentSession>(std::move(transport),
                                                                   std::move(lock), std::move(key));
        ViSession handle = VI_NULL;
        st = table.add_instrument(sesn, session, handle);
        if (st != VI_SUCCESS) {
            session->close();  // the resource manager was closed meanwhile
            return st;
        }
        *vi = handle;
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viClose(ViObject vi) {
    return sgvisa::guarded([&]() -> ViStatus {
        if (vi == VI_NULL)
            return VI_WARN_NULL_OBJECT;
        std::vector<std::shared_ptr<sgvisa::InstrumentSession>> removed;
        const ViStatus st = SessionTable::global().remove(vi, removed);
        if (st != VI_SUCCESS)
            return st;
        for (auto& session : removed) {
            if (session)
                session->close();
        }
        return VI_SUCCESS;
    });
}
