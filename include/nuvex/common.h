/* Shared definitions of the NUVEX C interface: export macro, status codes, name sizes.
 * Every failing function hands back a malloc'd message through `char** err`; release it with nvx_free. */
#ifndef NUVEX_COMMON_H
#define NUVEX_COMMON_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define NVX_EXTERN_C extern "C"
#define NVX_BEGIN_DECLS extern "C" {
#define NVX_END_DECLS }
#else
#define NVX_EXTERN_C
#define NVX_BEGIN_DECLS
#define NVX_END_DECLS
#endif

#define NVX_API __attribute__((visibility("default")))

#define NVX_OK 0
#define NVX_FAIL 1
#define NVX_CANCELLED 2
/* The call's arguments were refused before any computation (a parameter value, an unknown result
 * quantity); the message names the argument. */
#define NVX_INVALID 3

#define NVX_NAME_LEN 16        /* nuclide and species names */
#define NVX_RXNMAP_NAME_LEN 40 /* names in p_/delta_ reaction maps */
#define NVX_RXN_NAME_LEN 64    /* reaction names */
#define NVX_SOURCE_LEN 128     /* source labels of rate tables */

NVX_BEGIN_DECLS

/* Releases a message or any other buffer the library handed out (plain free). */
NVX_API void nvx_free(void* ptr);

NVX_END_DECLS

#endif
