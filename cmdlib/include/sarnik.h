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
 * /sys; nodes under $SARNIK_DEV_ROOT, default /dev).
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

/* Opening a device: handle or 0. Rewrites tessary.txt with the opened path. */
SARNIK_API int32_t fnFerrule_GetDiskHandle(int32_t index);
SARNIK_API int32_t fnFerrule_GetCDHandle(int32_t index);

/* Standard commands: 1 = success, 0 = failure (unless noted). */
SARNIK_API int32_t fnFerrule_TestUnitReady(int32_t handle);
SARNIK_API int32_t fnFerrule_Read(int32_t handle, int32_t count, int32_t lba, void* buffer);
SARNIK_API int32_t fnFerrule_ReadS(int32_t handle, int32_t count, int32_t lba, void* buffer);
SARNIK_API int32_t fnFerrule_Write(int32_t handle, int32_t count, int32_t lba, void* buffer);
/* Bytes received (8), 0 on failure. */
SARNIK_API int32_t fnFerrule_Read25Capacity(int32_t handle, void* buffer);
SARNIK_API int32_t fnFerrule_Eject(int32_t handle, int32_t opcode, int32_t byte4);
/* Always 0; the 272-byte request block is dumped to tessary.bin. */
SARNIK_API int32_t fnFerrule_ModeSense(int32_t handle);
/* Byte counts reported by the platform, 0 on failure. fnFerrule_Inquiry: the
 * drive layout in a 40-byte area: 8 (no partitions) or 40 (one partition); 0
 * when there is no medium or the layout does not fit (two or more). */
SARNIK_API int32_t fnFerrule_Inquiry(int32_t handle);
SARNIK_API int32_t fnFerrule_ScsiReScan(int32_t handle);

/* Vendor command templates: 1 = success, 0 = failure (unless noted). */
SARNIK_API int32_t fnFerrule_VendorR(int32_t handle, int32_t c0, void* buffer);
SARNIK_API int32_t fnFerrule_VendorW(int32_t handle, int32_t c0, int32_t length, void* buffer);
SARNIK_API int32_t fnFerrule_Vendor(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                    int32_t length);
SARNIK_API int32_t fnFerrule_VendorScan(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t length,
                                        void* buffer);
SARNIK_API int32_t fnFerrule_1mWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                     int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                     int32_t c8, int32_t c9, int32_t c10, int32_t c11,
                                     int32_t c12, void* buffer);
SARNIK_API int32_t fnFerrule_1mRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                    int32_t c3, int32_t c4, int32_t c5, int32_t c6, int32_t c7,
                                    int32_t c8, int32_t c9, int32_t c10, int32_t c11, int32_t c12,
                                    int32_t ignored1, int32_t ignored2);
SARNIK_API int32_t fnFerrule_VendorWrite(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                         int32_t c3, int32_t c4, int32_t c5, int32_t c6,
                                         int32_t c7, int32_t c8, int32_t count, void* buffer);
SARNIK_API int32_t fnFerrule_VendorRead(int32_t handle, int32_t c0, int32_t c1, int32_t c2,
                                        int32_t c3, int32_t c4, int32_t c5, int32_t c6,
                                        int32_t c7, int32_t c8, int32_t count, void* buffer);
/* Bytes received, 0 on failure. */
SARNIK_API int32_t fnFerrule_ReadCapacity(int32_t handle, void* buffer);
/* Filter-driver request: 0 when the control node does not exist, else 1. The
 * node is <dev root>/korvafilters, or <bus folder>/korvafilters on a simulated bus. */
SARNIK_API int32_t fnFerrule_SetConfiguration(void);

#ifdef __cplusplus
}
#endif

#endif /* SARNIK_H */
