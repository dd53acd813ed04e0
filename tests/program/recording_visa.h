// A recording stand-in for the VISA library, linked into the program tests in
// place of sgvisa. It records every VISA call the program makes, and every key
// wait, on one timeline, and answers with scripted statuses and replies.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "key_wait.h"
#include "visa.h"

namespace recording {

enum class Op { OpenDefaultRM, Open, Close, Printf, Queryf, KeyWait };

struct Event {
    Op op;
    ViSession session = VI_NULL;   // the session the call was given
    std::string text;              // resource name, write format
    std::string read_format;       // viQueryf only
    ViAccessMode access_mode = 0;  // viOpen only
    ViUInt32 open_timeout = 0;     // viOpen only
    std::string screen;            // console output flushed to the screen when the call was made
};

// What a query's read leaves in the caller's buffer.
enum class Store {
    Bounded,                // the reply, cut to the read format's width, and a terminator
    Nothing,                // the buffer is left as it was (a failed read)
    FillWithoutTerminator,  // 64 bytes of 'x' and no terminator (a misbehaving library)
};

// A query's scripted answer: the status and the reply as delivered.
struct Reply {
    ViStatus status = VI_SUCCESS;
    std::string text;
    Store store = Store::Bounded;
};

struct Script {
    ViStatus rm_status = VI_SUCCESS;
    ViSession rm_handle = 0x1001;
    ViStatus open_status = VI_SUCCESS;
    ViSession instrument_handle = 0x2002;  // filled in unless the open is an error
    std::deque<Reply> replies;             // consumed one per viQueryf
};

// Console output that remembers what has been flushed, i.e. what is already
// on the screen; std::endl and std::flush flush it.
class Screen {
  public:
    Screen();
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // The stream the program prints to: what it writes reaches the screen
    // when the program flushes it (or stdio's buffer fills).
    std::FILE* file() const { return file_; }
    // What has reached the screen so far.
    const std::string& flushed() const { return shown_; }
    // Everything the program wrote (flushes the stream first).
    std::string all();

  private:
    static ssize_t show(void* screen, const char* bytes, size_t size);

    std::FILE* file_ = nullptr;
    std::string shown_;
};

// Clears the timeline, installs `script` and the screen to sample at each call.
void reset(Script script, const Screen* screen);
const std::vector<Event>& timeline();

// The key wait the tests hand to the program: records a KeyWait event.
class RecordingKeyWait final : public KeyWait {
  public:
    void wait_for_key() override;
};

// Views of the timeline.
std::vector<Op> ops();
std::vector<std::string> commands_sent();  // write formats of viPrintf and viQueryf, in order

}  // namespace recording
