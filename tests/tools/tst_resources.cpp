#include "testfiles.h"

#include <QApplication>
#include <QDirIterator>
#include <QImageReader>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

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

// Straight-alpha source-over, as the raster engine paints a translucent colour.
QColor over(const QColor &src, const QColor &dst)
{
    const double sa = src.alphaF(), da = dst.alphaF(), a = sa + da * (1 - sa);
    auto channel = [&](double s, double d) { return qRound((s * sa + d * da * (1 - sa)) / a); };
    return QColor(channel(src.red(), dst.red()), channel(src.green(), dst.green()),
                  channel(src.blue(), dst.blue()), qRound(a * 255));
}

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
        QStringList written, committedIcons, listedIcons;
        QDirIterator it(generated.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            written << QDir(generated.path()).relativeFilePath(it.next());
        for (const QString &name : QDir(sourceDir + "icons").entryList(QDir::Files))
            committedIcons << "icons/" + name;
        for (const QString &file : logoFiles.keys())
            if (file.startsWith("icons/"))
                listedIcons << file;
        written.sort();
        committedIcons.sort();
        QCOMPARE(written, logoFiles.keys());
        QCOMPARE(committedIcons, listedIcons);
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
        QCOMPARE(fromIco.size(), QSize(size, size));
        QCOMPARE(png.size(), QSize(size, size));
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
        QMap<QString, bool> expected{{":/css/stylesheet.css", true}, {":/firmware/pbase", true},
                                     {":/firmware/pctrl", true},     {":/firmware/pkeys", true},
                                     {":/img/brasel-logo", false},   {":/img/zel-logo", false}};
        for (const QString &file : logoFiles.keys())
            if (file.endsWith(".png"))
                expected.insert(":/" + file, false);
        QMap<QString, bool> compressed;
        QDirIterator it(QStringLiteral(":/"), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.startsWith(QLatin1String(":/q"))) // Qt's own trees
                continue;
            compressed.insert(path,
                              QResource(path).compressionAlgorithm() == QResource::ZlibCompression);
            // Read through QFile, a compressed entry comes back byte for byte.
            QVERIFY2(readFile(path) == readFile(sourceDir + path.mid(2)), qPrintable(path));
        }
        QCOMPARE(compressed, expected);
    }

    void styleSheetRulesInOrder()
    {
        const QByteArray css = readFile(QStringLiteral(":/css/stylesheet.css"));
        QCOMPARE(css.count("\r\n"), css.count('\n'));
        QCOMPARE(css.count('\r'), css.count('\n'));
        // Order decides between rules of equal specificity.
        QStringList selectors;
        auto it = QRegularExpression(QStringLiteral("([^{}]+)\\{[^{}]*\\}"))
                      .globalMatch(QString::fromLatin1(css));
        while (it.hasNext())
            selectors.append(it.next().captured(1).simplified());
        const QString expected = QLatin1String(R"(QScrollArea, QWidget | #zelLoader, QMessageBox
#headerSensor, #headerTerminal, #headerMainboard, #headerUpdate
#headerSensor:disabled, #headerTerminal:disabled, #headerMainboard:disabled, #headerUpdate:disabled
#logoHeader | * | *:disabled | QToolButton, QPushButton | QToolButton::hover, QPushButton::hover
QPushButton | QToolButton:disabled, QPushButton:disabled | QCheckBox::hover | QCheckBox::indicator
QCheckBox::indicator::checked | QCheckBox::indicator:disabled | QCheckBox::indicator::checked:disabled
QProgressBar | QProgressBar:disabled | QProgressBar::chunk
QProgressBar[working=true]::chunk | QProgressBar[working=true]::chunk:disabled
QProgressBar[pending=true]::chunk | QProgressBar[pending=true]::chunk:disabled
QProgressBar[done=true]::chunk | QProgressBar[done=true]::chunk:disabled
QProgressBar[error=true]::chunk | QProgressBar[error=true]::chunk:disabled | #totalProgress:disabled)");
        QCOMPARE(selectors.join(QLatin1String(" | ")), QString(expected).replace('\n', " | "));
    }

    void progressChunkColour_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("chunk");
        QTest::newRow("no state") << QByteArray() << true << QColor(128, 128, 160, 128);
        QTest::newRow("done") << QByteArray("done") << true << QColor("#4d9A4d");
        QTest::newRow("done, disabled") << QByteArray("done") << false << QColor("#4d7A4d");
    }

    void progressChunkColour()
    {
        QFETCH(QByteArray, property);
        QFETCH(bool, enabled);
        QFETCH(QColor, chunk);
        QProgressBar bar;
        bar.setValue(50);
        bar.setTextVisible(false);
        bar.resize(200, 30);
        // As the update sequence does: all four cleared, at most one set.
        for (const char *name : {"working", "pending", "done", "error"})
            bar.setProperty(name, property == name);
        bar.setEnabled(enabled);
        const QImage image = grabbed(bar);
        // The chunk is drawn over the bar's translucent background, seen right of it.
        const QColor groove = QColor::fromRgba(image.pixel(150, 15));
        const QColor seen = QColor::fromRgba(image.pixel(50, 15));
        QVERIFY2(near(seen, over(chunk, groove)), qPrintable(seen.name(QColor::HexArgb)));
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
