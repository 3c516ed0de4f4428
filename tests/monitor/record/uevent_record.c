/* Prints every message of the kernel's uevent group for a number of seconds,
 * one record per message: "UEVENT <n>" then one line per NUL-separated field.
 * Runs inside the recording guest (see record_uevents.sh). */
#include <linux/netlink.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 10;
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return 1;
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    struct sockaddr_nl addr = {.nl_family = AF_NETLINK, .nl_groups = 1};
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) return 1;
    printf("RECORDING\n");
    fflush(stdout);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int n = 0;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (start.tv_sec + seconds - now.tv_sec) * 1000L +
                    (start.tv_nsec - now.tv_nsec) / 1000000L;
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) continue;
        char buf[8192];
        ssize_t len = recv(fd, buf, sizeof buf, 0);
        if (len <= 0) continue;
        printf("UEVENT %d\n", ++n);
        for (ssize_t at = 0; at < len;) {
            size_t l = strnlen(buf + at, (size_t)(len - at));
            printf("%.*s\n", (int)l, buf + at);
            at += (ssize_t)l + 1;
        }
        printf("END\n");
        fflush(stdout);
    }
    printf("RECORDED %d\n", n);
    fflush(stdout);
    return 0;
}
