#ifndef QUILLON_API_H
#define QUILLON_API_H

/* Calling convention and visibility of the library's exports: plain cdecl C functions. */
#if defined(_WIN32)
#define QUILLON_CALL __cdecl
#define QUILLON_EXPORT
#else
#define QUILLON_CALL
#if defined(QUILLON_BUILDING)
#define QUILLON_EXPORT __attribute__((visibility("default")))
#else
#define QUILLON_EXPORT
#endif
#endif

#ifdef __cplusplus
#define QUILLON_EXTERN_C extern "C"
#else
#define QUILLON_EXTERN_C
#endif

#define QUILLON_API QUILLON_EXTERN_C QUILLON_EXPORT

#endif
