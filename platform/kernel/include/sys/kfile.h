/*
 * Open-file flags as the kernel passes them to open and close routines (oflag) and to ioctl
 * entry points (mode). The values are the target's, not Linux's O_* values.
 *
 * Linux's <fcntl.h> defines FNDELAY, FNONBLOCK, FAPPEND with its own values (and, being a
 * system header, silently): include it before this header, never after, in code that uses
 * these flags. This header replaces those definitions.
 */
#ifndef _SYS_KFILE_H
#define _SYS_KFILE_H

#undef FREAD
#undef FWRITE
#undef FNDELAY
#undef FAPPEND
#undef FNONBLOCK
#undef FEXCL

#define FREAD     0x0001 /* open for reading */
#define FWRITE    0x0002 /* open for writing */
#define FNDELAY   0x0004 /* non-blocking (old style) */
#define FAPPEND   0x0008
#define FNONBLOCK 0x0080 /* non-blocking (POSIX) */
#define FEXCL     0x0800 /* exclusive open */

/* ioctl mode bit: the argument is a kernel address (ddi_copyin/ddi_copyout copy directly). */
#define FKIOCTL 0x80000000

#endif /* _SYS_KFILE_H */
