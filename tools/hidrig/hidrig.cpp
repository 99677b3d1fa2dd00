// hidrig: serves the simulated instruments of a bench as hidraw device nodes
// through FUSE, so that the system's HIDAPI, unchanged, talks to them as to the
// real thing. Run by run-in-rig.sh inside a private mount namespace, which also
// lays out the fake sysfs the library enumerates: one HID device for each
// instrument (--instrument, in the bench's order), under which the server adds
// a hidraw entry, linked from --class-dir, and a node in --dev-dir while the
// instrument is plugged in. Tests steer and inspect the instruments through a
// control socket, one command a line (see controlcommands.h).
//
//   hidrig --mount DIR --control SOCKET [--instrument HIDDIR]... [--class-dir DIR
//          --dev-dir DIR] [--mode OCTAL] [--usb-timing] [--unplugged]

#include "controlcommands.h"
#include "hidrawnode.h"
#include "simmodel.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

struct Client
{
    QByteArray in;
    QByteArray out;
};

int usage()
{
    std::fprintf(stderr, "usage: hidrig --mount DIR --control SOCKET [--instrument HIDDIR]... "
                         "[--class-dir DIR --dev-dir DIR] [--mode OCTAL] [--usb-timing] "
                         "[--unplugged]\n");
    return 2;
}

int listenOn(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof(addr.sun_path))
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void watch(int epoll, int fd, quint32 events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &ev) != 0)
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
}

// Sends what it can without waiting; the rest goes when the socket takes it.
bool flush(int epoll, int fd, Client &c)
{
    while (!c.out.isEmpty()) {
        const ssize_t n = ::send(fd, c.out.constData(), size_t(c.out.size()), MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0)
            return false;
        c.out.remove(0, int(n));
    }
    watch(epoll, fd, EPOLLIN | (c.out.isEmpty() ? 0u : quint32(EPOLLOUT)));
    return true;
}

void armTimer(int timer, std::optional<zelsim::Clock::time_point> at)
{
    itimerspec when{};
    if (at) {
        // steady_clock is CLOCK_MONOTONIC here; 0 would disarm, so never less than 1 ns.
        const auto ns = std::max<qint64>(
            1,
            std::chrono::duration_cast<std::chrono::nanoseconds>(at->time_since_epoch()).count());
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
    }
    ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    std::string mountDir, controlPath, classDir, devDir;
    std::vector<std::string> instruments;
    int mode = 0666;
    bool usbTiming = false;
    bool unplugged = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--mount" && hasValue)
            mountDir = argv[++i];
        else if (arg == "--control" && hasValue)
            controlPath = argv[++i];
        else if (arg == "--instrument" && hasValue)
            instruments.push_back(argv[++i]);
        else if (arg == "--class-dir" && hasValue)
            classDir = argv[++i];
        else if (arg == "--dev-dir" && hasValue)
            devDir = argv[++i];
        else if (arg == "--mode" && hasValue)
            mode = int(std::strtol(argv[++i], nullptr, 8));
        else if (arg == "--usb-timing")
            usbTiming = true;
        else if (arg == "--unplugged")
            unplugged = true;
        else
            return usage();
    }
    if (mountDir.empty() || controlPath.empty() || classDir.empty() != devDir.empty())
        return usage();
    if (!classDir.empty() && instruments.size() != size_t(zelsim::InstrumentCount)) {
        std::fprintf(stderr, "hidrig: publishing needs one --instrument for each of the %d\n",
                     zelsim::InstrumentCount);
        return 2;
    }

    zelsim::Bench bench;
    std::vector<HidrawNode::Options> nodes(zelsim::InstrumentCount);
    for (int i = 0; i < zelsim::InstrumentCount; ++i) {
        HidrawNode::Options &o = nodes[size_t(i)];
        o.mode = mode;
        o.usbTiming = usbTiming;
        o.hidDir = i < int(instruments.size()) ? instruments[size_t(i)] : std::string();
        o.classDir = classDir;
        o.devDir = devDir;
        o.file = mountDir + "/instrument" + std::to_string(i + 1);
    }
    HidrawFs fs(bench, nodes);
    ControlCommands commands(bench, fs);
    if (unplugged)
        commands.run("unplug");

    // Ended by SIGTERM or SIGINT, the node unmounts and takes its sysfs entry with it.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int stopSignals = ::signalfd(-1, &stop, SFD_CLOEXEC);

    std::string error;
    if (!fs.mount(mountDir, &error)) {
        std::fprintf(stderr, "hidrig: %s\n", error.c_str());
        return 1;
    }
    // The socket comes last: whoever can connect finds the node mounted.
    const int listener = listenOn(controlPath);
    if (listener < 0) {
        std::fprintf(stderr, "hidrig: cannot listen on %s: %s\n", controlPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    watch(epoll, fs.fuseFd(), EPOLLIN);
    watch(epoll, listener, EPOLLIN);
    watch(epoll, timer, EPOLLIN);
    watch(epoll, stopSignals, EPOLLIN);
    std::map<int, Client> clients;

    bool running = true;
    while (running) {
        fs.wake();
        armTimer(timer, fs.nextWake());
        epoll_event events[16];
        const int n = ::epoll_wait(epoll, events, 16, -1);
        for (int i = 0; i < n && running; ++i) {
            const int fd = events[i].data.fd;
            if (fd == fs.fuseFd()) {
                running = fs.processRequests();
            } else if (fd == timer) {
                quint64 expirations;
                (void)!::read(timer, &expirations, sizeof(expirations));
            } else if (fd == stopSignals) {
                running = false;
            } else if (fd == listener) {
                const int c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c >= 0) {
                    clients[c];
                    watch(epoll, c, EPOLLIN);
                }
            } else if (clients.count(fd)) {
                Client &c = clients[fd];
                bool open = true;
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    char buf[65536];
                    ssize_t got;
                    while ((got = ::recv(fd, buf, sizeof(buf), 0)) > 0)
                        c.in.append(buf, int(got));
                    open = got < 0 && errno == EAGAIN;
                }
                for (int eol; (eol = c.in.indexOf('\n')) >= 0;) {
                    c.out += commands.run(c.in.left(eol)) + '\n';
                    c.in.remove(0, eol + 1);
                    fs.wake();
                }
                // A client that has hung up after its command still gets the answer tried.
                if (!flush(epoll, fd, c) || (!open && c.out.isEmpty())) {
                    ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    clients.erase(fd);
                }
            }
        }
    }
    ::unlink(controlPath.c_str());
    return 0;
}
