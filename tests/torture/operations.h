// The operations the threads of a worker choose from at random. Each is a
// short sequence of calls on the worker's sessions, checking as it goes
// what VISA promises for that sequence.
#pragma once

namespace torture {

class Actor;

// Picks one operation by weight and runs it.
void run_one_operation(Actor& a);

// Sessions (ops_sessions.cpp)
void op_open(Actor& a);   // no lock, load-config, or exclusive with a few queries
void op_close(Actor& a);  // any session, whoever uses it
void op_cycle_resource_manager(Actor& a);

// Messages (ops_messages.cpp)
void op_query(Actor& a);            // viQueryf with a token
void op_split_query(Actor& a);      // viWrite, then viRead, termination character on or off
void op_request_service(Actor& a);  // a message that makes the instrument request service

// Locks (ops_locks.cpp)
void op_exclusive_sequence(Actor& a);  // viLock, token queries that must all be answered, viUnlock
void op_shared_sequence(Actor& a);     // viLock shared with a known or new key, a query, viUnlock

// Status byte and events (ops_events.cpp)
void op_read_stb(Actor& a);         // one or a burst of viReadSTB
void op_toggle_events(Actor& a);    // enable, disable, discard, wait, handlers
void op_service_request(Actor& a);  // under the lock: a request for service must arrive

// Asynchronous I/O (ops_async.cpp)
void op_async(Actor& a);  // viWriteAsync/viReadAsync, viTerminate, close with jobs

// Children (ops_fork.cpp)
void op_fork(Actor& a);  // a child closes what it inherited

// The rest (ops_misc.cpp)
void op_attributes(Actor& a);  // set and read back; no update lost
void op_clear(Actor& a);
void op_misc(Actor& a);  // viFlush, viAssertTrigger, viGpibControlREN

}  // namespace torture
