// Names for the reports: the VISA functions the test calls and the statuses
// they return.
#pragma once

#include <string>

#include "visa.h"

namespace torture {

enum Function {
    fn_open_default_rm,
    fn_open,
    fn_close,
    fn_lock,
    fn_unlock,
    fn_queryf,
    fn_printf,
    fn_write,
    fn_read,
    fn_read_stb,
    fn_clear,
    fn_flush,
    fn_set_attribute,
    fn_get_attribute,
    fn_enable_event,
    fn_disable_event,
    fn_discard_events,
    fn_wait_on_event,
    fn_install_handler,
    fn_uninstall_handler,
    fn_read_async,
    fn_write_async,
    fn_terminate,
    fn_assert_trigger,
    fn_control_ren,
    fn_fork_child,
    kFunctionCount
};

const char* function_name(int function);

// Statuses counted apart in the summary; the rest fall into "other".
enum StatusClass {
    sc_success,
    sc_warning,
    sc_tmo,
    sc_rsrc_locked,
    sc_rsrc_busy,
    sc_abort,
    sc_inv_object,
    sc_io,
    sc_conn_lost,
    sc_other,
    kStatusClassCount
};

StatusClass status_class(ViStatus st);
const char* status_class_name(int cls);

// "VI_ERROR_TMO" and the like; the number in hex for one we do not name.
std::string status_name(ViStatus st);

}  // namespace torture
