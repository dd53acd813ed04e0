// Calls more than one operation makes, with their bookkeeping.
#pragma once

#include "actor.h"

namespace torture {

// viClear; once it succeeded, a worker killed or an I/O test sequence
// abandoned before it no longer excuses the instrument's state
// (InstrumentBoard::clean_at_kills, clean_at_abandoned).
ViStatus device_clear(Actor& a, const Target& t);

// viSetAttribute of a tracked attribute, read back with viGetAttribute:
// when no other thread set the same attribute meanwhile, the value read is
// the value set (no update is lost to a concurrent set of another one).
ViStatus set_attribute(Actor& a, const Target& t, TrackedAttribute which, ViAttrState value);

}  // namespace torture
