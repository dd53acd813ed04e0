// One occurrence of an event, as an event context shows it to a program
// (viWaitOnEvent, a handler): its type and, for an I/O completion, the
// operation's outcome.
#pragma once

#include <string>

#include "visa.h"

namespace sgvisa {

struct VisaEvent {
    ViEventType type = 0;
    // VI_EVENT_IO_COMPLETION only:
    ViStatus status = VI_SUCCESS;
    ViUInt32 return_count = 0;
    ViBuf buffer = nullptr;
    ViJobId job_id = 0;
    std::string operation_name;
};

}  // namespace sgvisa
