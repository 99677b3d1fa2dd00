#include "testfiles.h"
#include "zelproject.h"

#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

Ran run(const QString &program, const QStringList &args,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    return runProcess(program, args, env, QString(), 300000);
}

bool installed(const QString &tool)
{
    return !QStandardPaths::findExecutable(tool).isEmpty();
}

const QString appId = QStringLiteral(ZEL_APP_ID);
const QString version = QStringLiteral(ZEL_VERSION);

// Every file the package installs.
QStringList installedFiles()
{
    QStringList files{"usr/bin/zelLoader",
                      "usr/bin/zelloader-cli",
                      "usr/lib/udev/rules.d/70-zelora-hr36.rules",
                      "usr/share/applications/" + appId + ".desktop",
                      "usr/share/metainfo/" + appId + ".metainfo.xml",
                      "usr/share/icons/hicolor/scalable/apps/" + appId + ".svg",
                      "usr/share/man/man1/zelLoader.1.gz",
                      "usr/share/man/man1/zelloader-cli.1.gz",
                      "usr/share/doc/" ZEL_PACKAGE_NAME "/copyright",
                      "usr/share/doc/" ZEL_PACKAGE_NAME "/changelog.gz"};
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        files << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/").arg(size) + appId + ".png";
    return files;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString deb;
    QString root;    // the package's files, unpacked
    QString control; // its control files
    QString skipReason;

    QString path(const QString &relative) const { return root + '/' + relative; }

    // An installed file's text, uncompressed.
    QString text(const QString &relative) const
    {
        if (relative.endsWith(".gz"))
            return QString::fromUtf8(run("gzip", {"-dc", path(relative)}).out);
        return QString::fromUtf8(readFile(path(relative)));
    }

#define REQUIRE_PACKAGE()                                                                          \
    if (!skipReason.isEmpty())                                                                     \
    QSKIP(qPrintable(skipReason))
#define REQUIRE_TOOL(tool, debianPackage)                                                          \
    if (!installed(tool))                                                                          \
    QSKIP(tool " is not installed (Debian package " debianPackage "); not checked")

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps", "file"}) {
            if (!installed(tool)) {
                skipReason = QStringLiteral("%1 is not installed (Debian packages dpkg, dpkg-dev "
                                            "and file); the Debian package is not checked")
                                 .arg(tool);
                return;
            }
        }
        const QString out = scratch.filePath("out");
        const Ran packed = run(
            ZEL_CPACK, {"-G", "DEB", "--config", ZEL_BUILD_DIR "/CPackConfig.cmake", "-B", out});
        QVERIFY2(packed.code == 0, packed.out + packed.err);
        const QStringList debs = QDir(out).entryList({"*.deb"}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        deb = out + '/' + debs.first();
        root = scratch.filePath("root");
        control = scratch.filePath("control");
        QCOMPARE(run("dpkg-deb", {"-x", deb, root}).code, 0);
        QCOMPARE(run("dpkg-deb", {"-e", deb, control}).code, 0);
        const QString arch = QString::fromUtf8(run("dpkg", {"--print-architecture"}).out.trimmed());
        QCOMPARE(debs.first(), QStringLiteral(ZEL_PACKAGE_NAME "_%1_%2.deb").arg(version, arch));
    }

    void controlField_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("pattern");
        // clang-format off
        QTest::newRow("name") << "Package" << "^" ZEL_PACKAGE_NAME "$";
        QTest::newRow("version") << "Version" << "^" + QRegularExpression::escape(version) + "$";
        QTest::newRow("section") << "Section" << "^utils$";
        // Read off the program by dpkg-shlibdeps, so they follow the Qt it was built with.
        QTest::newRow("HIDAPI") << "Depends" << "(^|, )libhidapi-hidraw0 \\(";
        QTest::newRow("Qt")
            << "Depends" << QStringLiteral("(^|, )libqt%1widgets%1 \\(").arg(ZEL_QT_MAJOR);
        QTest::newRow("maintainer") << "Maintainer" << "^[^<]+ <[^@>]+@[^>]+>$";
        QTest::newRow("summary") << "Description" << "^firmware update tool for the Zelora HR36";
        // clang-format on
    }

    void controlField()
    {
        REQUIRE_PACKAGE();
        QFETCH(QString, field);
        QFETCH(QString, pattern);
        const QString value = QString::fromUtf8(run("dpkg-deb", {"-f", deb, field}).out.trimmed());
        QVERIFY2(QRegularExpression(pattern).match(value).hasMatch(), qPrintable(value));
    }

    // Exactly the files a user's system gets, each whole: programs executable, icons of
    // the size their folder promises, and no template's @VARIABLE@ left unfilled.
    void files()
    {
        REQUIRE_PACKAGE();
        const QRegularExpression iconFolder("/(\\d+)x\\1/");
        for (const QString &file : installedFiles()) {
            const QFileInfo info(path(file));
            const bool program = file.startsWith("usr/bin/");
            QVERIFY2(info.size() > 0 && info.isExecutable() == program, qPrintable(file));
            const QRegularExpressionMatch icon = iconFolder.match(file);
            if (icon.hasMatch())
                QCOMPARE(QImage(info.filePath()).width(), icon.captured(1).toInt());
            else if (!program)
                QVERIFY2(!QRegularExpression("@[A-Z_]+@").match(text(file)).hasMatch(),
                         qPrintable(file));
        }
        QStringList expected = installedFiles();
        expected.sort();
        QCOMPARE(filesUnder(root), expected);
    }

    // The scripts run with a stand-in udevadm that logs its calls; udev's control socket
    // refusing the reload is how a chroot or container without udev looks.
    void maintainerScript_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<bool>("haveUdevadm");
        QTest::addColumn<int>("reloadExit");
        QTest::addColumn<int>("triggerExit");
        QTest::addColumn<QString>("calls");
        const QString reload = "control --reload-rules";
        const QString both = reload + " | trigger --subsystem-match=hidraw --action=change";
        // clang-format off
        QTest::newRow("installed") << "postinst" << "configure" << true << 0 << 0 << both;
        QTest::newRow("installed, udev not running")
            << "postinst" << "configure" << true << 1 << 0 << reload;
        QTest::newRow("installed, trigger fails")
            << "postinst" << "configure" << true << 0 << 1 << both;
        QTest::newRow("installed, no udevadm")
            << "postinst" << "configure" << false << 0 << 0 << "";
        QTest::newRow("upgrade undone") << "postinst" << "abort-upgrade" << true << 0 << 0 << "";
        QTest::newRow("removed") << "postrm" << "remove" << true << 0 << 0 << reload;
        QTest::newRow("purged, udev not running")
            << "postrm" << "purge" << true << 1 << 0 << reload;
        QTest::newRow("upgraded") << "postrm" << "upgrade" << true << 0 << 0 << "";
        QTest::newRow("removed, no udevadm") << "postrm" << "remove" << false << 0 << 0 << "";
        // clang-format on
    }

    void maintainerScript()
    {
        REQUIRE_PACKAGE();
        QFETCH(QString, script);
        QFETCH(QString, argument);
        QFETCH(bool, haveUdevadm);
        QFETCH(int, reloadExit);
        QFETCH(int, triggerExit);
        QFETCH(QString, calls);
        QTemporaryDir bin;
        const QString log = bin.filePath("calls");
        if (haveUdevadm) {
            const QString fake = bin.filePath("udevadm"),
                          stub = "#!/bin/sh\necho \"$*\" >> '%1'\n"
                                 "case \"$1\" in control) exit %2;; trigger) exit %3;; esac\n";
            QVERIFY(writeFile(fake, stub.arg(log).arg(reloadExit).arg(triggerExit).toUtf8()));
            QVERIFY(QFile::setPermissions(fake, QFile::ReadOwner | QFile::ExeOwner));
        }
        QVERIFY(QFileInfo(control + '/' + script).isExecutable());
        // Nothing but the stand-in on the path: the real udevadm must not be reached.
        QProcessEnvironment env;
        env.insert("PATH", bin.path());
        const Ran r = run("/bin/sh", {control + '/' + script, argument}, env);
        QVERIFY2(r.code == 0, r.err);
        QCOMPARE(QString::fromUtf8(readFile(log)).trimmed().replace('\n', " | "), calls);
    }

    void lintianFindsNoErrors()
    {
        REQUIRE_PACKAGE();
        REQUIRE_TOOL("lintian", "lintian");
        const Ran r = run("lintian", {"--fail-on", "error", "--display-info", deb});
        qInfo().noquote() << "lintian:\n" + QString::fromUtf8(r.out + r.err).trimmed();
        QCOMPARE(r.code, 0);
    }

    void desktopEntry_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        // clang-format off
        QTest::newRow("icon") << "Icon" << appId;
        QTest::newRow("program") << "Exec" << "zelLoader";
        // The class Qt gives the window on X11, from the program's name.
        QTest::newRow("window class") << "StartupWMClass" << "zelLoader";
        QTest::newRow("keywords")
            << "Keywords" << "firmware;update;flash;Zelora;HR36;keyboard;instrument;USB;";
        // clang-format on
    }

    void desktopEntry()
    {
        REQUIRE_PACKAGE();
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QString entry = "usr/share/applications/" + appId + ".desktop";
        QCOMPARE(text(entry).split('\n').filter(QRegularExpression('^' + key + '=')),
                 QStringList(key + '=' + value));
        REQUIRE_TOOL("desktop-file-validate", "desktop-file-utils");
        const Ran r = run("desktop-file-validate", {path(entry)});
        QVERIFY2(r.code == 0 && r.out.isEmpty(), r.out + r.err);
    }

    void appstreamValidates()
    {
        REQUIRE_PACKAGE();
        REQUIRE_TOOL("appstreamcli", "appstream");
        const Ran r = run("appstreamcli", {"validate", "--no-net", "--explain",
                                           path("usr/share/metainfo/" + appId + ".metainfo.xml")});
        QVERIFY2(r.code == 0, r.out + r.err);
    }

    // The AppStream file ties the package to its desktop entry, the instrument and the
    // release, and shows the screenshots kept in docs/.
    void metainfo_data()
    {
        QTest::addColumn<QString>("element");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("id") << "id" << QStringList(appId);
        QTest::newRow("desktop entry") << "launchable" << QStringList(appId + ".desktop");
        QTest::newRow("instrument") << "modalias" << QStringList("usb:v04D8pF93C*");
        QTest::newRow("screenshots")
            << "image"
            << QStringList{"screenshot-ready.png", "screenshot-boards.png",
                           "screenshot-updating.png", "screenshot-success.png"};
        QTest::newRow("newest release first") << "release" << QStringList(version);
    }

    void metainfo()
    {
        REQUIRE_PACKAGE();
        QFETCH(QString, element);
        QFETCH(QStringList, values);
        QFile file(path("usr/share/metainfo/" + appId + ".metainfo.xml"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QStringList found;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement || xml.name() != element)
                continue;
            if (element == "release") {
                found << xml.attributes().value("version").toString();
            } else if (element == "image") {
                const QString url = xml.readElementText();
                QVERIFY2(url.startsWith("https://"), qPrintable(url));
                const QString name = url.section('/', -1);
                QVERIFY2(QFile::exists(ZEL_SOURCE_DIR "/docs/" + name), qPrintable(name));
                found << name;
            } else {
                found << xml.readElementText();
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        if (element == "release")
            found = found.mid(0, 1);
        QCOMPARE(found, values);
    }

    void manPagesRenderCleanly()
    {
        REQUIRE_PACKAGE();
        REQUIRE_TOOL("groff", "groff-base");
        for (const QString page : {"zelLoader", "zelloader-cli"}) {
            const Ran groff = run("sh", {"-c", "gzip -dc \"$0\" | groff -t -man -Tutf8 -ww -z",
                                         path("usr/share/man/man1/" + page + ".1.gz")});
            QVERIFY2(groff.code == 0 && groff.err.isEmpty(), qPrintable(page + groff.err));
        }
    }

    // udev reads no <prefix>/lib/udev: an install elsewhere than /usr (the package's,
    // checked above) puts the rule into /etc.
    void udevRuleOutsideUsr()
    {
        QTemporaryDir destdir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", destdir.path());
        const Ran r = run(ZEL_CMAKE, {"--install", ZEL_BUILD_DIR, "--prefix", "/usr/local"}, env);
        QVERIFY2(r.code == 0, r.out + r.err);
        QCOMPARE(filesUnder(destdir.path(), {"*.rules"}),
                 QStringList("etc/udev/rules.d/70-zelora-hr36.rules"));
        QVERIFY(QFileInfo(destdir.path() + "/usr/local/bin/zelLoader").isFile());
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
