// sgsim: the simulated RF signal generator (or, with --io-test, an I/O test
// instrument). It serves a USBTMC device on the local bus (or, with --gadget,
// as a USB gadget), and with --lan the same instrument on the LAN, until
// SIGINT or SIGTERM, then prints its final settings.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "attach/gadget_attachment.h"
#include "attach/localbus_server.h"
#include "device/device_identity.h"
#include "device/message_log.h"
#include "device/settings_record.h"
#include "device/usbtmc_device.h"
#include "network/lan_server.h"
#include "network/mdns_responder.h"
#include "network/shared_instrument.h"
#include "scpi/io_test_instrument.h"
#include "scpi/signal_generator.h"
#include "sim_options.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
int g_wake_fd = -1;  // write end of the self-pipe that wakes the event loop
std::string g_ready_line;

extern "C" void on_stop_signal(int) {
    g_stop = 1;
    if (g_wake_fd >= 0) {
        const char b = 1;
        [[maybe_unused]] const ssize_t n = ::write(g_wake_fd, &b, 1);
    }
}

void print_ready() {
    std::fputs(g_ready_line.c_str(), stdout);
    std::fflush(stdout);
}

bool install_signals(int wake_fd) {
    g_wake_fd = wake_fd;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0)
        return false;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

void print_settings(const sgsim::Instrument& instrument, const sgsim::UsbtmcDevice& device) {
    std::fputs((instrument.describe_settings() + device.describe_interface()).c_str(), stdout);
    std::fflush(stdout);
}

std::unique_ptr<sgsim::Instrument> make_instrument(const sgsim::SimOptions& opts) {
    if (opts.io_test) {
        sgsim::IoTestConfig config;
        config.serial_number = opts.serial;
        config.identification = opts.idn;
        config.no_newline = opts.no_newline;
        return std::make_unique<sgsim::IoTestInstrument>(config);
    }
    sgsim::GeneratorConfig config;
    config.serial_number = opts.serial;
    config.identification = opts.idn;
    config.no_newline = opts.no_newline;
    return std::make_unique<sgsim::SignalGenerator>(config);
}

}  // namespace

int main(int argc, char** argv) {
    sgsim::SimOptions opts;
    std::string error;
    if (!sgsim::parse_sim_options(argc, argv, opts, error)) {
        std::fprintf(stderr, "sgsim: %s\n%s", error.c_str(), sgsim::sim_usage().c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(sgsim::sim_help().c_str(), stdout);
        return 0;
    }
    if (opts.version) {
        std::fputs(sgsim::sim_version().c_str(), stdout);
        return 0;
    }

    std::unique_ptr<sgsim::Instrument> instrument = make_instrument(opts);

    sgsim::MessageLog log;
    if (!opts.log_path.empty() && !log.open(opts.log_path, error)) {
        std::fprintf(stderr, "sgsim: %s\n", error.c_str());
        return 1;
    }
    sgsim::MessageLog record;
    if (!opts.record_path.empty() && !record.open(opts.record_path, error)) {
        std::fprintf(stderr, "sgsim: %s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<sgsim::Instrument> recording;
    if (!opts.record_path.empty())
        recording = std::make_unique<sgsim::RecordingInstrument>(*instrument, record);
    sgsim::UsbtmcDevice device(recording ? *recording : *instrument, opts.faults,
                               opts.log_path.empty() ? nullptr : &log);

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0 || !install_signals(wake[1])) {
        std::perror("sgsim: cannot set up signal handling");
        return 1;
    }

    sgsim::DeviceIdentity identity;
    if (opts.io_test)
        identity = sgsim::io_test_identity(opts.serial);
    else
        identity.serial = opts.serial;
    g_ready_line = "sgsim: " + sgsim::resource_name(identity) + " ready\n";

    if (!opts.gadget_dir.empty()) {
        const int rc = sgsim::run_gadget(opts.gadget_dir, device, identity.interface_name, g_stop,
                                         print_ready);
        if (rc != 0)
            return rc;
        print_settings(*instrument, device);
        return 0;
    }

    sgsim::LocalbusServer server(device, identity);
    switch (server.start(error)) {
        case sgsim::LocalbusServer::StartResult::kListening:
            break;
        case sgsim::LocalbusServer::StartResult::kAlreadyRunning:
        case sgsim::LocalbusServer::StartResult::kFailed:
            std::fprintf(stderr, "sgsim: %s\n", error.c_str());
            return 1;
    }
    // The LAN serves the instrument the device serves; the local bus loop
    // and the LAN's threads take turns at it under the shared mutex.
    std::unique_ptr<sgsim::SharedInstrument> shared;
    std::unique_ptr<sgsim::LanServer> lan;
    std::unique_ptr<sgsim::MdnsResponder> mdns;
    if (opts.lan) {
        shared = std::make_unique<sgsim::SharedInstrument>(recording ? *recording : *instrument,
                                                           opts.faults,
                                                           opts.log_path.empty() ? nullptr : &log);
        server.share_device(&shared->mutex());
        // The VXI-11 device lock holds the local bus's hosts too.
        sgsim::SharedInstrument* lan_side = shared.get();
        server.hold_frames_while([lan_side] { return lan_side->locked_while_held(); },
                                 shared->device_event_fd());
        lan = std::make_unique<sgsim::LanServer>(
            *shared,
            sgsim::LanOptions{opts.lan_address, static_cast<std::uint16_t>(opts.portmap_port),
                              static_cast<std::uint16_t>(opts.vxi11_port),
                              static_cast<std::uint16_t>(opts.socket_port),
                              static_cast<std::uint16_t>(opts.hislip_port)});
        if (!lan->start(error)) {
            std::fprintf(stderr, "sgsim: %s\n", error.c_str());
            return 1;
        }
        g_ready_line = "sgsim: " + lan->describe() + "\n" + g_ready_line;
        if (opts.mdns && sgsim::MdnsResponder::multicast_reaches(opts.lan_address)) {
            // What the LAN serves, advertised. A service added to LanServer
            // adds its row here.
            sgsim::MdnsOptions adverts{opts.lan_address,
                                       "sgsim-" + opts.serial,
                                       "sgsim " + opts.serial,
                                       {{"_vxi-11._tcp", lan->portmap_port()},
                                        {"_scpi-raw._tcp", lan->socket_port()},
                                        {"_hislip._tcp", lan->hislip_port()}},
                                       {"txtvers=1", "SerialNumber=" + opts.serial}};
            mdns = std::make_unique<sgsim::MdnsResponder>(std::move(adverts));
            if (!mdns->start(error)) {
                // The instrument still serves; only its adverts are missing.
                std::fprintf(stderr, "sgsim: %s: no mDNS adverts\n", error.c_str());
                mdns.reset();
            } else {
                g_ready_line = "sgsim: mDNS responder as sgsim-" + opts.serial + ".local on " +
                               opts.lan_address + "\n" + g_ready_line;
            }
        }
    }
    print_ready();
    if (!g_stop && !server.run(wake[0], error)) {
        std::fprintf(stderr, "sgsim: %s\n", error.c_str());
        return 1;
    }
    if (mdns)
        mdns->stop();
    if (lan)
        lan->stop();
    print_settings(*instrument, device);
    return 0;  // the server's destructor removes the socket
}
