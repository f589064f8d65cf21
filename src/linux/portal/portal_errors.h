// The portal module's error codes (PORTAL_ERROR_*, from 200): what
// portal_take_picture reports and the portal layer passes on as the last
// error. They live in linux_error.h's one list of codes.
#ifndef VANTOREL_PORTAL_ERRORS_H
#define VANTOREL_PORTAL_ERRORS_H

#include "linux/linux_error.h"

#endif
