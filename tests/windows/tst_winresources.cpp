// What Windows itself reads from the shipped programs: the subsystem (a window, or a
// console), and zelLoader.exe's icon group and version block, read back through the
// system's own resource and version functions as Explorer reads them.
#include "testfiles.h"
#include "zelproject.h"

#include <QVersionNumber>
#include <QtTest>

#include <windows.h>

namespace {

const QString deployDir = QStringLiteral(ZEL_DEPLOY_DIR);

#pragma pack(push, 2)
// The layout of an RT_GROUP_ICON resource: a header, then one entry per image.
struct GroupIconEntry
{
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
struct GroupIconHeader
{
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)

QByteArray resource(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    HRSRC found = FindResourceW(module, name, type);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void *data = loaded ? LockResource(loaded) : nullptr;
    return data ? QByteArray(static_cast<const char *>(data), int(SizeofResource(module, found)))
                : QByteArray();
}

} // namespace

class tst_WinResources : public QObject
{
    Q_OBJECT

private slots:
    // zelLoader.exe opens no console window; the command line is a console program.
    void subsystem_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("subsystem");
        QTest::newRow("zelLoader.exe") << "zelLoader.exe" << int(IMAGE_SUBSYSTEM_WINDOWS_GUI);
        QTest::newRow("zelloader-cli.exe")
            << "zelloader-cli.exe" << int(IMAGE_SUBSYSTEM_WINDOWS_CUI);
    }
    void subsystem()
    {
        QFETCH(QString, program);
        QFETCH(int, subsystem);
        const QByteArray image = readFile(deployDir + '/' + program);
        QVERIFY(image.size() > int(sizeof(IMAGE_DOS_HEADER)));
        const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image.constData());
        QCOMPARE(dos->e_magic, WORD(IMAGE_DOS_SIGNATURE));
        QVERIFY(dos->e_lfanew > 0 &&
                dos->e_lfanew + sizeof(IMAGE_NT_HEADERS64) <= size_t(image.size()));
        const auto *nt =
            reinterpret_cast<const IMAGE_NT_HEADERS64 *>(image.constData() + dos->e_lfanew);
        QCOMPARE(nt->Signature, DWORD(IMAGE_NT_SIGNATURE));
        QCOMPARE(nt->OptionalHeader.Magic, WORD(IMAGE_NT_OPTIONAL_HDR64_MAGIC));
        QCOMPARE(int(nt->OptionalHeader.Subsystem), subsystem);
    }

    // The icon group IDI_ICON1 holds exactly the four images, each at 24 bits, both as
    // the group lists them and as the images themselves say.
    void iconGroup()
    {
        const std::wstring path =
            QDir::toNativeSeparators(deployDir + "/zelLoader.exe").toStdWString();
        HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        QVERIFY(module);
        const QByteArray group =
            resource(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
        QStringList listed, images;
        if (group.size() >= int(sizeof(GroupIconHeader))) {
            const auto *header = reinterpret_cast<const GroupIconHeader *>(group.constData());
            const auto *entries = reinterpret_cast<const GroupIconEntry *>(group.constData() +
                                                                           sizeof(GroupIconHeader));
            for (int i = 0;
                 i < header->count &&
                 int(sizeof(GroupIconHeader) + (i + 1) * sizeof(GroupIconEntry)) <= group.size();
                 ++i) {
                listed << QStringLiteral("%1x%2x%3")
                              .arg(entries[i].width)
                              .arg(entries[i].height)
                              .arg(entries[i].bitCount);
                const QByteArray image = resource(module, MAKEINTRESOURCEW(entries[i].id),
                                                  MAKEINTRESOURCEW(3)); // RT_ICON
                if (image.size() < int(sizeof(BITMAPINFOHEADER)))
                    continue;
                // The height counts the colour image and its transparency mask.
                const auto *bitmap = reinterpret_cast<const BITMAPINFOHEADER *>(image.constData());
                images << QStringLiteral("%1x%2x%3")
                              .arg(bitmap->biWidth)
                              .arg(bitmap->biHeight / 2)
                              .arg(bitmap->biBitCount);
            }
        }
        FreeLibrary(module);
        const QStringList expected = {"16x16x24", "32x32x24", "48x48x24", "64x55x24"};
        QCOMPARE(listed, expected);
        QCOMPARE(images, expected);
    }

    // The version block: file and product version <project version>.0, product name
    // zelLoader, in the fixed part and in the strings Explorer shows.
    void versionBlock_data()
    {
        const QString version = QStringLiteral(ZEL_VERSION ".0");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("value");
        QTest::newRow("file version") << "\\FileVersion" << version;
        QTest::newRow("product version") << "\\ProductVersion" << version;
        QTest::newRow("file version text") << "\\StringFileInfo\\040904b0\\FileVersion" << version;
        QTest::newRow("product version text")
            << "\\StringFileInfo\\040904b0\\ProductVersion" << version;
        QTest::newRow("product name") << "\\StringFileInfo\\040904b0\\ProductName"
                                      << "zelLoader";
    }
    void versionBlock()
    {
        QFETCH(QString, query);
        QFETCH(QString, value);
        const std::wstring path =
            QDir::toNativeSeparators(deployDir + "/zelLoader.exe").toStdWString();
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        QVERIFY(size > 0);
        QByteArray block(int(size), '\0');
        QVERIFY(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
        void *data = nullptr;
        UINT length = 0;
        if (query.startsWith("\\StringFileInfo")) {
            QVERIFY(VerQueryValueW(block.data(), query.toStdWString().c_str(), &data, &length));
            QCOMPARE(QString::fromWCharArray(static_cast<const wchar_t *>(data)), value);
            return;
        }
        QVERIFY(VerQueryValueW(block.data(), L"\\", &data, &length));
        QVERIFY(length >= sizeof(VS_FIXEDFILEINFO));
        const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(data);
        QCOMPARE(fixed->dwSignature, DWORD(0xFEEF04BD));
        const bool file = query == "\\FileVersion";
        const DWORD high = file ? fixed->dwFileVersionMS : fixed->dwProductVersionMS;
        const DWORD low = file ? fixed->dwFileVersionLS : fixed->dwProductVersionLS;
        QCOMPARE(QVersionNumber(
                     {int(HIWORD(high)), int(LOWORD(high)), int(HIWORD(low)), int(LOWORD(low))}),
                 QVersionNumber::fromString(value));
    }
};

QTEST_GUILESS_MAIN(tst_WinResources)
#include "tst_winresources.moc"
