#include "program_on_fake_device.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>

#include "api/builtin_transports.h"
#include "key_wait.h"
#include "session_driver.h"
#include "temp_dir.h"
#include "transport/transport_openers.h"
#include "usbtmc/usbtmc_host.h"

namespace sgfault {
namespace {

// Makes the fake device the generator named by kSerial while it lives, with
// XDG_RUNTIME_DIR on an empty private directory.
class FakeGenerator {
  public:
    FakeGenerator(std::shared_ptr<sgtest::FakeUsbtmcDevice> device, LinkDecorator decorate) {
        const char* old = ::getenv("XDG_RUNTIME_DIR");
        had_ = old != nullptr;
        saved_ = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
        // After the library's own openers, as for any instrument it does not know.
        sgvisa::api::register_builtin_transports();
        opener_ = sgvisa::register_transport_backend(
            {sgvisa::usb_opener(
                 [device, decorate](const sgvisa::UsbResourceName& name, sgvisa::Deadline,
                                    std::unique_ptr<sgvisa::Transport>& out) -> ViStatus {
                     if (name.vendor_id != 0x4d19 || name.product_id != 0x0040 ||
                         !sgvisa::serial_equal(name.serial, kSerial))
                         return VI_ERROR_RSRC_NFOUND;
                     auto link = sgtest::make_fake_link(device);
                     if (decorate)
                         link = decorate(std::move(link));
                     return sgvisa::usbtmc::make_usbtmc_transport(std::move(link), out);
                 }),
             {}});
    }
    ~FakeGenerator() {
        sgvisa::unregister_transport_backend(opener_);
        if (had_)
            ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    FakeGenerator(const FakeGenerator&) = delete;
    FakeGenerator& operator=(const FakeGenerator&) = delete;

  private:
    sgtest::TempDir runtime_;
    bool had_ = false;
    std::string saved_;
    int opener_ = 0;
};

class CountingKeys final : public KeyWait {
  public:
    void wait_for_key() override { ++count; }
    int count = 0;
};

}  // namespace

ProgramRun run_program(const std::shared_ptr<sgtest::FakeUsbtmcDevice>& device,
                       LinkDecorator decorate) {
    ProgramRun run;
    FakeGenerator generator(device, decorate);
    const std::string input = kSerial + "\n";
    std::FILE* in = ::fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    char* printed = nullptr;
    std::size_t printed_size = 0;
    std::FILE* out = ::open_memstream(&printed, &printed_size);
    CountingKeys keys;
    const auto start = std::chrono::steady_clock::now();
    run.exit_status = run_session(in, out, keys);
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::fclose(in);
    std::fclose(out);
    run.transcript.assign(printed, printed_size);
    std::free(printed);
    run.keys_waited = keys.count;

    return run;
}

ViStatus query_once(const std::shared_ptr<sgtest::FakeUsbtmcDevice>& device, LinkDecorator decorate,
                    std::string& shown) {
    FakeGenerator generator(device, decorate);
    ViSession rm = VI_NULL, vi = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS)
        return VI_ERROR_SYSTEM_ERROR;
    const std::string name = "USB0::0x4d19::0x0040::" + kSerial + "::0::INSTR";
    ViStatus st = viOpen(rm, name.c_str(), VI_EXCLUSIVE_LOCK, 5000, &vi);
    if (st == VI_SUCCESS) {
        char buffer[64] = "untouched";
        st = viQueryf(vi, "*IDN?\n", "%63T", buffer);
        buffer[63] = '\0';
        shown = buffer;
        viClose(vi);
    }
    viClose(rm);
    return st;
}

std::string connected_transcript(const std::string& idn, const std::string& error) {
    return "Enter serial number: Connect to USB0::0x4d19::0x0040::" + kSerial +
           "::0::INSTR\nIDN: " + idn +
           "setting frequency to 1 GHz\nsetting power to 1 dBm\npower on\n" + error +
           "press any key to continue...\n"
           "switch LF generator and setting shape SINE\nsetting frequency to 9 kHz\n"
           "setting amplitude 3 V\npress any key to exit...\n";
}

}  // namespace sgfault
