/* sarnik: mass-storage command library.
 *
 * Flat C interface. Every command export takes a device handle opened by
 * fnFerrule_GetDiskHandle or fnFerrule_GetCDHandle (a file descriptor, never
 * 0: 0 means no device) and sends exactly one request. The caller owns handles
 * and buffers and closes handles with close(2); handles are close-on-exec. A
 * command on a handle <= 0 sends nothing and fails. Results: see each group
 * below. The library keeps no state between calls and reads its environment
 * on every call.
 *
 * Where commands go: the simulated bus in the folder $SARNIK_SIM_BUS when that
 * is set, else the system's SCSI units (sysfs under $SARNIK_SYSFS_ROOT, default
 * /sys; nodes under $SARNIK_DEV_ROOT, default /dev; mount and swap tables
 * under $SARNIK_PROC_ROOT, default /proc).
 *
 * Files: the device-path log "tessary.txt" and the data dump "tessary.bin" live
 * in the library's root folder ($SARNIK_ROOT, or a private per-user folder;
 * sarnik_files.h gives the rule). Each is replaced whole, never half-written.
 */
#ifndef SARNIK_H
#define SARNIK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(SARNIK_BUILDING)
#define SARNIK_API __attribute__((visibility("default")))
#else
#define SARNIK_API
#endif

/* Opening a device: handle or 0. Rewrites tessary.txt with the opened path.
 * On 0, errno tells why: 0 when there is no unit at the index (tessary.txt
 * empty); EACCES when tessary.txt cannot be written (nothing was opened);
 * otherwise the unit is present (its path is in tessary.txt) and errno is the
 * reason the system refused to open it, e.g. EACCES (no permission on the
 * node), ENOENT (the node is not there, or the unit left), EBUSY. */
SARNIK_API int32_t fnFerrule_GetDiskHandle(int32_t index);
SARNIK_API int32_t fnFerrule_GetCDHandle(int32_t index);

/* Exclusive use of a unit by one program at a time.
 * fnFerrule_LockUnit takes, without waiting, the BSD flock(2) lock of the unit
 * behind the handle: on Linux on its whole-disk block device (the lock that
 * systemd-udevd and the disk tools honour) and on the unit's own node through
 * the handle; on the simulated bus one lock for all units of a device. It
 * returns a lock handle (> 0), or 0 with errno EWOULDBLOCK when another open
 * file holds the unit (any other errno: the unit could not be locked).
 * fnFerrule_UnlockUnit releases both and closes the lock handle. The locks end
 * with the process in any case. */
SARNIK_API int32_t fnFerrule_LockUnit(int32_t handle);
SARNIK_API void fnFerrule_UnlockUnit(int32_t handle, int32_t lock);

/* Where the unit behind the handle hangs, as the system saw its device when it
 * was plugged: the USB port path of the device (bus, then the hub ports down to
 * it, "1-1.3"), the device's USB serial number ("" when it has none) and the
 * unit's capacity in 512-byte sectors (0 without a medium). Each text is cut to
 * its buffer and ends in a NUL; a null buffer or a null `sectors` is skipped.
 * Sends the device nothing. 1, or 0 when the handle is not an open unit that
 * hangs on USB. */
SARNIK_API int32_t fnFerrule_GetUnitLocation(int32_t handle, char* port, int32_t port_length,
                                             char* serial, int32_t serial_length, int64_t* sectors);
/* The device node the handle was opened on ("/dev/sg3" on Linux; the unit's
 * node file on the simulated bus), cut to `node_length` and ending in a NUL.
 * Sends the device nothing. 1, or 0 when the handle is not an open unit that
 * hangs on USB. */
SARNIK_API int32_t fnFerrule_GetUnitNode(int32_t handle, char* node, int32_t node_length);

/* Buffers: the library checks no buffer length. Each export below says how
 * many bytes it reads from or writes into `buffer`; a smaller buffer is
 * overrun. A sector is 512 bytes; `count` is taken as an unsigned 32-bit
 * number of sectors (count x 512 bytes move), while a 10-byte command block
 * carries only its low byte. */

