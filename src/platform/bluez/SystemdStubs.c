/*
 * libdbus's static archive is built with systemd support and refers to two functions of
 * libsystemd. Only a bus *server* started by socket activation calls them (to take over sockets
 * that systemd opened); the agent is a bus client and never does, so linking all of libsystemd into
 * the static binary for them would be pure weight. These stand-ins report "no sockets passed".
 * They are compiled only into the static build: with a shared libdbus, libsystemd provides the
 * real ones and must not be shadowed.
 */
#ifdef VEMLO_STATIC_DBUS

int sd_listen_fds(int unset_environment);
int sd_is_socket(int fd, int family, int type, int listening);

int sd_listen_fds(int unset_environment) {
    (void)unset_environment;
    return 0;
}

int sd_is_socket(int fd, int family, int type, int listening) {
    (void)fd;
    (void)family;
    (void)type;
    (void)listening;
    return 0;
}

#endif
