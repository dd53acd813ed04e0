// Tests with the trace on, into a file of the test's own: turns the trace
// on at a level (as SGVISA_TRACE would at the first call) and reads back
// the lines written.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "trace/trace_sink.h"
#include "trace/trace_switch.h"

namespace sgtest {

class TraceFile {
  public:
    explicit TraceFile(sgvisa::trace::Level level = sgvisa::trace::Level::calls)
        : path_(dir_.path() + "/trace.txt") {
        sgvisa::trace::level();  // the environment's answer first, so it is not read later
        ok_ = sgvisa::trace::open_sink(path_.c_str());
        sgvisa::trace::detail::level.store(static_cast<int>(level));
    }
    ~TraceFile() { sgvisa::trace::detail::level.store(0); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

    std::string text() const {
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    // The lines of operation `op` (calls level: "op(" after the prefix).
    std::vector<std::string> lines_of(const std::string& op) const {
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (line.find(" " + op + "(") != std::string::npos)
                out.push_back(line);
        return out;
    }

  private:
    TempDir dir_;
    std::string path_;
    bool ok_ = false;
};

}  // namespace sgtest
