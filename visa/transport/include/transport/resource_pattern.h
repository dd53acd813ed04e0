// VISA's regular expressions for resource names (viFindRsrc):
//   ?        any one character          *    the preceding item 0 or more times
//   [list]   one character of the list  +    the preceding item 1 or more times
//   [^list]  one character not in it    |    either side
//   \c       the character c            ( )  grouping
// Other characters match themselves, without regard to case; the expression
// must match the whole name. An attribute expression in braces after it
// ("?*::INSTR{VI_ATTR_...}") is not supported.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "visa.h"

namespace sgvisa {

class ResourcePattern {
  public:
    // VI_SUCCESS; VI_ERROR_INV_EXPR for a malformed expression;
    // VI_ERROR_NSUP_OPER for an attribute expression.
    static ViStatus compile(std::string_view expression, std::unique_ptr<ResourcePattern>& out);
    ~ResourcePattern();

    bool matches(std::string_view name) const;

    // Whether some name that begins with `prefix` (without regard to case)
    // matches: a search decides from it, before it asks anything, which
    // kinds of instrument it must look for ("USB?*INSTR" cannot match a
    // TCPIP name, "?*" and "TCPIP?*" can).
    bool may_match_prefix(std::string_view prefix) const;

  private:
    struct Impl;
    explicit ResourcePattern(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sgvisa
