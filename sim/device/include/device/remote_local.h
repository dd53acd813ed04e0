// The remote/local state of the simulated device's USB488 interface, as an
// IEEE 488.1 RL1 device keeps it, driven by the USB488 requests:
//   REN_CONTROL     asserts or deasserts remote enable (REN). Deasserted, the
//                   device is local and any lockout is cleared.
//   addressed       with REN asserted, a message addressed to the device
//                   (DEV_DEP_MSG_OUT, TRIGGER) makes it remote: local ->
//                   remote, local with lockout -> remote with lockout.
//   GO_TO_LOCAL     remote -> local, remote with lockout -> local with
//                   lockout.
//   LOCAL_LOCKOUT   with REN asserted: local -> local with lockout, remote ->
//                   remote with lockout. Without REN it changes nothing.
// The front panel this state would lock out is not simulated; the state is
// shown with the final settings.
#pragma once

#include <string_view>

namespace sgsim {

class RemoteLocal {
  public:
    enum class State { Local, Remote, LocalWithLockout, RemoteWithLockout };

    void set_remote_enable(bool asserted);
    void addressed();
    void go_to_local();
    void local_lockout();

    State state() const { return state_; }
    bool remote_enable() const { return ren_; }

  private:
    bool ren_ = false;
    State state_ = State::Local;
};

// "LOCAL", "REMOTE", "LOCAL WITH LOCKOUT", "REMOTE WITH LOCKOUT".
std::string_view remote_state_name(RemoteLocal::State state);

}  // namespace sgsim
