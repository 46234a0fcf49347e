/* The floor a hook round trip is measured against: the least a program can do to ask the agent
 * one thing. Started like a hook, it connects, sends one request line, reads one reply, prints it
 * and exits. Linked statically, like the shipped binary.
 *
 * usage: hook_floor <socket path> <request JSON>
 */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof addr.sun_path) return 2;
    strcpy(addr.sun_path, argv[1]);

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) return 1;
    char request[512];
    size_t length = strlen(argv[2]);
    if (length + 1 > sizeof request) return 2;
    memcpy(request, argv[2], length);
    request[length++] = '\n';
    if (write(fd, request, length) < 0) return 1;
    char reply[4096];
    ssize_t n = read(fd, reply, sizeof reply);
    close(fd);
    if (n <= 0) return 1;
    return write(STDOUT_FILENO, reply, (size_t)n) == n ? 0 : 1;
}
