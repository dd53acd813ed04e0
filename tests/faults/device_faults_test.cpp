// Fault rows the simulated generator cannot show, driven through the USBTMC
// host with the in-process fake device: what the library returns for the
// identification query, and the whole program's transcript, exit status and
// commands sent when the generator misbehaves that way on every reply.
#include <gtest/gtest.h>

#include <string>

#include "program_on_fake_device.h"

namespace sgfault {
namespace {

using namespace std::chrono_literals;
using sgtest::FakeUsbtmcDevice;

const std::string kIdn = "Simulated Signal Sources,SG-4040,FAULT01,1.0\n";
const std::string kNoError = "0,\"No error\"\n";
const std::vector<std::string> kCommands = {
    "*RST\n",
    "*IDN?\n",
    "FREQ 1 GHz\n",
    "POW 1\n",
    "OUTPut:STATe ON\n",
    "SYSTem:ERRor?\n",
    "LFO:FUNC:SHAP SIN\n",
    "LFO:FUNC:FREQ 9 kHz\n",
    "LFO:AMP 3\n",
    "*RST\n",
};

// A generator that answers its two queries, with `idn` for the first.
std::shared_ptr<FakeUsbtmcDevice> generator(const std::string& idn = kIdn) {
    auto d = std::make_shared<FakeUsbtmcDevice>();
    d->respond = [idn](const std::string& m) -> std::optional<std::string> {
        if (m == "*IDN?\n")
            return idn;
        if (m == "SYSTem:ERRor?\n")
            return kNoError;
        return std::nullopt;
    };
    return d;
}

// A bulk-IN endpoint that stalls on its first transfer; the link clears the
// halt, as the libusb link does, and reports VI_ERROR_IO.
class StallOnceLink final : public sgvisa::usbtmc::UsbLink {
  public:
    explicit StallOnceLink(std::unique_ptr<sgvisa::usbtmc::UsbLink> inner)
        : inner_(std::move(inner)) {}
    ViStatus bulk_out(std::span<const std::uint8_t> d, sgvisa::Deadline t) override {
        return inner_->bulk_out(d, t);
    }
    ViStatus bulk_in(std::span<std::uint8_t> b, std::size_t& got, sgvisa::Deadline t) override {
        if (!stalled_) {
            stalled_ = true;
            got = 0;
            // The reply the device had queued is lost with the stall.
            std::size_t dropped = 0;
            std::vector<std::uint8_t> scratch(b.size());
            inner_->bulk_in(scratch, dropped, t);
            return VI_ERROR_IO;
        }
        return inner_->bulk_in(b, got, t);
    }
    ViStatus control_in(std::uint8_t rt, std::uint8_t r, std::uint16_t v, std::uint16_t i,
                        std::span<std::uint8_t> b, std::size_t& got, sgvisa::Deadline t) override {
        return inner_->control_in(rt, r, v, i, b, got, t);
    }
    ViStatus clear_halt(std::uint8_t ep, sgvisa::Deadline t) override {
        return inner_->clear_halt(ep, t);
    }
    const sgvisa::UsbDeviceFacts& facts() const override { return inner_->facts(); }

