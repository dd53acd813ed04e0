#include "classic_locale.h"

namespace sgvisa::format {
namespace {

locale_t classic() {
    // Made once and kept: newlocale() of "C" never fails for lack of data.
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

}  // namespace

ClassicLocale::ClassicLocale() {
    if (const locale_t c = classic())
        previous_ = uselocale(c);
}

ClassicLocale::~ClassicLocale() {
    if (previous_ != nullptr)
        uselocale(previous_);
}

}  // namespace sgvisa::format
