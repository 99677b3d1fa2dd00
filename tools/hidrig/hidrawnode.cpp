#define FUSE_USE_VERSION 35

#include "hidrawnode.h"

#include <fuse_lowlevel.h>

#include <linux/hidraw.h>
#include <linux/input.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using zelsim::Clock;
using namespace std::chrono_literals;

namespace {

constexpr fuse_ino_t RootIno = FUSE_ROOT_ID;
// Instrument N's file is inode FirstFileIno + N - 1, named "instrumentN".
constexpr fuse_ino_t FirstFileIno = 2;
constexpr size_t ReportsKept = 64; // what hidraw buffers per reader before it drops reports
constexpr auto Frame = 1ms;
constexpr int HidrawMajor = 240;

std::string fileName(int number)
{
    return "instrument" + std::to_string(number);
}

void complain(const char *what, const std::string &path)
{
    std::fprintf(stderr, "hidrig: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
}

bool writeFile(const std::string &path, const QByteArray &text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (!ok)
        complain("write", path);
    if (fd >= 0)
        ::close(fd);
    return ok;
}

QByteArray readFile(const std::string &path)
{
    QByteArray text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, int(n));
    if (fd >= 0)
        ::close(fd);
    return text;
}

void makeLink(const std::string &target, const std::string &path)
{
    if (::symlink(target.c_str(), path.c_str()) != 0)
        complain("symlink", path);
}

void removeEntry(const std::string &path)
{
    if (::unlink(path.c_str()) != 0)
        complain("unlink", path);
}

} // namespace

// libfuse calls plain functions with the file system as user data.
struct NodeOps
{
    static HidrawFs *fs(fuse_req_t req) { return static_cast<HidrawFs *>(fuse_req_userdata(req)); }
    // The node that opened `fi`; EBADF for a handle nobody knows.
    static HidrawNode *node(fuse_req_t req, fuse_file_info *fi)
    {
        HidrawNode *n = fs(req)->owner(fi->fh);
        if (!n)
            fuse_reply_err(req, EBADF);
        return n;
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
    {
        fs(req)->lookup(req, parent, name);
    }
    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
    {
        fs(req)->getattr(req, ino);
    }
    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
    {
        fs(req)->open(req, ino, fi);
    }
    static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi)
    {
        // The flags of the read itself: O_NONBLOCK may have been set after the open.
        if (HidrawNode *n = node(req, fi))
            n->read(req, fi->fh, size, fi->flags & O_NONBLOCK);
    }
    static void write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t,
                      fuse_file_info *fi)
    {
        if (HidrawNode *n = node(req, fi))
            n->write(req, fi->fh, buf, size);
    }
    static void poll(fuse_req_t req, fuse_ino_t, fuse_file_info *fi, fuse_pollhandle *ph)
    {
        HidrawNode *n = fs(req)->owner(fi->fh);
        if (n) {
            n->poll(req, fi->fh, ph);
            return;
        }
        if (ph)
            fuse_pollhandle_destroy(ph);
        fuse_reply_poll(req, POLLERR);
    }
    static void ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *, fuse_file_info *fi,
                      unsigned, const void *, size_t, size_t outSize)
    {
        HidrawNode *n = fs(req)->owner(fi->fh);
        if (n)
            n->ioctl(req, fi->fh, cmd, outSize);
        else
            fuse_reply_err(req, ENODEV);
    }
    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
    {
        // The reply frees the request, and with it the way to the file system.
        HidrawFs *files = fs(req);
        if (HidrawNode *n = files->owner(fi->fh)) {
            n->release(req, fi->fh);
            files->forget(fi->fh);
        } else {
            fuse_reply_err(req, 0);
        }
    }
    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
    {
        fs(req)->readdir(req, ino, size, off);
    }
    static void interrupt(fuse_req_t req, void *data)
    {
        static_cast<HidrawNode *>(data)->interrupted(req);
    }
};

// --- the file system ---

HidrawFs::HidrawFs(zelsim::Bench &bench, const std::vector<HidrawNode::Options> &nodes)
    : bench(bench)
{
    for (size_t i = 0; i < nodes.size() && i < size_t(zelsim::InstrumentCount); ++i) {
        served.push_back(std::make_unique<HidrawNode>(bench.instruments[i], nodes[i]));
        if (classDir.empty())
            classDir = nodes[i].classDir;
    }
}

HidrawFs::~HidrawFs()
{
    if (session) {
        if (mounted)
            fuse_session_unmount(session);
        fuse_session_destroy(session);
    }
    // The nodes, and with them what they published, go after the file they link to.
    served.clear();
}

