// Compiled only by tests/layout/check_faces: a file of the session
// component (it links sgvisa_session and sgvisa_usbtmc, as one that used
// the USBTMC host would) that includes the USBTMC host's face, or, built
// with SG_FACE_PROBE_INSIDE, one of its inside headers, which must not
// compile.
#ifdef SG_FACE_PROBE_INSIDE
#include "usbtmc/usbtmc_reply.h"
#else
#include "usbtmc/usbtmc_host.h"
#endif

int sg_face_probe() {
    return 0;
}
