// The portal module's error codes: what portal_take_picture reports, and what
// the portal layer passes on as the last error. Depends on nothing.
#ifndef VANTOREL_PORTAL_ERRORS_H
#define VANTOREL_PORTAL_ERRORS_H

#define PORTAL_ERROR_NO_BUS 200           // no session bus could be reached
#define PORTAL_ERROR_NO_PORTAL 201        // no portal service, or no Screenshot interface
#define PORTAL_ERROR_DENIED 202           // the portal answered 1: cancelled or denied
#define PORTAL_ERROR_PORTAL_FAILED 203    // the portal answered 2, or failed the call
#define PORTAL_ERROR_TIMEOUT 204          // no answer within PORTAL_TIMEOUT_MS
#define PORTAL_ERROR_BAD_PICTURE 205      // the picture named in the answer could not be read
#define PORTAL_ERROR_NO_PICTURES_DIR 206  // answered 1 and the Pictures folder does not exist
#define PORTAL_ERROR_NO_MEMORY 207        // out of memory
// The file named in the answer is not one the portal can have written for
// this request: left where it is, untouched. 208: a symbolic link, not a
// regular file, another user's, more than one link, or over 1 GiB. 209: last
// written before the request went out (allowing 2 s for coarse file times).
#define PORTAL_ERROR_UNTRUSTED_FILE 208
#define PORTAL_ERROR_STALE_FILE 209

#endif