/* Standard commands: 1 = success, 0 = failure (unless noted). */
SARNIK_API int32_t fnFerrule_TestUnitReady(int32_t handle);
/* READ(10) / WRITE(10) of `count` sectors at `lba`: buffer of count x 512
 * bytes, written into (Read, ReadS) or read from (Write). */
SARNIK_API int32_t fnFerrule_Read(int32_t handle, int32_t count, int32_t lba, void* buffer);
SARNIK_API int32_t fnFerrule_ReadS(int32_t handle, int32_t count, int32_t lba, void* buffer);
SARNIK_API int32_t fnFerrule_Write(int32_t handle, int32_t count, int32_t lba, void* buffer);
/* READ CAPACITY(10): writes 8 bytes (last block address, block length, most
 * significant byte first). Bytes received (8), 0 on failure. */
SARNIK_API int32_t fnFerrule_Read25Capacity(int32_t handle, void* buffer);
SARNIK_API int32_t fnFerrule_Eject(int32_t handle, int32_t opcode, int32_t byte4);
/* No caller buffer. Always 0; the 272-byte request block is dumped to
 * tessary.bin. */
SARNIK_API int32_t fnFerrule_ModeSense(int32_t handle);
/* Byte counts reported by the platform, 0 on failure. fnFerrule_Inquiry: the
 * drive layout in a 40-byte area: 8 (no partitions) or 40 (one partition); 0
 * when there is no medium or the layout does not fit (two or more). */
SARNIK_API int32_t fnFerrule_Inquiry(int32_t handle);
SARNIK_API int32_t fnFerrule_ScsiReScan(int32_t handle);

/* Vendor command templates: 1 = success, 0 = failure (unless noted).
 * c0, c1, ...: bytes 0, 1, ... of the command block (low 8 bits of each).
 * fnFerrule_Vendor and fnFerrule_1mRead return their data only in tessary.bin:
 * when it cannot be replaced they return 0 (the previous dump stays). */
/* Writes 512 bytes into buffer. */
SARNIK_API int32_t fnFerrule_VendorR(int32_t handle, int32_t c0, void* buffer);
/* Reads `length` bytes from buffer. */
SARNIK_API int32_t fnFerrule_VendorW(int32_t handle, int32_t c0, int32_t length, void* buffer);
/* No caller buffer: the `length` bytes received go to tessary.bin only. */
SARNIK_API int32_t fnFerrule_Vendor(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                    int32_t length);
/* Writes `length` bytes into buffer. */
SARNIK_API int32_t fnFerrule_VendorScan(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t length,
                                        void* buffer);
/* 16-byte command block. 1mWrite reads 512 bytes from buffer; 1mRead has no
 * caller buffer (the 512 bytes received go to tessary.bin only). */
SARNIK_API int32_t fnFerrule_1mWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                     int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                     int32_t c8, int32_t c9, int32_t c10, int32_t c11,
                                     int32_t c12, void* buffer);
SARNIK_API int32_t fnFerrule_1mRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                    int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                    int32_t c8, int32_t c9, int32_t c10, int32_t c11, int32_t c12,
                                    int32_t ignored1, int32_t ignored2);
/* 16-byte command block; buffer of count x 512 bytes, read from (VendorWrite)
 * or written into (VendorRead). */
SARNIK_API int32_t fnFerrule_VendorWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                         int32_t c3, int32_t c4, int32_t c5, int32_t c6,
                                         int32_t c7, int32_t c8, int32_t count, void* buffer);
SARNIK_API int32_t fnFerrule_VendorRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t c6,
                                        int32_t c7, int32_t c8, int32_t count, void* buffer);
/* Vendor capacity command 0x9A: writes up to 512 bytes into buffer, which
 * must hold 512 (not the 8 of a standard READ CAPACITY: use
 * fnFerrule_Read25Capacity for that). Bytes received, 0 on failure. */
