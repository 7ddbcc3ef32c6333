// Resource identifiers and version of kovarel_tray.exe, shared by the
// resource script and the code.
#ifndef TRAY_RES_H
#define TRAY_RES_H

#define IDI_KOVAREL_TRAY 103

// KV_TRAY_VERSION_BIN and KV_TRAY_VERSION_TEXT, from the project's version.
#include "tray_version.h"

#endif