  private:
    std::unique_ptr<sgvisa::usbtmc::UsbLink> inner_;
    bool stalled_ = false;
};

std::unique_ptr<sgvisa::usbtmc::UsbLink> stall_once(std::unique_ptr<sgvisa::usbtmc::UsbLink> link) {
    return std::make_unique<StallOnceLink>(std::move(link));
}

struct Row {
    const char* name;
    std::string idn_reply;             // what the device answers *IDN? with
    void (*apply)(FakeUsbtmcDevice&);  // the fault, on every answer
    LinkDecorator decorate;
    ViStatus status;                    // viQueryf's status for *IDN?
    std::string idn_shown;              // after "IDN: " in the transcript
    std::string error_shown;            // the error query's line
    std::size_t commands_reached = 10;  // of the program's ten messages
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.name;
}

class DeviceFault : public ::testing::TestWithParam<Row> {};

TEST_P(DeviceFault, LibraryStatusTranscriptExitAndCommands) {
    const Row& row = GetParam();
    {
        auto device = generator(row.idn_reply);
        if (row.apply)
            row.apply(*device);
        std::string shown;
        EXPECT_EQ(query_once(device, row.decorate, shown), row.status);
        EXPECT_EQ(shown, row.idn_shown.substr(0, row.idn_shown.find('\0')));
    }
    auto device = generator(row.idn_reply);
    if (row.apply)
        row.apply(*device);
    const ProgramRun run = run_program(device, row.decorate);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.keys_waited, 2);
    const std::string idn_printed = row.idn_shown.substr(0, row.idn_shown.find('\0'));
    EXPECT_EQ(run.transcript, connected_transcript(idn_printed, row.error_shown));
    // Every command still reaches the generator, the final reset included,
    // unless the generator is gone.
    EXPECT_EQ(device->messages,
              std::vector<std::string>(
                  kCommands.begin(),
                  kCommands.begin() + static_cast<std::ptrdiff_t>(row.commands_reached)));
    // The fake never blocks: no fault may make the run wait on its own.
    EXPECT_LT(run.took, 10s);
}

std::string long_reply() {
    std::string s;
    for (int i = 0; i < 100000; ++i)
        s.push_back(static_cast<char>('A' + i % 26));
    return s + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceFault,
    ::testing::Values(
        Row{"WellBehaved", kIdn, nullptr, nullptr, VI_SUCCESS, kIdn, kNoError},
        Row{"NeverAnswers", kIdn, [](FakeUsbtmcDevice& d) { d.never_answer = true; }, nullptr,
            VI_ERROR_TMO, "", ""},
        Row{"InPiecesWithZeroLengthPackets", kIdn,
            [](FakeUsbtmcDevice& d) {
                d.max_data_per_transfer = 5;  // several DEV_DEP_MSG_IN, EOM on the last
                d.piece = 4;                  // each as short packets, padding in the last one
                d.zlp_before = true;
                d.zlp_between = true;
            },
            nullptr, VI_SUCCESS, kIdn, kNoError},
        // The first reply of a connection could be the tail of a transfer an
        // earlier program left: skipped, so that query times out; the
        // second is refused at once.
        Row{"MalformedHeader", kIdn, [](FakeUsbtmcDevice& d) { d.bad_inverse = true; }, nullptr,
            VI_ERROR_TMO, "", ""},
        Row{"WrongMsgId", kIdn, [](FakeUsbtmcDevice& d) { d.msg_id = 1; }, nullptr, VI_ERROR_TMO,
            "", ""},
        // Every answer carries a bTag no request of the host had: dropped.
        Row{"StaleTag", kIdn, [](FakeUsbtmcDevice& d) { d.tag_offset = -1; }, nullptr, VI_ERROR_TMO,
            "", ""},
        Row{"ReplyLeftByAnEarlierProgram", kIdn,
            [](FakeUsbtmcDevice& d) { d.queue_leftover(-50, "+1.00000000E+09\n"); }, nullptr,
            VI_SUCCESS, kIdn, kNoError},
        Row{"SizeOverAnyBuffer", kIdn, [](FakeUsbtmcDevice& d) { d.claim_size = 0xFFFFFFFFu; },
            nullptr, VI_ERROR_IO, "", ""},
        Row{"ReplyLongerThanAnyBuffer", long_reply(), nullptr, nullptr, VI_SUCCESS,
            long_reply().substr(0, 63), kNoError},
        Row{"NulInReply", std::string("SG\0-4040\n", 9), nullptr, nullptr, VI_SUCCESS,
            std::string("SG\0-4040\n", 9), kNoError},
        Row{"ControlBytesInReply", "SG\x01\x1b[2J\a\r\n", nullptr, nullptr, VI_SUCCESS,
            "SG\x01\x1b[2J\a\r\n", kNoError},
        Row{"StalledBulkInEndpoint", kIdn, nullptr, stall_once, VI_ERROR_IO, "", kNoError},
        Row{"GoneMidReply", kIdn,
            [](FakeUsbtmcDevice& d) {
                d.piece = 8;
                d.vanish_after_in = 1;
            },
            nullptr, VI_ERROR_CONN_LOST, "", "", 2}),
    [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sgfault