SARNIK_API int32_t fnFerrule_ReadCapacity(int32_t handle, void* buffer);
/* Filter-driver request: 0 when the control node does not exist, else 1. The
 * node is <dev root>/korvafilters, or <bus folder>/korvafilters on a simulated bus. */
SARNIK_API int32_t fnFerrule_SetConfiguration(void);

/* Device services. Action 1 restarts (disable, then enable again), 2 enables,
 * 3 disables, any other changes nothing.
 *
 * ResetDevice: every USB device (hubs and devices, also disabled ones) whose
 * name contains the pattern (a NUL-terminated UTF-16 text; case-sensitive;
 * an empty pattern matches nothing) gets the action, except hidden ones (root
 * hubs, host controllers). A device's name is its product string, else its
 * hardware ID ("USB\VID_xxxx&PID_yyyy&REV_zzzz"), else its class. Result: that
 * of the last action (1 when the change was accepted; a restart whose disable
 * failed does not enable and gives 0); 0 when nothing matched. When the device
 * list cannot be read, prints "GetClassDevs !" on standard output and returns 0.
 *
 * ResetDevice98: the first node of the device tree (depth-first, pre-order)
 * whose hardware ID contains the pattern gets the action; a restart waits
 * 30 ms between disable and enable and does not enable after a failed
 * disable. 1 once such a node was found, 0 when none was.
 *
 * Linux: USB devices are disabled through their "authorized" attribute. The
 * simulated bus: a disabled device is absent until enabled (simbus disable). */
SARNIK_API int32_t ResetDevice(const uint16_t* pattern, int32_t action);
SARNIK_API int32_t ResetDevice98(const char* pattern, int32_t action);

/* Volume services. The drive-letter table maps letters from "d" to volumes:
 * on Linux the partitions of USB mass-storage disk units in the order of
 * fnFerrule_GetDiskHandle (a unit without partitions is one volume); on the
 * simulated bus the user units (disk1, disk2) of the enabled devices in bus
 * order. A volume's name is "\\?\Volume{<guid>}\" with a GUID derived from
 * the unit's device path and the partition; its first three digits are "4ea"
 * for a volume on a USB mass-storage unit and "000" for any other.
 *
 * fnFerrule_FormatEx: formats the volume of drive number 7 (drive G; 1 = A to
 * 26 = Z) as FAT (12 or 16) with mkfs.fat, labels it "KorvaDisk" with
 * fatlabel and reads it back. 0 success; -1 mkfs.fat or fatlabel not found
 * (only $SARNIK_FORMAT_TOOLS is searched when set, else $PATH, /usr/sbin,
 * /sbin); -3 the format failed, or the volume was refused with nothing written
 * (no such drive, not on a USB mass-storage unit, mounted, holding the root or
 * a swap area, held by another device; a line on standard error says why);
 * -4 labelling failed; -5, -6, -7 reading the volume information, its free
 * space, or the information once more failed. Every call starts afresh: a
 * failure never makes a later call fail.
 *
 * fnFerrule_GetDriverName: writes the letters c to y whose volume names start
 * with "\\?\Volume{4ea", one lower-case byte each in order, to tessary.bin
 * and returns 1; 0 (tessary.bin untouched) when none does or when tessary.bin
 * cannot be replaced. */
SARNIK_API int32_t fnFerrule_FormatEx(int32_t drive);
SARNIK_API int32_t fnFerrule_GetDriverName(void);

/* Unmaps the named module (its file name or path; NULL: the program), deletes
 * its file and ends the process with status 0, in that order. A module that
 * holds this library's or the C library's code stays mapped until the end.
 * When no such module is loaded or its file cannot be deleted, a line on
 * standard error says so and the process ends with status 1. */
SARNIK_API void Suicide(const char* module) __attribute__((noreturn));

/* ResetDevice's pattern and ResetDevice98's and Suicide's texts are read up to
 * their terminating NUL; nothing is written into them. */

/* Returns its argument (a pointer-sized value, so that an address survives). */
SARNIK_API intptr_t Address(intptr_t value);

#ifdef __cplusplus
}
#endif

#endif /* SARNIK_H */
