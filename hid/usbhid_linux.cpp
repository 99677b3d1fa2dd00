// The link on Linux: the device folder tells when the instrument's node comes, goes or
// changes its permissions.
#include "usbhid.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

void UsbHid::watchDeviceNodes()
{
    // hidraw nodes live directly in /dev: the kernel adds and removes them there,
    // and udev sets their owner, mode and access lists there. inotify, under the
    // watcher, reports all of these for the folder's entries, and nothing for the
    // reads and writes on terminals that go on in /dev all the time.
    const QString folder = QStringLiteral("/dev");
    if (!QFileInfo(folder).isDir())
        return;
    nodeWatcher = new QFileSystemWatcher(this);
    if (!nodeWatcher->addPath(folder)) {
        delete nodeWatcher;
        nodeWatcher = nullptr;
        return;
    }
    connect(nodeWatcher, &QFileSystemWatcher::directoryChanged, this, &UsbHid::deviceNodesChanged);
}
