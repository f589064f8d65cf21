// The folder the portal saves pictures to, as the user's XDG settings name it.
// KDE's portal answers "cancelled" when that folder is missing; the module
// looks for it to tell the user which it was.
#ifndef VANTOREL_PORTAL_USERDIRS_H
#define VANTOREL_PORTAL_USERDIRS_H

#include <stddef.h>

// $XDG_PICTURES_DIR, else XDG_PICTURES_DIR in user-dirs.dirs (under
// $XDG_CONFIG_HOME or ~/.config), else ~/Pictures: 0, or -1 when no home is
// known or the name does not fit.
int portal_pictures_dir(char *dir, size_t size);

// 1 when that folder is known and is not there (or is no folder), else 0.
int portal_pictures_dir_missing(void);

#endif
