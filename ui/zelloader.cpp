#include "zelloader.h"
#include "filesizetext.h"
#include "stamphexfile.h"
#include "ui_zelloader.h"
#include "updaterun.h"
#include "usbhidaccess.h"
#include "zelproject.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QShortcut>
#include <QShowEvent>
#include <QtGlobal>

#include <hidapi.h>

namespace {

// Older HIDAPI releases have no version macro; the licence box then names none.
#ifdef HID_API_VERSION_STR
const char *const hidapiVersion = HID_API_VERSION_STR;
#else
const char *const hidapiVersion = nullptr;
#endif

// The same gold as the logo link in the window header.
const QString linkStyle = QStringLiteral("style=\"color: rgb(245, 177, 1);\"");

// Every size the resources hold, so the window system can pick a sharp one for the
// title bar and for the task switcher.
QIcon resourceIcon()
{
    QIcon icon;
    QDirIterator icons(QStringLiteral(":/icons"), QDir::Files);
    while (icons.hasNext())
        icon.addFile(icons.next());
    return icon;
}

} // namespace

zelLoader::zelLoader(QWidget *parent)
    : QDialog(parent), zelDevice(nullptr), run(nullptr), checksumShortcut(nullptr),
      ui(new Ui::zelLoader)
{
    // A fixed-size window with the toolkit's own frame; no dialog type, so there is
    // no context-help button and the title bar is that of a normal window.
    setWindowFlags(Qt::MSWindowsFixedSizeDialogHint);
    ui->setupUi(this);

    setWindowIcon(resourceIcon());

    using P = zelInterface::PartType;
    boards = {
        {P::Sensor5, ui->checkSensor5, ui->versionSensor5, ui->progressSensor5, ui->fileStateSensor,
         &zelLoader::deviceVersionSensor5},
        {P::Sensor1, ui->checkSensor1, ui->versionSensor1, ui->progressSensor1, ui->fileStateSensor,
         &zelLoader::deviceVersionSensor1},
        {P::Sensor2, ui->checkSensor2, ui->versionSensor2, ui->progressSensor2, ui->fileStateSensor,
         &zelLoader::deviceVersionSensor2},
        {P::Sensor3, ui->checkSensor3, ui->versionSensor3, ui->progressSensor3, ui->fileStateSensor,
         &zelLoader::deviceVersionSensor3},
        {P::Sensor4, ui->checkSensor4, ui->versionSensor4, ui->progressSensor4, ui->fileStateSensor,
         &zelLoader::deviceVersionSensor4},
        {P::Terminal, ui->checkTerminal, ui->versionTerminal, ui->progressTerminal,
         ui->fileStateTerminal, &zelLoader::deviceVersionTerminal},
        {P::Mainboard, ui->checkMainboard, ui->versionMainboard, ui->progressMainboard,
         ui->fileStateMainboard, &zelLoader::deviceVersionMainboard},
    };

    // Locked until the instrument is there.
    zelDisconnected();

    connect(ui->frameworkInfo, &QToolButton::clicked, this, &zelLoader::showLicense);

    zelDevice = new zelInterface(this);
    connect(zelDevice, &zelInterface::connected, this, &zelLoader::zelConnected);
    connect(zelDevice, &zelInterface::disconnected, this, &zelLoader::zelDisconnected);
    connect(zelDevice, &zelInterface::firmwareVersion, this, &zelLoader::zelFirmwareVersion);
    // A second instrument may come while one is open; the link lists them again at a
    // change in /dev (or every few seconds where nothing tells).
    connect(zelDevice, &UsbHid::attachedChanged, this, &zelLoader::instrumentsChanged);
    // Without this, a user lacking permission on the device would wait for ever. The link is
    // closed while access is denied; when that ends, connected() follows if the device opened.
    connect(zelDevice, &UsbHid::accessDeniedChanged, this, [this](bool denied) {
        ui->totalProgress->setFormat(denied ? UsbHidAccess::deniedStatus()
                                            : QStringLiteral("Waiting for USB connection"));
    });

    // The file's family code decides which firmware it replaces, so all three
    // buttons do the same.
    connect(ui->loadMainboard, &QToolButton::clicked, this, &zelLoader::openFirmware);
    connect(ui->loadTerminal, &QToolButton::clicked, this, &zelLoader::openFirmware);
    connect(ui->loadSensor, &QToolButton::clicked, this, &zelLoader::openFirmware);

    connect(ui->advanced, &QCheckBox::clicked, this, &zelLoader::advancedClicked);

    // Maintenance only: deliberately not mentioned anywhere in the window.
    checksumShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+F11")), this, nullptr,
                                     nullptr, Qt::WindowShortcut);
    connect(checksumShortcut, &QShortcut::activated, this, &zelLoader::calcChecksum);

    connect(ui->startUpdate, &QPushButton::clicked, this, &zelLoader::startUpdate);

    // The built-in images are in place already.
    updateFileState();

    // The form's progress format is only a placeholder.
    for (const BoardRow &row : qAsConst(boards)) {
        row.progress->setFormat(QString());
        row.progress->setValue(0);
    }

    // Last: an attached instrument connects right here, and every slot must be
    // ready for it.
    zelDevice->setAutoOpen(true);
}

