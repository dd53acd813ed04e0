#include <cstdint>

#include "actor.h"
#include "operations.h"

namespace torture {
namespace {

struct Choice {
    std::uint32_t weight;
    void (*run)(Actor&);
};

}  // namespace

void run_one_operation(Actor& a) {
    // Weights in parts per thousand; forks take the share the options give.
    const std::uint32_t fork_weight =
        static_cast<std::uint32_t>(a.worker.options().fork_percent) * 10;
    const Choice choices[] = {
        {110, op_open},
        {50, op_close},
        {3, op_cycle_resource_manager},
        {200, op_query},
        {90, op_split_query},
        {30, op_request_service},
        {90, op_exclusive_sequence},
        {40, op_shared_sequence},
        {80, op_read_stb},
        {80, op_toggle_events},
        {30, op_service_request},
        {60, op_async},
        {fork_weight, op_fork},
        {60, op_attributes},
        {20, op_clear},
        {20, op_misc},
    };
    std::uint32_t total = 0;
    for (const Choice& c : choices)
        total += c.weight;
    std::uint32_t r = a.rng.below(total);
    for (const Choice& c : choices) {
        if (r < c.weight) {
            c.run(a);
            return;
        }
        r -= c.weight;
    }
}

}  // namespace torture
