#include "cancel_signal.h"

#include <unistd.h>

#include <cstdint>

#include "transport/process_descriptors.h"

namespace sgvisa::lan {

CancelSignal::CancelSignal() : fd_(open_process_eventfd()) {}

CancelSignal::~CancelSignal() {
    if (fd_ >= 0)
        close_process_descriptor(fd_);
}

void CancelSignal::cancel() {
    cancelled_ = true;
    const std::uint64_t one = 1;
    if (fd_ >= 0)
        (void)!::write(fd_, &one, sizeof one);
}

void CancelSignal::resume() {
    std::uint64_t count = 0;
    if (cancelled_.exchange(false) && fd_ >= 0)
        (void)!::read(fd_, &count, sizeof count);
}

}  // namespace sgvisa::lan
