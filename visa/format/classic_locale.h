// IEEE 488.2 numbers always use '.' as the decimal point: formatted I/O must
// not follow whatever locale the calling program has set. While a
// ClassicLocale lives, the calling thread (only) formats and parses numbers
// in the "C" locale; the caller's own locale is back afterwards.
#pragma once

#include <locale.h>

namespace sgvisa::format {

class ClassicLocale {
  public:
    ClassicLocale();
    ~ClassicLocale();
    ClassicLocale(const ClassicLocale&) = delete;
    ClassicLocale& operator=(const ClassicLocale&) = delete;

  private:
    locale_t previous_ = nullptr;
};

}  // namespace sgvisa::format
