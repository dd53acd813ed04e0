#include "unattended_run.h"

#include <vector>

#include "child_process.h"

namespace sgtest {

Unattended run_without_terminal(const std::string& program_path, const std::string& input,
                                const std::string& runtime_dir, std::chrono::milliseconds bound,
                                const std::vector<std::string>& args) {
    ChildProcess::Options options;
    options.argv = {program_path};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = {{"XDG_RUNTIME_DIR", runtime_dir}};
    options.in = options.out = options.err = ChildProcess::kPipe;
    options.new_session = true;
    ChildProcess child(options);
    Unattended result;
    if (!child.started()) {
        result.output = child.error();
        return result;
    }
    // Small inputs fit the pipe; closing it is the end of input.
    if (!write_all(child.input(), input))
        result.output = "writing the input failed; ";
    child.close_input();
    read_to_end(child.output(), Clock::now() + bound, result.output);
    result.status = child.wait(bound);
    return result;
}

}  // namespace sgtest
