// bench_lan: the LAN figures. The floors always (bare TCP query and response,
// two ONC RPC calls through libtirpc, a 1 MiB bare TCP transfer, a TCP
// connect), each against a server of its own in a child process on
// loopback; and, given the resources of `sgsim --io-test --lan`, our
// library over SOCKET, VXI-11 and HiSLIP measured round by round in turn
// with the floor it is compared with:
//   *IDN? query (viWrite, viRead)  vs the TCP query / the two RPC calls
//                                  (and the same bytes to sgsim's SOCKET port, no library);
//                                  HiSLIP in synchronized mode vs the TCP query
//   8 *IDN? queries, HiSLIP        overlapped (8 writes, then 8 reads) vs
//                                  synchronized (one after the other)
//   1 MiB read ("SEND", one viRead) vs the 1 MiB TCP transfer
//   open of a VXI-11 link, of a HiSLIP session vs a TCP connect
//   *CLS;*OPC to the service request taken by viWaitOnEvent (VXI-11, HiSLIP).
// A resource that does not open is skipped with a note (the LAN may not be
// there); a call that fails once it is open ends the program with status 1.
// Prints "figure NAME VALUE UNIT" lines.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "stats.h"
#include "tcp_floor.h"
#include "visa.h"
#if SG_BENCH_TIRPC
#include "rpc_floor.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double us_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Options {
    int rounds = 2000;
    int warmup = 200;
    int bulk_reads = 50;
    int open_rounds = 200;
    int srq_rounds = 200;
    int bound_ms = 5000;
    std::string socket;       // TCPIP::host::port::SOCKET, or empty
    std::string instr;        // TCPIP::host::INSTR, or empty
    std::string hislip;       // TCPIP::host::hislip0::INSTR, or empty
    int sim_socket_port = 0;  // > 0: the simulator's SOCKET port, asked without the library
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            return false;
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--rounds")
            o.rounds = std::atoi(v);
        else if (a == "--warmup")
            o.warmup = std::atoi(v);
        else if (a == "--bulk-reads")
            o.bulk_reads = std::atoi(v);
        else if (a == "--open-rounds")
            o.open_rounds = std::atoi(v);
        else if (a == "--srq-rounds")
            o.srq_rounds = std::atoi(v);
        else if (a == "--socket")
            o.socket = v;
        else if (a == "--instr")
            o.instr = v;
        else if (a == "--hislip")
            o.hislip = v;
        else if (a == "--sim-socket-port")
            o.sim_socket_port = std::atoi(v);
        else
            return false;
    }
    return o.rounds > 0 && o.warmup >= 0 && o.bulk_reads > 0 && o.open_rounds > 0 &&
           o.srq_rounds > 0;
}

// The timings of one variant, and what is printed of them.
struct Variant {
    std::string name;           // the figure's prefix, e.g. lan.socket.idn_query
    std::function<bool()> run;  // what is timed
    std::vector<double> us;
    std::function<bool()> before = [] { return true; };  // not timed
    std::function<bool()> after = [] { return true; };   // not timed: checks the result
};

// Runs every variant once per round, in an order that turns each round, so
// that none always follows the same one; the first `warmup` rounds are not
// kept. False (with a message) when a variant fails.
bool interleave(std::vector<Variant>& variants, int warmup, int rounds) {
    const std::size_t n = variants.size();
    for (int round = 0; round < warmup + rounds; ++round) {
        for (std::size_t k = 0; k < n; ++k) {
            Variant& v = variants[(static_cast<std::size_t>(round) + k) % n];
            bool ok = v.before();
            const auto t0 = Clock::now();
            ok = ok && v.run();
            const double us = us_since(t0);
            ok = ok && v.after();
            if (!ok) {
                std::fprintf(stderr, "bench: %s failed in round %d\n", v.name.c_str(), round);
                return false;
            }
            if (round >= warmup)
                v.us.push_back(us);
        }
    }
    return true;
}

Variant* find(std::vector<Variant>& variants, const std::string& name) {
    for (Variant& v : variants)
        if (v.name == name)
            return &v;
    return nullptr;
}

// Times of moving kBulkSize bytes as a throughput in MB/s (bytes per
// microsecond): the median time gives the median, the longest the least.
void print_throughput(const std::string& name, const std::vector<double>& us) {
    const sgbench::Summary s = sgbench::summarize(us);
    if (s.count == 0 || s.min <= 0)
        return;
    const double bytes = static_cast<double>(sgbench::kBulkSize);
    sgbench::print_figure(name + ".median", bytes / s.median, "MB/s");
    sgbench::print_figure(name + ".min", bytes / s.max, "MB/s");
    sgbench::print_figure(name + ".max", bytes / s.min, "MB/s");
    sgbench::print_figure(name + ".count", static_cast<double>(s.count), "samples");
}

