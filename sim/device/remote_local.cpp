#include "device/remote_local.h"

namespace sgsim {

void RemoteLocal::set_remote_enable(bool asserted) {
    ren_ = asserted;
    if (!asserted)
        state_ = State::Local;
}

void RemoteLocal::addressed() {
    if (!ren_)
        return;
    if (state_ == State::Local)
        state_ = State::Remote;
    else if (state_ == State::LocalWithLockout)
        state_ = State::RemoteWithLockout;
}

void RemoteLocal::go_to_local() {
    if (state_ == State::Remote)
        state_ = State::Local;
    else if (state_ == State::RemoteWithLockout)
        state_ = State::LocalWithLockout;
}

void RemoteLocal::local_lockout() {
    if (!ren_)
        return;
    if (state_ == State::Local)
        state_ = State::LocalWithLockout;
    else if (state_ == State::Remote)
        state_ = State::RemoteWithLockout;
}

std::string_view remote_state_name(RemoteLocal::State state) {
    switch (state) {
        case RemoteLocal::State::Local:
            return "LOCAL";
        case RemoteLocal::State::Remote:
            return "REMOTE";
        case RemoteLocal::State::LocalWithLockout:
            return "LOCAL WITH LOCKOUT";
        case RemoteLocal::State::RemoteWithLockout:
            return "REMOTE WITH LOCKOUT";
    }
    return "LOCAL";
}

}  // namespace sgsim
