// The simulator's record of what each message did (--record FILE): an
// instrument that passes everything to the real one and writes, for every
// complete message it executes and every device trigger, one line of three
// fields separated by tabs:
//
//   the message as the log writes it (message_log.h; a trigger as *TRG),
//   what it set ("RF frequency 1 GHz, RF output ON"; "-" for nothing),
//   the settings after it, describe_settings()'s lines joined by "; ".
//
// So the state at any moment of a program's dialogue can be read back after
// the run, not only the state at exit. Each line is written and flushed as
// its message is executed.
#pragma once

#include <string>
#include <string_view>

#include "device/message_log.h"
#include "scpi/instrument.h"

namespace sgsim {

class RecordingInstrument final : public Instrument {
  public:
    // Records into `record` (opened by the caller) what `inner` does; both
    // outlive this object.
    RecordingInstrument(Instrument& inner, MessageLog& record) : inner_(inner), record_(record) {}

    std::string execute(std::string_view message) override;
    ResponseDelivery response_delivery() const override { return inner_.response_delivery(); }
    void clear() override { inner_.clear(); }
    void trigger() override;
    void query_interrupted() override { inner_.query_interrupted(); }
    StatusRegisters& status() override { return inner_.status(); }
    std::string describe_settings() const override { return inner_.describe_settings(); }
    std::vector<std::string> settings_set() const override { return inner_.settings_set(); }

  private:
    Instrument& inner_;
    MessageLog& record_;
};

// The record line of `message` after which `set` was set and the settings
// read `settings` (lines each ending in '\n').
std::string record_line(std::string_view message, const std::vector<std::string>& set,
                        std::string_view settings);

}  // namespace sgsim