bool HidrawFs::mount(const std::string &dir, std::string *error)
{
    fuse_lowlevel_ops ops{};
    ops.lookup = NodeOps::lookup;
    ops.getattr = NodeOps::getattr;
    ops.open = NodeOps::open;
    ops.read = NodeOps::read;
    ops.write = NodeOps::write;
    ops.release = NodeOps::release;
    ops.poll = NodeOps::poll;
    ops.ioctl = NodeOps::ioctl;
    ops.readdir = NodeOps::readdir;

    // allow_other lets the product run as another user; default_permissions makes
    // the kernel check the node's mode, as for a real device node.
    const char *argv[] = {"hidrig", "-o", "allow_other,default_permissions,fsname=hidrig"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    session = fuse_session_new(&args, &ops, sizeof(ops), this);
    if (!session) {
        *error = "cannot create the FUSE session";
        return false;
    }
    if (fuse_session_mount(session, dir.c_str()) != 0) {
        *error = "cannot mount on " + dir;
        return false;
    }
    mounted = true;
    const int fd = fuse_session_fd(session);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    syncPresence();
    return true;
}

int HidrawFs::fuseFd() const
{
    return session ? fuse_session_fd(session) : -1;
}

bool HidrawFs::processRequests()
{
    static fuse_buf buf{};
    // A few at a time: a reader that polls without pause keeps the queue from ever
    // running dry, and the frames must still come on time.
    for (int handled = 0; handled < 8; ++handled) {
        const int r = fuse_session_receive_buf(session, &buf);
        if (r == -EAGAIN)
            return true;
        if (r == -EINTR)
            continue;
        if (r <= 0 || fuse_session_exited(session))
            return false;
        fuse_session_process_buf(session, &buf);
        // A write can take the device off the bus (the main board's restart message);
        // the request after it, often already queued, must find it gone.
        syncPresence();
    }
    return true;
}

std::vector<HidrawNode *> HidrawFs::nodes(int number)
{
    std::vector<HidrawNode *> chosen;
    for (const auto &node : served) {
        if (!number || node->instrument().number == number)
            chosen.push_back(node.get());
    }
    return chosen;
}

void HidrawFs::syncPresence()
{
    for (const auto &node : served)
        node->withdrawIfGone();
    // A number is free when no device of the system has it; the other HID devices
    // of the rig hold theirs from the start.
    bench.assignNodes([this](int n) {
        struct stat st;
        return !classDir.empty() &&
               ::lstat((classDir + "/hidraw" + std::to_string(n)).c_str(), &st) == 0;
    });
    for (const auto &node : served)
        node->syncPresence();
}

void HidrawFs::wake()
{
    syncPresence();
    for (const auto &node : served)
        node->wake();
}

std::optional<zelsim::Clock::time_point> HidrawFs::nextWake() const
{
    std::optional<zelsim::Clock::time_point> next;
    for (const auto &node : served) {
        const auto at = node->nextWake();
        if (at && (!next || *at < *next))
            next = at;
    }
    return next;
}

HidrawNode *HidrawFs::owner(quint64 fh) const
{
    const auto it = owners.find(fh);
    return it == owners.end() ? nullptr : it->second;
}

void HidrawFs::forget(quint64 fh)
{
    owners.erase(fh);
}

void HidrawFs::fillAttr(quint64 ino, struct stat *st) const
{
    *st = {};
    st->st_ino = ino;
    if (ino == RootIno) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | served.at(ino - FirstFileIno)->mode();
        st->st_nlink = 1;
    }
}

