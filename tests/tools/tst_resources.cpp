#include "testfiles.h"

#include <QApplication>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>

namespace {

const QString sourceDir = QStringLiteral(ZEL_RESOURCES_DIR "/");

// What the logo tool writes, with the pixel size of each image (none for the SVG).
const QMap<QString, QSize> logoFiles{{"img/zel-logo", {27, 33}},
                                     {"img/brasel-logo", {200, 33}},
                                     {"zelloader.ico", {16, 16}},
                                     {"icons/zelloader-16.png", {16, 16}},
                                     {"icons/zelloader-24.png", {24, 24}},
                                     {"icons/zelloader-32.png", {32, 32}},
                                     {"icons/zelloader-48.png", {48, 48}},
                                     {"icons/zelloader-64.png", {64, 64}},
                                     {"icons/zelloader-128.png", {128, 128}},
                                     {"icons/zelloader-256.png", {256, 256}},
                                     {"icons/zelloader.svg", {}}};

bool near(const QColor &a, const QColor &b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

QImage grabbed(QWidget &widget)
{
    widget.ensurePolished();
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

    QTemporaryDir generated; // a fresh run of the logo tool

private slots:
    void initTestCase()
    {
        qApp->setStyleSheet(QString::fromLatin1(readFile(QStringLiteral(":/css/stylesheet.css"))));
        QCOMPARE(runProcess(QStringLiteral(ZEL_MKLOGOS), {generated.path()}).code, 0);
    }

    // The logo tool's output is committed; a fresh run must give the same bytes, and
    // neither the run nor resources/icons may hold a file not listed here.
    void generatorReproducesCommittedFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QSize>("size");
        for (auto it = logoFiles.cbegin(); it != logoFiles.cend(); ++it)
            QTest::newRow(qPrintable(it.key())) << it.key() << it.value();
    }

    void generatorReproducesCommittedFiles()
    {
        QFETCH(QString, file);
        QFETCH(QSize, size);
        const QByteArray committed = readFile(sourceDir + file);
        QVERIFY(!committed.isEmpty());
        QVERIFY(readFile(generated.filePath(file)) == committed);
        if (size.isValid())
            QCOMPARE(QImage(sourceDir + file).size(), size);
        if (file.startsWith("img/")) // the logos are 24-bit bitmaps
            QCOMPARE(int(committed.at(28)), 24);
        if (file.endsWith(".svg")) { // well-formed, on a square of 256
            QXmlStreamReader xml(committed);
            QVERIFY(xml.readNextStartElement() && xml.name() == QLatin1String("svg"));
            QCOMPARE(xml.attributes().value("viewBox").toString(), QStringLiteral("0 0 256 256"));
            while (!xml.atEnd())
                xml.readNext();
            QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        }
    }

    void generatorWritesNothingElse()
    {
        QCOMPARE(filesUnder(generated.path()), logoFiles.keys());
        const QRegularExpression icons("^icons/");
        QCOMPARE(filesUnder(sourceDir).filter(icons), logoFiles.keys().filter(icons));
    }

    // Where an icon pixel is opaque, the PNG and the Windows icon drawn at the same size
    // must agree: a PNG with swapped or shifted channels would not.
    void pngMatchesWindowsIcon_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("index"); // in the .ico
        QTest::newRow("16") << 16 << 0;
        QTest::newRow("32") << 32 << 1;
        QTest::newRow("48") << 48 << 2;
    }

    void pngMatchesWindowsIcon()
    {
        QFETCH(int, size);
        QFETCH(int, index);
        QImageReader ico(sourceDir + "zelloader.ico");
        QVERIFY(ico.jumpToImage(index));
        const QImage fromIco = ico.read().convertToFormat(QImage::Format_ARGB32);
        const QImage png = QImage(sourceDir + QStringLiteral("icons/zelloader-%1.png").arg(size))
                               .convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(fromIco.size(), QSize(size, size)); // the PNG's size is the logo tool's row
        int opaque = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                if (qAlpha(png.pixel(x, y)) == 255) {
                    ++opaque;
                    QCOMPARE(QColor(png.pixel(x, y)), QColor(fromIco.pixel(x, y)));
                }
        QVERIFY(opaque > size * size / 2);
        QVERIFY(qAlpha(png.pixel(0, 0)) < 128); // the rounded corner lets the background through
    }

    // The style sheet, the logos, the firmware images and the window icon's sizes.
    void treeHoldsTheFiles()
    {
        QMap<QString, bool> expected{{"css/stylesheet.css", true}, {"firmware/pbase", true},
                                     {"firmware/pctrl", true},     {"firmware/pkeys", true},
                                     {"img/brasel-logo", false},   {"img/zel-logo", false}};
        for (const QString &file : logoFiles.keys())
            if (file.endsWith(".png"))
                expected.insert(file, false);
        QMap<QString, bool> compressed;
        for (const QString &file : filesUnder(":/")) {
            if (file.startsWith('q')) // Qt's own trees
                continue;
            const QString path = ":/" + file;
            compressed.insert(file,
                              QResource(path).compressionAlgorithm() == QResource::ZlibCompression);
            // Read through QFile, a compressed entry comes back byte for byte.
            QVERIFY2(readFile(path) == readFile(sourceDir + file), qPrintable(path));
        }
        QCOMPARE(compressed, expected);
    }

