// Exported entry points of the runtime stand-in: plain C names, everything
// else hidden, so the dispatcher finds exactly the runtime's table.
#ifndef MFX_STANDIN_EXPORT_H
#define MFX_STANDIN_EXPORT_H

#if defined(_WIN32)
#define MFX_STANDIN_API __declspec(dllexport)
#else
#define MFX_STANDIN_API __attribute__((visibility("default")))
#endif

#endif