zelLoader::~zelLoader()
{
    // The object tree deletes the link and a running update only after the form is
    // gone, and the link announces closing the device with disconnected(): nothing
    // of theirs may reach this window's slots any more.
    zelDevice->disconnect(this);
    if (run)
        run->disconnect(this);
    delete ui;
}

void zelLoader::keyPressEvent(QKeyEvent *event)
{
    // QDialog would reject() on Escape and skip the question asked while an
    // update runs; closing goes through closeEvent.
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

void zelLoader::closeEvent(QCloseEvent *event)
{
    if (!run) {
        event->accept();
        return;
    }
    QMessageBox box(QMessageBox::Critical, tr("Cancel update"),
                    tr("Do you really want to cancel the firmware  update?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() == QMessageBox::No)
        event->ignore();
    else
        event->accept();
}

void zelLoader::showEvent(QShowEvent *event)
{
    // Every show, restoring from minimised included, starts in the plain mode.
    // The base class is left out on purpose: the window system places the window.
    Q_UNUSED(event);
    ui->controlWidget->hide();
    ui->advanced->setChecked(false);
}

void zelLoader::showLicense()
{
    // Qt 5.15 and Qt 6 are offered under the LGPL version 3, by The Qt Company.
    const QString qtText =
        QStringLiteral(
            "<h1>About Qt</h1>"
            "<p>This program uses Qt version %1.</p>"
            "<p>Qt is a C++ toolkit for cross-platform application development.</p>"
            "<p>This program uses Qt under the terms of the GNU Lesser General Public "
            "License version 3.</p>"
            "<p>Copyright (C) The Qt Company Ltd. and other contributors.</p>"
            "<p>Qt is a product of The Qt Company. See <a %2 href=\"https://www.qt.io/\">qt.io</a> "
            "for more information.</p>")
            .arg(QString::fromLatin1(qVersion()), linkStyle);

    const QString hidVersion =
        hidapiVersion ? QStringLiteral(" version %1").arg(QLatin1String(hidapiVersion)) : QString();
    const QString hidText =
        QStringLiteral(
            "<h1>About HIDAPI</h1>"
            "<p>This program uses HIDAPI%1.</p>"
            "<p>HIDAPI is a multi-platform library which allows an application to interface "
            "with USB and Bluetooth HID-class devices on Windows, Linux, FreeBSD and Mac OS X."
            "</p>"
            "<p>This program uses HIDAPI under the terms of a BSD-style license.</p>"
            "<p>Copyright (c) 2010, Alan Ott, Signal 11 Software. All rights reserved.</p>"
            "<p>See <a %2 href=\"https://github.com/libusb/hidapi\">the HIDAPI project page</a> "
            "for more information.</p>")
            .arg(hidVersion, linkStyle);

    const QString ownText =
        QStringLiteral("<p>zelLoader version %1 is licensed under the MIT License.</p>")
            .arg(QStringLiteral(ZEL_VERSION));

    QMessageBox::about(this, QStringLiteral("Licence Information"), ownText + qtText + hidText);
}

void zelLoader::advancedClicked()
{
    ui->controlWidget->setVisible(ui->advanced->isChecked());
}

// --- Connection and version display -------------------------------------------

void zelLoader::zelConnected()
{
    if (!run && several()) {
        showSeveral();
        return;
    }
    severalShown = false;
    ui->controlWidget->setEnabled(true);
    ui->mainControl->setEnabled(true);
    requestVersions();

    // After the main board's restart the running update owns the total progress.
    if (run)
        return;

    if (!images.allLoaded())
        ui->totalProgress->setFormat(tr("One or more firmware files are missing"));
    else
        ui->totalProgress->setFormat(tr("Ready to start firmware update"));
    ui->totalProgress->setValue(0);
}

void zelLoader::zelDisconnected()
{
    if (!run && several()) {
        showSeveral();
        return;
    }
    severalShown = false;
    ui->controlWidget->setEnabled(false);
    ui->mainControl->setEnabled(false);
    ui->totalProgress->setFormat(QStringLiteral("Waiting for USB connection"));
}

void zelLoader::zelFirmwareVersion(zelInterface::PartType part, QString version)
{
    // Asked before another instrument came: not to be shown beside it.
    if (severalShown)
        return;
    const BoardRow *row = boardRow(part);
    if (row)
        this->*row->deviceVersion = version;

    // A board reporting in the middle of a run (the main board's restart brings
    // every answer again) is asked afresh when the run ends.
    if (row && !run)
        row->check->setEnabled(true);

    updateFileState();
}

void zelLoader::instrumentsChanged()
{
    // A run goes on with its own instrument; the window looks again at its end.
    if (run)
        return;
    if (several())
        showSeveral();
    else if (severalShown && zelDevice->isConnected())
        zelConnected(); // the one open is the only one left: its versions again
    else if (severalShown)
        zelDisconnected();
}

bool zelLoader::several() const
{
    return zelDevice && zelDevice->attached().size() > 1;
}

void zelLoader::showSeveral(bool keepTotalText)
{
    severalShown = true;
    ui->controlWidget->setEnabled(false);
    ui->mainControl->setEnabled(false);
    for (const BoardRow &row : qAsConst(boards)) {
        (this->*row.deviceVersion).clear();
        row.check->setEnabled(false);
    }
    updateFileState();
    if (!keepTotalText)
        ui->totalProgress->setFormat(
            tr("Several instruments are attached: connect only the one to update"));
}

void zelLoader::requestVersions()
{
    // A board becomes selectable only once it has answered.
    for (const BoardRow &row : qAsConst(boards)) {
        (this->*row.deviceVersion).clear();
        row.check->setEnabled(false);
    }
    zelDevice->requestFirmwareVersion();
}

// --- Firmware files -------------------------------------------------------------

void zelLoader::openFirmware()
{
    const QStringList paths = QFileDialog::getOpenFileNames(
        this, tr("Load firmware files"), QStringLiteral("files"), tr("Firmware (*.hex)"));
    for (const QString &path : paths)
        loadFirmware(path);
    updateFileState();
}

void zelLoader::loadFirmware(QString path)
{
    FirmwareFile file;
    if (file.load(path) != FirmwareFile::Ok) {
        const QString reason = FirmwareFile::failureText(path, file.getStatus());
        QMessageBox::critical(
            this, tr("Load firmwar efile"),
            tr("An error occured while loading firmware file\n\"%1\"\n%2").arg(path, reason),
            QMessageBox::Ok);
        return;
    }

    // The family code inside the file, not the button pressed, says where it goes.
    const QString family = file.getFamilyCode();
    const FirmwareFile *field = images.find(family);

    QString question;
    if (field && field->getStatus() == FirmwareFile::Ok)
        question = tr("Do you want to replace existing firmware file\n\"%1\"\nwith selected "
                      "firmware file?\n\"%2\"")
                       .arg(field->displayName(), file.displayName());
    else
        question = tr("Use selected firmware?\n\"%1\"").arg(file.displayName());

    if (QMessageBox::question(this, tr("Load firmware file"), question,
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;

    if (!field) {
        // Without this the Yes would seem to have worked while nothing changed.
        QMessageBox::warning(this, tr("Load firmware file"),
                             tr("The firmware file\n\"%1\"\nis made for the board family \"%2\", "
                                "which this instrument does not have.\nNo firmware has been "
                                "replaced.")
                                 .arg(file.displayName(), family),
                             QMessageBox::Ok);
        return;
    }
    images.load(family, path);
}

void zelLoader::loadFirmwareFiles()
{
    images = FirmwareImages();
}

void zelLoader::updateFileState()
{
    for (const BoardRow &row : qAsConst(boards)) {
        const FirmwareFile &firmware = images.forBoard(row.part);
        QString name;
        QString detail;
        qint64 size = 0;
        switch (firmware.getStatus()) {
        case FirmwareFile::Ok:
            name = QStringLiteral("%1-%2.hex").arg(firmware.getFamilyCode(), firmware.getVersion());
            detail = firmware.getBuildDate();
            size = firmware.getHexText().size();
            break;
        case FirmwareFile::AccessDenied:
            name = tr("No valid firmware file");
            break;
        case FirmwareFile::InvalidData:
            name = tr("Firmwarefile with invalid data");
            break;
        case FirmwareFile::Corrupted:
            name = tr("Corrupted firmware file");
            break;
        default:
            break;
        }

        row.version->setText(this->*row.deviceVersion);

        QString text = name;
        if (!detail.isEmpty()) {
            if (size > 0)
                text += QStringLiteral(" (%1, %2)").arg(detail, fileSizeText(size));
            else
                text += QStringLiteral(" (%1)").arg(detail);
        } else if (size > 0) {
            text += QStringLiteral(" (%1)").arg(fileSizeText(size));
        }
        row.fileState->setText(text);
    }
}

// --- Checksum stamping --------------------------------------------------------------

void zelLoader::calcChecksum()
{
    const QString title = QStringLiteral("Firmware files");
    const QStringList paths = QFileDialog::getOpenFileNames(this, title, QDir::currentPath(),
                                                            QStringLiteral("Firmware (*.hex)"));
    for (const QString &path : paths) {
        const StampResult stamped = stampHexFile(path);
        if (stamped.status != FirmwareFile::Ok)
            QMessageBox::critical(this, title, stamped.text, QMessageBox::Ok);
        else
            loadFirmware(path);
    }

    // Stamping is maintenance, not a choice of firmware: the built-in images
    // come back whatever was answered above.
    loadFirmwareFiles();
    updateFileState();
}

// --- Board table --------------------------------------------------------------------

const zelLoader::BoardRow *zelLoader::boardRow(zelInterface::PartType part) const
{
    for (const BoardRow &row : boards) {
        if (row.part == part)
            return &row;
    }
    return nullptr;
}
