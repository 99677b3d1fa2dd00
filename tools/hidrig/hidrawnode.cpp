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
constexpr fuse_ino_t NodeIno = 2;
constexpr char NodeName[] = "hidraw0";
constexpr size_t ReportsKept = 64; // what hidraw buffers per reader before it drops reports
constexpr auto Frame = 1ms;

} // namespace

// libfuse calls plain functions with the node as user data.
struct NodeOps
{
    static HidrawNode *node(fuse_req_t req)
    {
        return static_cast<HidrawNode *>(fuse_req_userdata(req));
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
    {
        node(req)->lookup(req, parent, name);
    }
    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
    {
        node(req)->getattr(req, ino);
    }
    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
    {
        node(req)->open(req, ino, fi);
    }
    static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi)
    {
        // The flags of the read itself: O_NONBLOCK may have been set after the open.
        node(req)->read(req, fi->fh, size, fi->flags & O_NONBLOCK);
    }
    static void write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t,
                      fuse_file_info *fi)
    {
        node(req)->write(req, fi->fh, buf, size);
    }
    static void poll(fuse_req_t req, fuse_ino_t, fuse_file_info *fi, fuse_pollhandle *ph)
    {
        node(req)->poll(req, fi->fh, ph);
    }
    static void ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *, fuse_file_info *fi,
                      unsigned, const void *, size_t, size_t outSize)
    {
        node(req)->ioctl(req, fi->fh, cmd, outSize);
    }
    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
    {
        node(req)->release(req, fi->fh);
    }
    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
    {
        node(req)->readdir(req, ino, size, off);
    }
    static void interrupt(fuse_req_t req, void *data)
    {
        static_cast<HidrawNode *>(data)->interrupted(req);
    }
};

HidrawNode::HidrawNode(zelsim::Model &model, const Options &options)
    : model(model), options(options)
{}

HidrawNode::~HidrawNode()
{
    for (auto &entry : handles) {
        if (entry.second.poll)
            fuse_pollhandle_destroy(entry.second.poll);
    }
    if (session) {
        if (mounted)
            fuse_session_unmount(session);
        fuse_session_destroy(session);
    }
    if (published)
        publish(false);
}

bool HidrawNode::mount(const std::string &dir, std::string *error)
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

int HidrawNode::fuseFd() const
{
    return session ? fuse_session_fd(session) : -1;
}

bool HidrawNode::processRequests()
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

// --- the file system ---

void HidrawNode::fillAttr(quint64 ino, struct stat *st) const
{
    *st = {};
    st->st_ino = ino;
    if (ino == RootIno) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        st->st_mode = S_IFREG | options.mode;
        st->st_nlink = 1;
    }
}

void HidrawNode::lookup(fuse_req *req, quint64 parent, const char *name)
{
    if (parent != RootIno || std::strcmp(name, NodeName) != 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    // Nothing cached: a changed mode must count at the very next open.
    fuse_entry_param e{};
    e.ino = NodeIno;
    fillAttr(NodeIno, &e.attr);
    fuse_reply_entry(req, &e);
}

void HidrawNode::getattr(fuse_req *req, quint64 ino)
{
    if (ino != RootIno && ino != NodeIno) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fillAttr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

// For a look with ls: the folder holds the node alone.
void HidrawNode::readdir(fuse_req *req, quint64 ino, size_t size, qint64 offset)
{
    if (ino != RootIno) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const std::pair<const char *, fuse_ino_t> entries[] = {
        {".", RootIno}, {"..", RootIno}, {NodeName, NodeIno}};
    std::string buf;
    for (qint64 i = offset; i < 3; ++i) {
        struct stat st;
        fillAttr(entries[i].second, &st);
        const size_t need = fuse_add_direntry(req, nullptr, 0, entries[i].first, &st, i + 1);
        if (buf.size() + need > size)
            break;
        buf.resize(buf.size() + need);
        fuse_add_direntry(req, &buf[buf.size() - need], need, entries[i].first, &st, i + 1);
    }
    fuse_reply_buf(req, buf.data(), buf.size());
}

void HidrawNode::open(fuse_req *req, quint64 ino, fuse_file_info *fi)
{
    if (ino != NodeIno) {
        fuse_reply_err(req, EISDIR);
        return;
    }
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
    const quint64 fh = nextFh++;
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
        const int size = int(options.descriptor.size());
        fuse_reply_ioctl(req, 0, &size, sizeof(size));
    } else if (cmd == HIDIOCGRDESC && outSize >= sizeof(hidraw_report_descriptor)) {
        hidraw_report_descriptor d{};
        d.size = quint32(std::min(size_t(options.descriptor.size()), sizeof(d.value)));
        std::memcpy(d.value, options.descriptor.constData(), d.size);
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

// The kernel adds a device's sysfs entries before its node in /dev, and removes
// the node first: whoever learns of the node finds the device listed.
void HidrawNode::publish(bool present)
{
    const auto link = [](const std::string &target, const std::string &path, bool on) {
        if (path.empty())
            return;
        const int r = on ? ::symlink(target.c_str(), path.c_str()) : ::unlink(path.c_str());
        if (r != 0)
            std::fprintf(stderr, "hidrig: %s %s: %s\n", on ? "symlink" : "unlink", path.c_str(),
                         std::strerror(errno));
    };
    if (present) {
        link(options.classTarget, options.classLink, true);
        link(options.nodeTarget, options.nodeLink, true);
    } else {
        link(options.nodeTarget, options.nodeLink, false);
        link(options.classTarget, options.classLink, false);
    }
    published = present;
    permissions = {options.mode, model.accessDenied};
}

void HidrawNode::syncPresence()
{
    if (model.present() != published) {
        publish(model.present());
    } else if (published && permissions != std::make_pair(options.mode, model.accessDenied)) {
        // What udev's chmod or access list does to a node: an attribute change in /dev.
        permissions = {options.mode, model.accessDenied};
        const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        if (!options.nodeLink.empty() &&
            ::utimensat(AT_FDCWD, options.nodeLink.c_str(), now, AT_SYMLINK_NOFOLLOW) != 0)
            std::fprintf(stderr, "hidrig: touch %s: %s\n", options.nodeLink.c_str(),
                         std::strerror(errno));
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
    syncPresence(); // a restart message takes the device off the bus
}

void HidrawNode::wake()
{
    syncPresence();
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
