// Marks the library's exported entry points.
#ifndef VELK_PLATFORM_EXPORT_H
#define VELK_PLATFORM_EXPORT_H

#if defined(_WIN32)
// Exported by name through the module definition file, undecorated.
#define VELK_EXPORT
#else
#define VELK_EXPORT __attribute__((visibility("default")))
#endif

#endif
