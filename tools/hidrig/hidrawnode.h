#pragma once

#include "simmodel.h"

#include <QByteArray>

#include <deque>
#include <map>
#include <optional>
#include <string>

struct fuse_session;
struct fuse_pollhandle;
struct fuse_req;
struct fuse_file_info;

// The simulated instrument as a hidraw device node, served through FUSE: one
// regular file that behaves towards read, write, poll and ioctl the way the
// kernel's hidraw driver does for a USB HID device with unnumbered 64-byte
// reports. Each open file gets every input report from the moment it is open;
// a gone device fails reads with EIO, writes with ENODEV and polls with
// POLLERR | POLLHUP. The device's presence is mirrored as the kernel shows it:
// into the fake sysfs by a class link, which is what the system's HIDAPI
// enumerates, and into /dev by a node (a link to the served file), which is what
// it opens and what a program watching /dev sees come and go. A change of the
// node's permissions, which udev would make in /dev, touches that node.
//
// Single-threaded and never blocking: a read that has to wait, and with USB
// timing every write, is answered later from wake(), which the owner's event
// loop calls at nextWake() and after every other event.
//
// USB timing, when on: one 1 ms frame at a time, each moving at most one input
// report from the device to the readers and then at most one output report to
// the device. A write returns once its frame has carried it, so the answer to
// it comes one frame later at the earliest. Without USB timing a write reaches
// the device at once and a report is there as soon as the model has one.
class HidrawNode
{
public:
    struct Options
    {
        int mode = 0666;
        bool usbTiming = false;
        std::string classLink;   // /sys/class/hidraw/hidraw0
        std::string classTarget; // what the link points to: the fake device
        std::string nodeLink;    // /dev/hidraw0
        std::string nodeTarget;  // what it points to: the served file
        QByteArray descriptor;   // the report descriptor, as sysfs lists it
    };

    HidrawNode(zelsim::Model &model, const Options &options);
    ~HidrawNode();

    // Mounts the node's file system on `dir`; the node is `dir`/hidraw0.
    bool mount(const std::string &dir, std::string *error);
    int fuseFd() const;
    // Handles requests the kernel has queued; false once the file system is gone.
    bool processRequests();

    // Brings the node up to date with the model (after a control command, a due
    // answer, a restart's end) and runs what is due.
    void wake();
    std::optional<zelsim::Clock::time_point> nextWake() const;

    void setMode(int mode);
    void setUsbTiming(bool on);

private:
    struct Read
    {
        fuse_req *req;
        size_t size;
    };
    struct Handle
    {
        quint64 appearance = 0;
        bool dead = false;
        std::deque<QByteArray> reports;
        std::deque<Read> reads;
        fuse_pollhandle *poll = nullptr;
    };
    struct Write
    {
        fuse_req *req;
        quint64 fh;
        QByteArray data;
        zelsim::Clock::time_point arrival;
    };

    // The FUSE operations, called by libfuse with the node as user data.
    friend struct NodeOps;
    void lookup(fuse_req *req, quint64 parent, const char *name);
    void getattr(fuse_req *req, quint64 ino);
    void readdir(fuse_req *req, quint64 ino, size_t size, qint64 offset);
    void open(fuse_req *req, quint64 ino, fuse_file_info *fi);
    void read(fuse_req *req, quint64 fh, size_t size, bool nonblocking);
    void write(fuse_req *req, quint64 fh, const char *buf, size_t size);
    void poll(fuse_req *req, quint64 fh, fuse_pollhandle *ph);
    void ioctl(fuse_req *req, quint64 fh, unsigned int cmd, size_t outSize);
    void release(fuse_req *req, quint64 fh);
    void interrupted(fuse_req *req);

    void syncPresence();
    void publish(bool present);
    bool anyAlive() const;
    bool anyWaiting() const;
    // Takes the model's next report, if it has one by `asOf`, and hands it to every reader.
    bool deliverInput(zelsim::Clock::time_point asOf);
    void serve(Handle &h);
    void notify(Handle &h);
    void runFrame(zelsim::Clock::time_point boundary);
    void deliverWrite(const Write &w);
    zelsim::Clock::time_point frameAtOrBefore(zelsim::Clock::time_point t) const;
    void fillAttr(quint64 ino, struct stat *st) const;

    zelsim::Model &model;
    Options options;
    fuse_session *session = nullptr;
    bool mounted = false;
    std::map<quint64, Handle> handles;
    quint64 nextFh = 1;
    std::deque<Write> writes;
    bool published = false;
    std::pair<int, bool> permissions; // the mode and refusal the node was last published with
    const zelsim::Clock::time_point epoch = zelsim::Clock::now();
    zelsim::Clock::time_point lastFrame = epoch;
};