void HidrawFs::lookup(fuse_req *req, quint64 parent, const char *name)
{
    for (size_t i = 0; parent == RootIno && i < served.size(); ++i) {
        if (fileName(int(i) + 1) != name)
            continue;
        // Nothing cached: a changed mode must count at the very next open.
        fuse_entry_param e{};
        e.ino = FirstFileIno + i;
        fillAttr(e.ino, &e.attr);
        fuse_reply_entry(req, &e);
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void HidrawFs::getattr(fuse_req *req, quint64 ino)
{
    if (ino != RootIno && (ino < FirstFileIno || ino >= FirstFileIno + served.size())) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fillAttr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

// For a look with ls: the folder holds the instruments' files.
void HidrawFs::readdir(fuse_req *req, quint64 ino, size_t size, qint64 offset)
{
    if (ino != RootIno) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, fuse_ino_t>> entries = {{".", RootIno}, {"..", RootIno}};
    for (size_t i = 0; i < served.size(); ++i)
        entries.emplace_back(fileName(int(i) + 1), FirstFileIno + i);
    std::string buf;
    for (qint64 i = offset; i < qint64(entries.size()); ++i) {
        struct stat st;
        fillAttr(entries[i].second, &st);
        const char *name = entries[i].first.c_str();
        const size_t need = fuse_add_direntry(req, nullptr, 0, name, &st, i + 1);
        if (buf.size() + need > size)
            break;
        buf.resize(buf.size() + need);
        fuse_add_direntry(req, &buf[buf.size() - need], need, name, &st, i + 1);
    }
    fuse_reply_buf(req, buf.data(), buf.size());
}

void HidrawFs::open(fuse_req *req, quint64 ino, fuse_file_info *fi)
{
    if (ino < FirstFileIno || ino >= FirstFileIno + served.size()) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    HidrawNode *node = served[ino - FirstFileIno].get();
    const quint64 fh = nextFh++;
    owners[fh] = node;
    node->open(req, fi, fh);
    if (fi->fh != fh)
        owners.erase(fh); // refused
}

// --- one instrument's node ---

HidrawNode::HidrawNode(zelsim::Model &model, const Options &options)
    : model(model), options(options)
{
    if (!options.hidDir.empty())
        descriptor = readFile(options.hidDir + "/report_descriptor");
}

HidrawNode::~HidrawNode()
{
    for (auto &entry : handles) {
        if (entry.second.poll)
            fuse_pollhandle_destroy(entry.second.poll);
    }
    if (published >= 0)
        withdraw();
}

void HidrawNode::setMode(int mode)
{
    options.mode = mode & 07777;
}

void HidrawNode::setUsbTiming(bool on)
{
    options.usbTiming = on;
    // Writes held for a frame go out now rather than wait for frames that no longer come.
    while (!on && !writes.empty()) {
        const Write w = writes.front();
        writes.pop_front();
        deliverWrite(w);
    }
}

void HidrawNode::open(fuse_req *req, fuse_file_info *fi, quint64 fh)
{
    if (!model.present()) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    if (model.accessDenied) {
        fuse_reply_err(req, EACCES);
        return;
    }
    Handle h;
    h.appearance = model.generation;
    handles.emplace(fh, h);
    ++model.opens;
    fi->fh = fh;
    // Every read and write goes to the node as it is made; without this the page
    // cache would answer reads from a file whose size is 0.
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void HidrawNode::read(fuse_req *req, quint64 fh, size_t size, bool nonblocking)
{
    const auto it = handles.find(fh);
    if (it == handles.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    Handle &h = it->second;
    if (h.dead || model.failRead.fires()) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (h.reports.empty() && !options.usbTiming)
        deliverInput(Clock::now());
    if (!h.reports.empty()) {
        const QByteArray report = h.reports.front();
        h.reports.pop_front();
        fuse_reply_buf(req, report.constData(), std::min(size, size_t(report.size())));
        return;
    }
    if (nonblocking) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    // A blocking read waits for the next report; a signal ends the wait.
    h.reads.push_back({req, size});
    fuse_req_interrupt_func(req, NodeOps::interrupt, this);
}

void HidrawNode::write(fuse_req *req, quint64 fh, const char *buf, size_t size)
{
    const auto it = handles.find(fh);
    if (it == handles.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    const Write w{req, fh, QByteArray(buf, int(size)), Clock::now()};
    if (options.usbTiming && !it->second.dead)
        writes.push_back(w); // answered when its frame has carried it
    else
        deliverWrite(w);
}

void HidrawNode::poll(fuse_req *req, quint64 fh, fuse_pollhandle *ph)
{
    const auto it = handles.find(fh);
    if (it == handles.end()) {
        if (ph)
            fuse_pollhandle_destroy(ph);
        fuse_reply_poll(req, POLLERR);
        return;
    }
    Handle &h = it->second;
    if (!h.dead && h.reports.empty() && !options.usbTiming)
        deliverInput(Clock::now());
    if (ph) {
        if (h.poll)
            fuse_pollhandle_destroy(h.poll);
        h.poll = ph;
    }
    if (h.dead)
        fuse_reply_poll(req, POLLERR | POLLHUP);
    else
        fuse_reply_poll(req, POLLOUT | POLLWRNORM |
                                 (h.reports.empty() ? 0u : unsigned(POLLIN | POLLRDNORM)));
}

void HidrawNode::ioctl(fuse_req *req, quint64 fh, unsigned int cmd, size_t outSize)
{
    const auto it = handles.find(fh);
    if (it == handles.end() || it->second.dead) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    if (cmd == HIDIOCGRDESCSIZE && outSize >= sizeof(int)) {
        const int size = int(descriptor.size());
        fuse_reply_ioctl(req, 0, &size, sizeof(size));
    } else if (cmd == HIDIOCGRDESC && outSize >= sizeof(hidraw_report_descriptor)) {
        hidraw_report_descriptor d{};
        d.size = quint32(std::min(size_t(descriptor.size()), sizeof(d.value)));
        std::memcpy(d.value, descriptor.constData(), d.size);
        fuse_reply_ioctl(req, 0, &d, sizeof(d));
    } else if (cmd == HIDIOCGRAWINFO && outSize >= sizeof(hidraw_devinfo)) {
        const hidraw_devinfo info{BUS_USB, qint16(zelsim::VendorId), qint16(zelsim::ProductId)};
        fuse_reply_ioctl(req, 0, &info, sizeof(info));
    } else {
        fuse_reply_err(req, ENOTTY);
    }
}

void HidrawNode::release(fuse_req *req, quint64 fh)
{
    const auto it = handles.find(fh);
    if (it != handles.end()) {
        for (const Read &r : it->second.reads)
            fuse_reply_err(r.req, EBADF);
        if (it->second.poll)
            fuse_pollhandle_destroy(it->second.poll);
        handles.erase(it);
    }
    fuse_reply_err(req, 0);
}

void HidrawNode::interrupted(fuse_req *req)
{
    for (auto &entry : handles) {
        auto &reads = entry.second.reads;
        for (auto r = reads.begin(); r != reads.end(); ++r) {
            if (r->req == req) {
                reads.erase(r);
                fuse_reply_err(req, EINTR);
                return;
            }
        }
    }
}

// --- the device ---

bool HidrawNode::anyAlive() const
{
    for (const auto &entry : handles) {
        if (!entry.second.dead)
            return true;
    }
    return false;
}

bool HidrawNode::anyWaiting() const
{
    for (const auto &entry : handles) {
        const Handle &h = entry.second;
        if (!h.dead && (!h.reads.empty() || h.poll))
            return true;
    }
    return false;
}

std::string HidrawNode::rawDir(int number) const
{
    return options.hidDir + "/hidraw/hidraw" + std::to_string(number);
}

// The kernel adds a device's sysfs entries before its node in /dev, and removes
// the node first: whoever learns of the node finds the device listed.
void HidrawNode::publish(int number)
{
    published = number;
    permissions = {options.mode, model.accessDenied};
    if (options.classDir.empty())
        return;
    const std::string name = "hidraw" + std::to_string(number);
    const std::string raw = rawDir(number);
    ::mkdir((options.hidDir + "/hidraw").c_str(), 0755);
    if (::mkdir(raw.c_str(), 0755) != 0)
        complain("mkdir", raw);
    writeFile(raw + "/uevent", QByteArray("MAJOR=") + QByteArray::number(HidrawMajor) + "\nMINOR=" +
                                   QByteArray::number(number) + "\nDEVNAME=" + name.c_str() + '\n');
    writeFile(raw + "/dev",
              QByteArray::number(HidrawMajor) + ':' + QByteArray::number(number) + '\n');
    makeLink(options.classDir, raw + "/subsystem");
    makeLink("../..", raw + "/device");
    // As sysfs links a class entry: relative, from /sys/class/hidraw.
    const bool inSys = raw.rfind("/sys/", 0) == 0;
    makeLink(inSys ? "../.." + raw.substr(4) : raw, options.classDir + '/' + name);
    makeLink(options.file, options.devDir + '/' + name);
}

void HidrawNode::withdraw()
{
    const int number = std::exchange(published, -1);
    if (options.classDir.empty())
        return;
    const std::string name = "hidraw" + std::to_string(number);
    const std::string raw = rawDir(number);
    removeEntry(options.devDir + '/' + name);
    removeEntry(options.classDir + '/' + name);
    for (const char *entry : {"/uevent", "/dev", "/subsystem", "/device"})
        removeEntry(raw + entry);
    if (::rmdir(raw.c_str()) != 0)
        complain("rmdir", raw);
}

// The serial number is in the HID device's uevent, where the kernel puts what
// the device reports (HID_UNIQ).
void HidrawNode::writeSerial()
{
    serialWritten = model.serial;
    if (options.hidDir.empty())
        return;
    const std::string path = options.hidDir + "/uevent";
    QList<QByteArray> lines = readFile(path).split('\n');
    for (QByteArray &line : lines) {
        if (line.startsWith("HID_UNIQ="))
            line = "HID_UNIQ=" + model.serial.toUtf8();
    }
    writeFile(path, lines.join('\n'));
}

void HidrawNode::withdrawIfGone()
{
    if (published >= 0 && (!model.present() || model.node != published))
        withdraw();
}

void HidrawNode::syncPresence()
{
    if (serialWritten != model.serial)
        writeSerial();
    if (published < 0 && model.present() && model.node >= 0) {
        publish(model.node);
    } else if (published >= 0 && permissions != std::make_pair(options.mode, model.accessDenied)) {
        // What udev's chmod or access list does to a node: an attribute change in /dev.
        permissions = {options.mode, model.accessDenied};
        const std::string node = options.devDir + "/hidraw" + std::to_string(published);
        const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        if (!options.devDir.empty() &&
            ::utimensat(AT_FDCWD, node.c_str(), now, AT_SYMLINK_NOFOLLOW) != 0)
            complain("touch", node);
    }
    for (auto &entry : handles) {
        Handle &h = entry.second;
        if (h.dead || model.alive(h.appearance))
            continue;
        h.dead = true;
        h.reports.clear();
        for (const Read &r : h.reads)
            fuse_reply_err(r.req, EIO);
        h.reads.clear();
        notify(h);
    }
    for (auto w = writes.begin(); w != writes.end();) {
        const auto it = handles.find(w->fh);
        if (it == handles.end() || it->second.dead) {
            fuse_reply_err(w->req, ENODEV);
            w = writes.erase(w);
        } else {
            ++w;
        }
    }
}

bool HidrawNode::deliverInput(Clock::time_point asOf)
{
    // The host fetches input reports only while someone has the device open.
    if (!anyAlive())
        return false;
    const QByteArray report = model.takeInputReport(asOf);
    if (report.isEmpty())
        return false;
    for (auto &entry : handles) {
        Handle &h = entry.second;
        if (h.dead)
            continue;
        if (h.reports.size() < ReportsKept)
            h.reports.push_back(report);
        serve(h);
        notify(h);
    }
    return true;
}

void HidrawNode::serve(Handle &h)
{
    while (!h.reads.empty() && !h.reports.empty()) {
        const Read r = h.reads.front();
        h.reads.pop_front();
        const QByteArray report = h.reports.front();
        h.reports.pop_front();
        fuse_reply_buf(r.req, report.constData(), std::min(r.size, size_t(report.size())));
    }
}

void HidrawNode::notify(Handle &h)
{
    if (!h.poll)
        return;
    fuse_lowlevel_notify_poll(h.poll);
    fuse_pollhandle_destroy(h.poll);
    h.poll = nullptr;
}

void HidrawNode::deliverWrite(const Write &w)
{
    const auto it = handles.find(w.fh);
    if (it == handles.end() || it->second.dead) {
        fuse_reply_err(w.req, ENODEV);
        return;
    }
    if (model.failWrite.fires()) {
        fuse_reply_err(w.req, EIO);
        return;
    }
    model.write(reinterpret_cast<const unsigned char *>(w.data.constData()), size_t(w.data.size()));
    fuse_reply_write(w.req, size_t(w.data.size()));
}

Clock::time_point HidrawNode::frameAtOrBefore(Clock::time_point t) const
{
    return epoch + std::chrono::duration_cast<Clock::duration>((t - epoch) / Frame * Frame);
}

void HidrawNode::runFrame(Clock::time_point boundary)
{
    lastFrame = boundary;
    // In first: the answer to this frame's output report cannot ride in this frame.
    deliverInput(boundary);
    if (!writes.empty() && writes.front().arrival < boundary) {
        const Write w = writes.front();
        writes.pop_front();
        deliverWrite(w);
    }
    // A restart message takes the device off the bus.
    withdrawIfGone();
    syncPresence();
}

void HidrawNode::wake()
{
    const auto now = Clock::now();
    if (options.usbTiming) {
        const auto boundary = frameAtOrBefore(now);
        if (boundary > lastFrame) {
            const auto due = model.inputDue();
            const bool out = !writes.empty() && writes.front().arrival < boundary;
            const bool in = anyAlive() && due && *due <= boundary;
            if (out || in)
                runFrame(boundary);
        }
    } else if (anyWaiting()) {
        deliverInput(now);
    }
}

std::optional<Clock::time_point> HidrawNode::nextWake() const
{
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (model.restarting)
        consider(model.backAt);
    const auto due = model.inputDue();
    if (options.usbTiming) {
        const auto firstFree = lastFrame + Frame;
        if (!writes.empty())
            consider(std::max(firstFree, frameAtOrBefore(writes.front().arrival) + Frame));
        if (due && anyAlive()) {
            const auto at = frameAtOrBefore(*due);
            consider(std::max(firstFree, at == *due ? at : at + Frame));
        }
    } else if (due && anyWaiting()) {
        consider(*due);
    }
    return next;
}