// ours / floor of two times (a ratio of throughputs is the other way round),
// with its spread over the rounds cut into batches.
void print_time_ratio(const std::string& name, const Variant& ours, const Variant& floor) {
    sgbench::print_ratio(name, sgbench::summarize(ours.us), sgbench::summarize(floor.us));
    sgbench::print_batch_spread(name, ours.us, floor.us);
}
void print_throughput_ratio(const std::string& name, const Variant& ours, const Variant& floor) {
    sgbench::print_ratio(name, sgbench::summarize(floor.us), sgbench::summarize(ours.us));
    sgbench::print_batch_spread(name, floor.us, ours.us);
}

void note(const std::string& text) {
    std::printf("note: %s\n", text.c_str());
    std::fflush(stdout);
}

ViSession open_session(ViSession rm, const std::string& resource, int bound_ms) {
    ViSession vi = VI_NULL;
    const ViStatus st =
        viOpen(rm, resource.c_str(), VI_NO_LOCK, static_cast<ViUInt32>(bound_ms), &vi);
    if (st < VI_SUCCESS) {
        char text[256] = "";
        viStatusDesc(rm, st, text);
        note("cannot open " + resource + " (" + text + "): its figures are skipped");
        return VI_NULL;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, static_cast<ViAttrState>(bound_ms));
    return vi;
}

// Whether `resource` opens (and then closes it), so that its open is
// measured only where it can be: a note says why not.
bool can_open(ViSession rm, const std::string& resource, int bound_ms) {
    const ViSession vi = open_session(rm, resource, bound_ms);
    return vi != VI_NULL && viClose(vi) == VI_SUCCESS;
}

bool write_all(ViSession vi, const char* data, std::size_t size) {
    ViUInt32 done = 0;
    return viWrite(vi, reinterpret_cast<ViConstBuf>(data), static_cast<ViUInt32>(size), &done) >=
               VI_SUCCESS &&
           done == size;
}

bool is_idn(const char* reply) {
    return std::strncmp(reply, "Simulated Signal Sources,", 25) == 0;
}

// The 1 MiB the I/O test instrument is given and sends back: no linefeed
// but the last byte (RECEIVE keeps a message up to its linefeed, and a
// SOCKET read with the termination character on ends at the first).
std::string bulk_message() {
    std::string data(sgbench::kBulkSize, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto b = static_cast<char>((i * 7 + i / 251) & 0xFF);
        data[i] = b == '\n' ? 'N' : b;
    }
    data.back() = '\n';
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: %s [--rounds N] [--warmup N] [--bulk-reads N] [--open-rounds N] "
                     "[--srq-rounds N] [--socket RESOURCE] [--instr RESOURCE] [--hislip RESOURCE] "
                     "[--sim-socket-port N]\n",
                     argv[0]);
        return 2;
    }
    // The floors' servers are forked before any session exists.
    sgbench::TcpFloorServer tcp_server;
    if (!tcp_server.ok()) {
        std::perror("bench: TCP floor server");
        return 1;
    }
#if SG_BENCH_TIRPC
    sgbench::RpcFloorServer rpc_server;
    if (!rpc_server.ok()) {
        std::perror("bench: RPC floor server");
        return 1;
    }
    sgbench::RpcFloorClient rpc(rpc_server.port(), opt.bound_ms);
    if (!rpc.ok()) {
        std::fprintf(stderr, "bench: cannot reach the RPC floor server\n");
        return 1;
    }
#else
    note("lan.floor.rpc_query: built without libtirpc; the VXI-11 query has no floor");
