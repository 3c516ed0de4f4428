/* Counts the disk units that the command library sees and reads each one's
 * capacity; prints the count. */
#define _POSIX_C_SOURCE 200809L
#include <sarnik.h>
#include <sarnik_files.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
    int count = 0;
    for (int32_t i = 0; i < 16; ++i) {
        const int32_t handle = fnFerrule_GetDiskHandle(i);
        if (handle == 0) break;
        unsigned char capacity[8];
        const int32_t got = fnFerrule_Read25Capacity(handle, capacity);
        close(handle);
        if (got != 8) {
            fprintf(stderr, "count_disks: no capacity from disk %d\n", (int)i);
            return 1;
        }
        ++count;
    }
    if (sizeof SARNIK_LOG_FILE != sizeof "tessary.txt") return 1;
    printf("%d\n", count);
    return 0;
}