    // The sheet is read by Qt without complaint, and gives the widgets of the
    // window their look: what the user sees, not how the rules are written.
    void styleSheetApplies_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("name"); // object name
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("text");
        QTest::addColumn<int>("pointSize");
        const QColor gold("#f7e09d"), white(Qt::white), gray(128, 128, 128);
        // clang-format off
        QTest::newRow("section header") << "QLabel" << "headerSensor" << true << gold << 14;
        QTest::newRow("section header, disabled")
            << "QLabel" << "headerUpdate" << false << QColor(179, 162, 113, 64) << 14;
        QTest::newRow("label") << "QLabel" << "versionSensor1" << true << white << 12;
        QTest::newRow("label, disabled") << "QLabel" << "versionSensor1" << false << gray << 12;
        QTest::newRow("button") << "QPushButton" << "startUpdate" << true << white << 12;
        QTest::newRow("progress bar, disabled") << "QProgressBar" << "" << false << gray << 12;
        QTest::newRow("total progress, disabled")
            << "QProgressBar" << "totalProgress" << false << white << 12;
        // clang-format on
    }

    void styleSheetApplies()
    {
        QFETCH(QString, type);
        QFETCH(QString, name);
        QFETCH(bool, enabled);
        QFETCH(QColor, text);
        QFETCH(int, pointSize);
        std::unique_ptr<QWidget> widget;
        if (type == QLatin1String("QLabel"))
            widget.reset(new QLabel(QStringLiteral("text")));
        else if (type == QLatin1String("QPushButton"))
            widget.reset(new QPushButton(QStringLiteral("text")));
        else
            widget.reset(new QProgressBar);
        widget->setObjectName(name);
        widget->setEnabled(enabled);
        widget->ensurePolished();
        const QPalette::ColorGroup group = enabled ? QPalette::Active : QPalette::Disabled;
        QCOMPARE(widget->palette().color(group, widget->foregroundRole()), text);
        QCOMPARE(widget->font().pointSize(), pointSize);
    }

    void styleSheetParses()
    {
        const QByteArray css = readFile(QStringLiteral(":/css/stylesheet.css"));
        QCOMPARE(css.count("\r\n"), css.count('\n'));
        QCOMPARE(css.count('\r'), css.count('\n'));
        // Qt names a sheet it cannot parse, and otherwise goes on without it.
        static QStringList unparsed;
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
                if (text.contains(QLatin1String("Could not parse")))
                    unparsed << text;
            });
        QLabel label;
        label.setStyleSheet(QString::fromLatin1(css));
        label.ensurePolished();
        qInstallMessageHandler(previous);
        QCOMPARE(unparsed, QStringList());
        // The logo strip: black, over a white line 3 pixels high.
        QWidget logo;
        logo.setObjectName(QStringLiteral("logoHeader"));
        logo.resize(60, 40);
        const QImage image = grabbed(logo);
        QCOMPARE(QColor(image.pixel(30, 20)), QColor(Qt::black));
        QCOMPARE(QColor(image.pixel(30, 38)), QColor(Qt::white));
        QCOMPARE(QColor(image.pixel(30, 36)), QColor(Qt::black));
    }

    void progressChunkColour_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("seen"); // the chunk over the bar's translucent background
        // (128, 128, 160, 128) over the groove
        QTest::newRow("no state") << QByteArray() << true << QColor::fromRgba(0xe0808092);
        QTest::newRow("done") << QByteArray("done") << true << QColor("#4d9A4d");
        QTest::newRow("done, disabled") << QByteArray("done") << false << QColor("#4d7A4d");
    }

    void progressChunkColour()
    {
        QFETCH(QByteArray, property);
        QFETCH(bool, enabled);
        QFETCH(QColor, seen);
        QProgressBar bar;
        bar.setValue(50);
        bar.setTextVisible(false);
        bar.resize(200, 30);
        // As the update sequence does: all four cleared, at most one set.
        for (const char *name : {"working", "pending", "done", "error"})
            bar.setProperty(name, property == name);
        bar.setEnabled(enabled);
        const QImage image = grabbed(bar);
        const QColor chunk = QColor::fromRgba(image.pixel(50, 15));
        QVERIFY2(near(chunk, seen), qPrintable(chunk.name(QColor::HexArgb)));
    }

    void messageBoxGradient()
    {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Zelora"), QStringLiteral("Done"),
                        QMessageBox::Ok);
        box.resize(300, 200);
        const QImage image = grabbed(box);
        // From the bottom-left corner (dark) to the top-right one (light).
        QVERIFY(near(QColor::fromRgba(image.pixel(0, image.height() - 1)), QColor("#1d1d1d"), 4));
        QVERIFY(near(QColor::fromRgba(image.pixel(image.width() - 1, 0)), QColor("#686868"), 4));
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
