// Session attributes. Instrument sessions support VI_ATTR_TMO_VALUE (the I/O
// timeout in milliseconds, VI_TMO_INFINITE for none); other attributes are
// VI_ERROR_NSUP_ATTR. Resource manager sessions have no attributes here.
#include "entry_point.h"
#include "session_table.h"
#include "visa.h"

using sgvisa::SessionTable;

namespace {

ViStatus check_object(ViObject vi) {
    auto& table = SessionTable::global();
    if (table.instrument(vi) || table.is_resource_manager(vi))
        return VI_SUCCESS;
    return VI_ERROR_INV_OBJECT;
}

}  // namespace

SGVISA_EXPORT ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue) {
    return sgvisa::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return check_object(vi) == VI_SUCCESS ? VI_ERROR_NSUP_ATTR : VI_ERROR_INV_OBJECT;
        if (attrName != VI_ATTR_TMO_VALUE)
            return VI_ERROR_NSUP_ATTR;
        if (attrValue > 0xFFFFFFFFu)
            return VI_ERROR_NSUP_ATTR_STATE;
        session->set_timeout_ms(static_cast<ViUInt32>(attrValue));
        return VI_SUCCESS;
    });
}

SGVISA_EXPORT ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void* attrValue) {
    return sgvisa::guarded([&]() -> ViStatus {
        const auto session = SessionTable::global().instrument(vi);
        if (!session)
            return check_object(vi) == VI_SUCCESS ? VI_ERROR_NSUP_ATTR : VI_ERROR_INV_OBJECT;
        if (attrName != VI_ATTR_TMO_VALUE)
            return VI_ERROR_NSUP_ATTR;
        if (attrValue == nullptr)
            return VI_ERROR_USER_BUF;
        *static_cast<ViUInt32*>(attrValue) = session->timeout_ms();
        return VI_SUCCESS;
    });
}
