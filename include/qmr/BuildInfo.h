// BuildInfo.h - the version and build texts that libqmr_client.so.1 exports. Both are
// NUL-terminated texts that live as long as the library is loaded.
#ifndef QMR_BUILDINFO_H
#define QMR_BUILDINFO_H

extern "C" {
// "__SYS_VERSION = 2.14 (p1)"
extern const char SYS_VERSION[];
// Who built the library, on which host, from which source folder, and when.
extern const char QMR_BUILD_INFO[];
}

#endif  // QMR_BUILDINFO_H
