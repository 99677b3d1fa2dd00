#pragma once

#include "simmodel.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct fuse_session;
struct fuse_pollhandle;
struct fuse_req;
struct fuse_file_info;

// One simulated instrument as a hidraw device node: a file that behaves towards
// read, write, poll and ioctl the way the kernel's hidraw driver does for a USB
// HID device with unnumbered 64-byte reports. Each open file gets every input
// report from the moment it is open; a gone device fails reads with EIO, writes
// with ENODEV and polls with POLLERR | POLLHUP. The device's presence is
// mirrored as the kernel shows it: into the fake sysfs by a hidraw entry under
// the instrument's HID device and a class link to it, which is what the
// system's HIDAPI enumerates (with the serial number in the HID device's
// uevent), and into /dev by a node (a link to the served file), which is what
// it opens and what a program watching /dev sees come and go. Each appearance
// takes the lowest free hidraw number, as the kernel numbers them. A change of
// the node's permissions, which udev would make in /dev, touches that node.
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
        std::string hidDir;   // the instrument's HID device in the fake sysfs
        std::string classDir; // /sys/class/hidraw; empty: nothing is published
        std::string devDir;   // /dev
        std::string file;     // the served file the node in /dev links to
    };

    HidrawNode(zelsim::Model &model, const Options &options);
    ~HidrawNode();

    zelsim::Model &instrument() { return model; }
    int mode() const { return options.mode; }
    void setMode(int mode);
    void setUsbTiming(bool on);

    // The file's operations, for the file system that serves it.
    void open(fuse_req *req, fuse_file_info *fi, quint64 fh);
    void read(fuse_req *req, quint64 fh, size_t size, bool nonblocking);
    void write(fuse_req *req, quint64 fh, const char *buf, size_t size);
    void poll(fuse_req *req, quint64 fh, fuse_pollhandle *ph);
    void ioctl(fuse_req *req, quint64 fh, unsigned int cmd, size_t outSize);
    void release(fuse_req *req, quint64 fh);
    void interrupted(fuse_req *req);

    // The kernel removes a device's node before its sysfs entries, and adds them
    // the other way round; between the two the bench numbers the nodes.
    void withdrawIfGone();
    void syncPresence();
    // Runs what is due (after a control command, a due answer, a restart's end).
    void wake();
    std::optional<zelsim::Clock::time_point> nextWake() const;

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

    void publish(int number);
    void withdraw();
    void writeSerial();
    bool anyAlive() const;
    bool anyWaiting() const;
    // Takes the model's next report, if it has one by `asOf`, and hands it to every reader.
    bool deliverInput(zelsim::Clock::time_point asOf);
    void serve(Handle &h);
    void notify(Handle &h);
    void runFrame(zelsim::Clock::time_point boundary);
    void deliverWrite(const Write &w);
    zelsim::Clock::time_point frameAtOrBefore(zelsim::Clock::time_point t) const;
    std::string rawDir(int number) const;

    zelsim::Model &model;
    Options options;
    QByteArray descriptor;
    std::map<quint64, Handle> handles;
    std::deque<Write> writes;
    int published = -1; // the hidraw number the node is published as
    QString serialWritten;
    std::pair<int, bool> permissions; // the mode and refusal the node was last published with
    const zelsim::Clock::time_point epoch = zelsim::Clock::now();
    zelsim::Clock::time_point lastFrame = epoch;
};

// The bench's instruments served through FUSE: one folder with one file per
// instrument ("instrument1", ...), each handled by its HidrawNode.
//
// Single-threaded and never blocking: a read that has to wait, and with USB
// timing every write, is answered later from wake(), which the owner's event
// loop calls at nextWake() and after every other event.
class HidrawFs
{
public:
    // One node per instrument of the bench, with the options given for it.
    HidrawFs(zelsim::Bench &bench, const std::vector<HidrawNode::Options> &nodes);
    ~HidrawFs();

    // Mounts the file system on `dir`.
    bool mount(const std::string &dir, std::string *error);
    int fuseFd() const;
    // Handles requests the kernel has queued; false once the file system is gone.
    bool processRequests();

    // Every node (0 for all of them) or node `number`, from 1.
    std::vector<HidrawNode *> nodes(int number = 0);
    // Brings the nodes up to date with the bench and runs what is due.
    void wake();
    std::optional<zelsim::Clock::time_point> nextWake() const;
    void syncPresence();

private:
    friend struct NodeOps;
    void lookup(fuse_req *req, quint64 parent, const char *name);
    void getattr(fuse_req *req, quint64 ino);
    void readdir(fuse_req *req, quint64 ino, size_t size, qint64 offset);
    void open(fuse_req *req, quint64 ino, fuse_file_info *fi);
    HidrawNode *owner(quint64 fh) const;
    void forget(quint64 fh);
    void fillAttr(quint64 ino, struct stat *st) const;

    zelsim::Bench &bench;
    std::vector<std::unique_ptr<HidrawNode>> served;
    std::string classDir;
    fuse_session *session = nullptr;
    bool mounted = false;
    std::map<quint64, HidrawNode *> owners;
    quint64 nextFh = 1;
};