#endif
    sgbench::TcpFloorClient tcp(tcp_server.port(), opt.bound_ms);
    if (!tcp.ok()) {
        std::fprintf(stderr, "bench: cannot reach the TCP floor server\n");
        return 1;
    }

    ViSession rm = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS) {
        std::fprintf(stderr, "bench: viOpenDefaultRM failed\n");
        return 1;
    }
    // ---- open: a VXI-11 link (portmapper, create_link) and a HiSLIP
    // session (two connections, their initialization, the maximum message
    // size) against a TCP connect
    const bool instr_opens = !opt.instr.empty() && can_open(rm, opt.instr, opt.bound_ms);
    const bool hislip_opens = !opt.hislip.empty() && can_open(rm, opt.hislip, opt.bound_ms);
    {
        const auto open_close = [&](const std::string& resource) {
            ViSession vi = VI_NULL;
            const ViStatus st =
                viOpen(rm, resource.c_str(), VI_NO_LOCK, static_cast<ViUInt32>(opt.bound_ms), &vi);
            return st >= VI_SUCCESS && viClose(vi) == VI_SUCCESS;
        };
        std::vector<Variant> v;
        v.push_back({"lan.floor.tcp_connect",
                     [&] { return sgbench::tcp_connect_us(tcp_server.port(), opt.bound_ms) >= 0; },
                     {}});
        if (instr_opens)
            v.push_back({"lan.vxi11.open", [&] { return open_close(opt.instr); }, {}});
        if (hislip_opens)
            v.push_back({"lan.hislip.open", [&] { return open_close(opt.hislip); }, {}});
        if (!interleave(v, opt.open_rounds / 10, opt.open_rounds))
            return 1;
        for (const Variant& x : v)
            sgbench::print_summary(x.name, sgbench::summarize(x.us), "us");
        if (const Variant* ours = find(v, "lan.vxi11.open"))
            print_time_ratio("lan.ratio.vxi11_open_over_tcp_connect", *ours, v[0]);
        if (const Variant* ours = find(v, "lan.hislip.open"))
            print_time_ratio("lan.ratio.hislip_open_over_tcp_connect", *ours, v[0]);
    }

    // The sessions of the rest, opened after the open's figure so that no
    // other link to the instrument is up while it is measured.
    const ViSession sock =
        opt.socket.empty() ? VI_NULL : open_session(rm, opt.socket, opt.bound_ms);
    const ViSession instr = instr_opens ? open_session(rm, opt.instr, opt.bound_ms) : VI_NULL;
    // HiSLIP twice: one session in each mode, whatever the server prefers.
    const ViSession hislip = hislip_opens ? open_session(rm, opt.hislip, opt.bound_ms) : VI_NULL;
    ViSession overlapped = hislip_opens ? open_session(rm, opt.hislip, opt.bound_ms) : VI_NULL;
    if (hislip != VI_NULL &&
        viSetAttribute(hislip, VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, VI_FALSE) != VI_SUCCESS) {
        std::fprintf(stderr, "bench: %s does not take synchronized mode\n", opt.hislip.c_str());
        return 1;
    }
    ViBoolean overlap_on = VI_FALSE;
    if (overlapped != VI_NULL &&
        (viSetAttribute(overlapped, VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, VI_TRUE) != VI_SUCCESS ||
         viGetAttribute(overlapped, VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, &overlap_on) != VI_SUCCESS ||
         overlap_on != VI_TRUE)) {
        note("lan.hislip.overlapped: " + opt.hislip +
             " does not take overlapped mode: its figures are skipped");
        viClose(overlapped);
        overlapped = VI_NULL;
    }
    if (sock != VI_NULL) {
        // A raw socket has no END: a reply ends at its linefeed.
        viSetAttribute(sock, VI_ATTR_TERMCHAR, '\n');
        viSetAttribute(sock, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    }

    // ---- *IDN? queries
    {
        // A write and a read, as PyVISA's query and most programs make one
        // (a raw socket has no END, so the read ends at the linefeed).
        char reply[256];
        const auto query = [&](ViSession vi) {
            ViUInt32 count = 0;
            if (!write_all(vi, "*IDN?\n", 6) ||
                viRead(vi, reinterpret_cast<ViBuf>(reply), sizeof reply - 1, &count) < VI_SUCCESS)
                return false;
            reply[count] = '\0';
            return is_idn(reply);
        };
        std::vector<Variant> v;
        v.push_back({"lan.floor.tcp_query", [&] { return tcp.query(); }, {}});
#if SG_BENCH_TIRPC
        v.push_back({"lan.floor.rpc_query", [&] { return rpc.query(); }, {}});
#endif
        if (sock != VI_NULL)
            v.push_back({"lan.socket.idn_query", [&] { return query(sock); }, {}});
        // The same bytes to the simulator's SOCKET port with no library:
        // what sgsim itself adds to the floor.
        std::unique_ptr<sgbench::TcpFloorClient> raw_sim;
        if (sock != VI_NULL && opt.sim_socket_port > 0) {
            raw_sim = std::make_unique<sgbench::TcpFloorClient>(opt.sim_socket_port, opt.bound_ms);
            if (raw_sim->ok())
                v.push_back({"lan.socket.raw_sim_query",
                             [&] {
                                 return raw_sim->query(0) &&
                                        is_idn(std::string(raw_sim->reply()).c_str());
                             },
                             {}});
        }
        if (instr != VI_NULL)
            v.push_back({"lan.vxi11.idn_query", [&] { return query(instr); }, {}});
        if (hislip != VI_NULL)
            v.push_back({"lan.hislip.idn_query", [&] { return query(hislip); }, {}});
        if (!interleave(v, opt.warmup, opt.rounds))
            return 1;
        for (const Variant& x : v)
            sgbench::print_summary(x.name, sgbench::summarize(x.us), "us");
        if (const Variant* ours = find(v, "lan.socket.idn_query"))
            print_time_ratio("lan.ratio.socket_idn_query_over_floor", *ours, v[0]);
        if (const Variant* raw = find(v, "lan.socket.raw_sim_query")) {
            print_time_ratio("lan.ratio.socket_raw_sim_query_over_floor", *raw, v[0]);
            print_time_ratio("lan.ratio.socket_idn_query_over_raw_sim",
                             *find(v, "lan.socket.idn_query"), *raw);
        }
        const Variant* rpc_floor = find(v, "lan.floor.rpc_query");
        if (const Variant* ours = find(v, "lan.vxi11.idn_query"); ours && rpc_floor)
            print_time_ratio("lan.ratio.vxi11_idn_query_over_floor", *ours, *rpc_floor);
        if (rpc_floor)
            print_time_ratio("lan.ratio.rpc_query_over_tcp_query", *rpc_floor, v[0]);
        if (const Variant* ours = find(v, "lan.hislip.idn_query"))
            print_time_ratio("lan.ratio.hislip_idn_query_over_floor", *ours, v[0]);

        // ---- HiSLIP, kInFlight queries: in overlapped mode all written
        // before the first reply is read, in synchronized mode (which
        // allows no other) one after the other; and the same two ways over
        // bare TCP, the floor of what having them in flight gains.
        if (hislip != VI_NULL && overlapped != VI_NULL) {
            constexpr int kInFlight = 8;
            std::vector<Variant> q;
            q.push_back({"lan.floor.tcp_queries_one_after_another",
                         [&] {
                             for (int i = 0; i < kInFlight; ++i)
                                 if (!tcp.query())
                                     return false;
                             return true;
                         },
                         {}});
            q.push_back({"lan.floor.tcp_queries_in_flight",
                         [&] { return tcp.queries_in_flight(kInFlight); },
                         {}});
            q.push_back({"lan.hislip.synchronized_queries",
                         [&] {
                             for (int i = 0; i < kInFlight; ++i)
                                 if (!query(hislip))
                                     return false;
                             return true;
                         },
                         {}});
            q.push_back({"lan.hislip.overlapped_queries",
                         [&] {
                             for (int i = 0; i < kInFlight; ++i)
                                 if (!write_all(overlapped, "*IDN?\n", 6))
                                     return false;
                             for (int i = 0; i < kInFlight; ++i) {
                                 ViUInt32 count = 0;
                                 if (viRead(overlapped, reinterpret_cast<ViBuf>(reply),
                                            sizeof reply - 1, &count) < VI_SUCCESS)
                                     return false;
                                 reply[count] = '\0';
                                 if (!is_idn(reply))
                                     return false;
                             }
                             return true;
                         },
                         {}});
            if (!interleave(q, opt.warmup / kInFlight, opt.rounds / kInFlight))
                return 1;
            for (const Variant& x : q) {
                sgbench::print_summary(x.name, sgbench::summarize(x.us), "us");
                sgbench::print_figure(x.name + ".per_second",
                                      kInFlight * 1e6 / sgbench::summarize(x.us).median,
                                      "queries/s");
            }
            print_throughput_ratio("lan.ratio.hislip_overlapped_over_synchronized_queries",
                                   *find(q, "lan.hislip.overlapped_queries"),
                                   *find(q, "lan.hislip.synchronized_queries"));
            print_throughput_ratio("lan.ratio.floor_in_flight_over_one_after_another",
                                   *find(q, "lan.floor.tcp_queries_in_flight"),
                                   *find(q, "lan.floor.tcp_queries_one_after_another"));
        }
    }

    // ---- 1 MiB in one read: the I/O test instrument is given the message
    // (RECEIVE, the message; not timed), then "SEND" and one viRead of the
    // whole of it are timed, and what came back is compared (not timed).
    {
        const std::string data = bulk_message();
        std::vector<char> got(data.size());
        std::vector<Variant> v;
        v.push_back({"lan.floor.tcp_bulk", [&] { return tcp.bulk(); }, {}});
        for (const auto& [name, vi] :
             {std::pair{"lan.socket.block_read", sock}, std::pair{"lan.vxi11.block_read", instr},
              std::pair{"lan.hislip.block_read", hislip}}) {
            if (vi == VI_NULL)
                continue;
            const ViSession s = vi;
            Variant x{name,
                      [&got, s] {
                          ViUInt32 count = 0;
                          return write_all(s, "SEND\n", 5) &&
                                 viRead(s, reinterpret_cast<ViBuf>(got.data()),
                                        static_cast<ViUInt32>(got.size()), &count) >= VI_SUCCESS &&
                                 count == got.size();
                      },
                      {}};
            // *OPC? answers once the instrument has taken the whole
            // message: a write over SOCKET or HiSLIP returns when the bytes
            // are in the socket, and the instrument's digesting them must
            // not run into the timed read.
            x.before = [&data, s] {
                char opc[8];
                ViUInt32 count = 0;
                return write_all(s, "RECEIVE\n", 8) && write_all(s, data.data(), data.size()) &&
                       write_all(s, "*OPC?\n", 6) &&
                       viRead(s, reinterpret_cast<ViBuf>(opc), sizeof opc, &count) >= VI_SUCCESS &&
                       count == 2 && opc[0] == '1';
            };
            x.after = [&data, &got] {
                return std::memcmp(got.data(), data.data(), data.size()) == 0;
            };
            v.push_back(std::move(x));
        }
        if (!interleave(v, 2, opt.bulk_reads))
            return 1;
        for (const Variant& x : v)
            print_throughput(x.name, x.us);
        if (const Variant* ours = find(v, "lan.socket.block_read"))
            print_throughput_ratio("lan.ratio.socket_block_read_over_floor", *ours, v[0]);
        if (const Variant* ours = find(v, "lan.vxi11.block_read"))
            print_throughput_ratio("lan.ratio.vxi11_block_read_over_floor", *ours, v[0]);
        if (const Variant* ours = find(v, "lan.hislip.block_read"))
            print_throughput_ratio("lan.ratio.hislip_block_read_over_floor", *ours, v[0]);
    }

    // ---- a service request over VXI-11, then over HiSLIP: *CLS;*OPC sets
    // the operation complete bit, which *ESE 1;*SRE 32 turn into a request
    // for service; timed from the write to viWaitOnEvent returning.
    // viReadSTB then takes the request back (not timed), and once before
    // the first, so that a request another session's rounds left standing
    // is taken back too. One session at a time: the device's request goes
    // to every session that listens.
    for (const auto& [name, vi, resource] :
         {std::tuple{"lan.vxi11.srq_latency", instr, opt.instr},
          std::tuple{"lan.hislip.srq_latency", hislip, opt.hislip}}) {
        if (vi == VI_NULL)
            continue;
        const ViSession s = vi;
        ViUInt16 status = 0;
        if (!write_all(s, "*ESE 1;*SRE 32\n", 15) || viReadSTB(s, &status) != VI_SUCCESS ||
            viEnableEvent(s, VI_EVENT_SERVICE_REQ, VI_QUEUE, VI_NULL) != VI_SUCCESS) {
            std::fprintf(stderr, "bench: cannot set up service requests on %s\n", resource.c_str());
            return 1;
        }
        std::vector<Variant> v;
        Variant x{name,
                  [&] {
                      return write_all(s, "*CLS;*OPC\n", 10) &&
                             viWaitOnEvent(s, VI_EVENT_SERVICE_REQ,
                                           static_cast<ViUInt32>(opt.bound_ms), VI_NULL,
                                           VI_NULL) == VI_SUCCESS;
                  },
                  {}};
        x.after = [s] {
            ViUInt16 stb = 0;
            return viReadSTB(s, &stb) == VI_SUCCESS;
        };
        v.push_back(std::move(x));
        if (!interleave(v, opt.srq_rounds / 10, opt.srq_rounds))
            return 1;
        viDisableEvent(s, VI_EVENT_SERVICE_REQ, VI_QUEUE);
        sgbench::print_summary(v[0].name, sgbench::summarize(v[0].us), "us");
    }
    viClose(rm);
    return 0;
}
