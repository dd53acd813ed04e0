// The reply invariant: no reply is ever delivered to the wrong query.
// A query made by one operation (viQueryf) must get its own token back; so
// must a viWrite and viRead pair under the exclusive lock. A pair without
// the lock may be overtaken by another session's message (the instrument
// drops an unread reply when a new message begins), so its read may bring
// another pair's reply, or that of a query whose owner gave up or was
// killed; it tells the owner of an atomic query whose reply it got, and
// the owner then reports (see PendingQuery).
#pragma once

#include <cstdint>
#include <string>

#include "actor.h"

namespace torture {

// viQueryf with a fresh token (the generator) or a register value (the I/O
// test instrument); checks the reply. Returns the call's status.
ViStatus token_query(Actor& a, const Target& t);

// viWrite of a token query and viRead of its reply. `locked`: the session
// holds the exclusive lock, so the reply must be its own and both calls
// must succeed. Returns the status of the first call that failed.
ViStatus split_token_query(Actor& a, const Target& t, bool locked);

// Checks the reply of a split read against the rules above.
// `may_be_another`: why the reply may be another's (a SOCKET resource's
// connection), or null.
void check_split_reply(Actor& a, const Target& t, const std::string& reply, std::uint64_t own,
                       bool locked, const char* may_be_another = nullptr);

}  // namespace torture
