/*
 * Fixed-width integer names used by every record shared between the nvx kernel object and
 * libnvxapi. Records that cross between kernel and user space are made of these (32-bit fields
 * at fixed offsets), so the 64-bit driver and the 32-bit library agree on every layout.
 */
#ifndef NVX_TYPES_H
#define NVX_TYPES_H

#include <stdint.h>

typedef uint8_t BYTE;
typedef uint8_t U8;
typedef int8_t S8;
typedef int16_t S16;
typedef uint16_t U16;
typedef int32_t S32;
typedef uint32_t U32;
typedef int64_t S64;
typedef uint64_t U64;

#endif /* NVX_TYPES_H */
