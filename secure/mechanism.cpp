#include "secure/sasl.h"

namespace sgsecure {

namespace {

struct Named {
    Mechanism mechanism;
    const char* name;
};

constexpr Named kNames[] = {
    {Mechanism::scram_sha_256_plus, "SCRAM-SHA-256-PLUS"},
    {Mechanism::scram_sha_256, "SCRAM-SHA-256"},
    {Mechanism::plain, "PLAIN"},
    {Mechanism::anonymous, "ANONYMOUS"},
};

}  // namespace

const char* mechanism_name(Mechanism m) {
    for (const Named& n : kNames) {
        if (n.mechanism == m)
            return n.name;
    }
    return "";
}

std::optional<Mechanism> mechanism_named(std::string_view name) {
    for (const Named& n : kNames) {
        if (name == n.name)
            return n.mechanism;
    }
    return std::nullopt;
}

}  // namespace sgsecure
