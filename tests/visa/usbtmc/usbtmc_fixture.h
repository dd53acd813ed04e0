// A USBTMC host transport opened on a fresh FakeUsbtmcDevice, with helpers
// for the message-level operations the VISA front end performs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_usbtmc_device.h"
#include "transport/transport.h"
#include "transport_read.h"
#include "usbtmc/usbtmc_host.h"

namespace sgtest {

class UsbtmcHostTest : public ::testing::Test {
  protected:
    UsbtmcHostTest() { device->respond = echo_queries; }

    // Opens the transport and acquires it, as the session layer does before
    // its first operation; the capability request is removed from the log.
    void open() {
        ASSERT_EQ(sgvisa::usbtmc::make_usbtmc_transport(make_fake_link(device), transport),
                  VI_SUCCESS);
        ASSERT_TRUE(transport);
        ASSERT_EQ(transport->acquire(later()), VI_SUCCESS);
        device->events.clear();
        device->out_frames.clear();
    }

    // A deadline no test should reach: the fake never blocks.
    static sgvisa::Deadline later() { return sgvisa::deadline_after_ms(10000); }

    ViStatus write(const std::string& text, bool end = true) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        return transport->write({bytes, text.size()}, end, later());
    }

    // Reads until END with a buffer of `chunk` bytes; fails the test when a
    // read stores more than asked.
    ViStatus read_all(std::string& out, std::size_t chunk = 256, int* reads = nullptr) {
        out.clear();
        for (int i = 0; i < 100; ++i) {
            std::vector<std::uint8_t> buf(chunk);
            std::size_t count = 0;
            bool end = false;
            const ViStatus st = sgtest::read_from(*transport, buf, later(), count, end);
            if (reads)
                *reads = i + 1;
            if (st != VI_SUCCESS)
                return st;
            EXPECT_LE(count, chunk);
            out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(count));
            if (end)
                return VI_SUCCESS;
        }
        ADD_FAILURE() << "no END after 100 reads";
        return VI_ERROR_IO;
    }

    // Writes `text` with END and reads the whole answer.
    ViStatus query(const std::string& text, std::string& answer, std::size_t chunk = 256) {
        const ViStatus st = write(text);
        if (st != VI_SUCCESS)
            return st;
        return read_all(answer, chunk);
    }

    // The query every "the next command works" check uses.
    void expect_next_query_works() {
        std::string answer;
        EXPECT_EQ(query("NEXT?\n", answer), VI_SUCCESS);
        EXPECT_EQ(answer, "NEXT?=ANSWER\n");
    }

    std::shared_ptr<FakeUsbtmcDevice> device = std::make_shared<FakeUsbtmcDevice>();
    std::unique_ptr<sgvisa::Transport> transport;
};

}  // namespace sgtest
