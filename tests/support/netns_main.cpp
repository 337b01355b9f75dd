// The main of test programs whose peers talk over the network: the whole process moves first into
// a network namespace of its own that has only loopback, so nothing it sends can leave the
// machine, whatever addresses its ICE agents find. Needs root, as CI and scripts/test-env run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // Before any thread exists: threads made later inherit the namespace.
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot make a network namespace (needs root): %s\n", std::strerror(errno));
        return 1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &request) != 0 ||
        (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request)) != 0) {
        std::fprintf(stderr, "cannot bring up loopback: %s\n", std::strerror(errno));
        return 1;
    }
    close(fd);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
