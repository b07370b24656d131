/*
 * nvxpush: puts the STREAMS module "nvx" into, or takes it out of, the autopush list of a
 * network interface driver, lists a driver's autopushed modules, or makes the platform load
 * the nvx driver.
 *
 * The tool never talks to the nvx driver itself: it edits the platform's autopush
 * configuration through the administrative driver "/dev/sad/admin" (SAD_GAP, SAD_SAP) and
 * finds a driver's major number in "/etc/name_to_major". The platform then pushes nvx onto
 * every stream opened on the driver from then on (streams already open keep their modules).
 *
 * Every failure prints one line to standard error and ends with NVXPUSH_FAILED.
 */
#ifndef NVX_APP_NVXPUSH_H
#define NVX_APP_NVXPUSH_H

/* Exit statuses. */
#define NVXPUSH_OK       0 /* done, or nothing to change */
#define NVXPUSH_USAGE    1 /* usage text printed */
#define NVXPUSH_FAILED   2 /* any failure */
#define NVXPUSH_NOT_LAST 3 /* removal refused: nvx is not the last module of the list */

#define NVXPUSH_VERSION 1

/* The module written to and looked for in the autopush list. */
#define NVX_MODULE_NAME "nvx"

#define SAD_ADMIN_PATH     "/dev/sad/admin"
#define NVX_DEVICE_PATH    "/dev/nvx"
#define NAME_TO_MAJOR_PATH "/etc/name_to_major"

/* Buffer sizes: the command-line device name, the driver name made from it by device_path,
 * one piece of a name_to_major line (at most LINE_SIZE - 1 characters). */
#define NAME_SIZE 256
#define BUFF_SIZE 64
#define LINE_SIZE 256

/*
 * device_path - the driver name of a device name
 *
 * Copies device into a static BUFF_SIZE buffer and strips trailing decimal digits, walking
 * back from the last character but never removing the first one: hme0 gives hme, qfe12 qfe,
 * e1000g3 e1000g, and an all-digit name keeps its first digit. A name of BUFF_SIZE characters
 * or more is cut to BUFF_SIZE - 1 (callers refuse such names before they get here).
 * Returns the static buffer, which the next call overwrites.
 */
char *device_path(char *device);

/*
 * find_major - the major number of a driver, from /etc/name_to_major
 *
 * The first line that starts with name followed by white space gives the major: the decimal
 * number after the name. Only the starts of lines are compared (a line longer than a buffer
 * is read in pieces; the later pieces of it never match).
 * Returns 0 with *major set (1 or more), or NVXPUSH_FAILED after printing why: the file
 * cannot be opened, the name has no line, or its number is 0 or missing.
 */
int find_major(const char *name, int *major);

/*
 * nvxpush - list the driver's autopushed modules (list), or add nvx to its list, or take it
 * out (remove)
 *
 * The new list replaces the old one by SAP_CLEAR and then SAP_ALL, so it covers every minor
 * of the driver whatever the old one covered. If either step fails, the list as read is put
 * back (it may be lost if that fails too).
 * Returns an exit status: NVXPUSH_OK (also when nothing had to change), NVXPUSH_FAILED, or
 * NVXPUSH_NOT_LAST when removal is refused because another module is pushed above nvx.
 */
int nvxpush(const char *name, int list, int remove);

#endif /* NVX_APP_NVXPUSH_H */
