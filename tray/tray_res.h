// Resource identifiers and version of kovarel_tray.exe, shared by the
// resource script and the code.
#ifndef TRAY_RES_H
#define TRAY_RES_H

#define IDI_KOVAREL_TRAY 103

#define KV_TRAY_VERSION_BIN 1, 0, 0, 0
#define KV_TRAY_VERSION_TEXT "1.0.0.0"

#endif
