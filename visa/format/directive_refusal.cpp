#include "directive_refusal.h"

#include <cstring>
#include <string>

#include "trace/trace_reason.h"

namespace sgvisa::format {

ViStatus refuse_directive(ViStatus status, const char* which, const char* format, const char* start,
                          const char* end, const char* why) {
    trace::note_reason([&] {
        // The directive as written, cut short: a format may be long, and a
        // directive that never finds its conversion runs to the format's end.
        constexpr std::size_t kMaxShown = 40;
        // A directive refused at a modifier is shown up to its conversion.
        constexpr const char* kConversions = "diouxXfFeEgGcsTtbBynpaA[";
        const char* stop = end;
        if (stop == start || std::strchr(kConversions, stop[-1]) == nullptr) {
            while (*stop != '\0' && std::strchr(kConversions, *stop) == nullptr)
                ++stop;
            if (*stop != '\0')
                ++stop;
        }
        std::string text(start, static_cast<std::size_t>(stop - start));
        if (text.size() > kMaxShown)
            text = text.substr(0, kMaxShown) + "...";
        return std::string("the ") + which + " format's directive \"" + text + "\" at offset " +
               std::to_string(start - format) +
               (status == VI_ERROR_NSUP_FMT ? " is not supported: " : " is not valid: ") + why;
    });
    return status;
}

}  // namespace sgvisa::format
