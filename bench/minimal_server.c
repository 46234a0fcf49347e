/* The floor for the agent's socket benchmark: the least a one-request-per-connection Unix socket
 * server can do. One thread accepts, reads once, writes a fixed reply with a line feed and closes. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SOCKET\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
    unlink(argv[1]);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(fd, 64) != 0) {
        perror("bind/listen");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    static const char reply[] = "{\"switchState\":1,\"lightMode\":2}\n";
    for (;;) {
        int c = accept(fd, NULL, NULL);
        if (c < 0) continue;
        char buf[1024];
        if (read(c, buf, sizeof buf) > 0) (void)!write(c, reply, sizeof reply - 1);
        close(c);
    }
}
