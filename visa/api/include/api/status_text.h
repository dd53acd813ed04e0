// Every status the library returns, with its name and a description for
// viStatusDesc: one table, so that no status goes without words.
#pragma once

#include "visa.h"

namespace sgvisa::api {

struct StatusText {
    ViStatus status;
    const char* name;
    const char* description;
};

// The entry of `status`, or null for a status the library does not know.
const StatusText* find_status_text(ViStatus status);

}  // namespace sgvisa::api
