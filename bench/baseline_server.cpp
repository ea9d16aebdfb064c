// The floor for the lookup benchmark: a bare epoll server that answers every
// read with one fixed reply, no directory and no protocol work.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: baseline_server PORT\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1024) != 0) {
        std::perror("baseline_server");
        return 1;
    }
    const int epoll = ::epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    static const char reply[] = "Mar\xed" "a Mu\xf1" "oz L\xf3" "pez*961-919-3851";
    char buffer[4096];
    epoll_event events[256];
    std::fprintf(stderr, "started:\n");
    for (;;) {
        const int n = ::epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (;;) {
                    const int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                    if (client < 0)
                        break;
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = client;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, client, &e);
                }
                continue;
            }
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(fd);
                continue;
            }
            if (::write(fd, reply, sizeof reply - 1) < 0)
                ::close(fd);
        }
    }
}
