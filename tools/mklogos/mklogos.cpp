// Draws the zel mark (a gold Z crossed by a white bar), the maker's wordmark and the
// application icons, and writes them as the uncompressed 24-bit bitmaps, the Windows
// icon, the PNG icons at the desktop's icon sizes and a scalable SVG icon.
//
// All drawing is integer arithmetic on a supersampled grid, and the PNG files are
// encoded here rather than by an image library, so the output is the same byte for
// byte on every compiler, architecture and Qt version (given the same zlib); the
// committed files can therefore be checked against a fresh run.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QVector>
#include <QtEndian>

#include <cstdint>

namespace {

// Geometry is given in sub-units: 8 per pixel. Each pixel is sampled at 4 x 4 points,
// the centres of its 2 x 2 sub-unit cells.
constexpr int64_t Sub = 8;
constexpr int Samples = 4;
constexpr int64_t AlphaOne = 65536;

struct Rgb
{
    int r;
    int g;
    int b;
};

constexpr Rgb Gold{0xf7, 0xe0, 0x9d};
constexpr Rgb White{0xff, 0xff, 0xff};

struct Point
{
    int64_t x;
    int64_t y;
};

// A polyline drawn with round caps and joins: a point is inside when it lies within
// `radius` of one of its segments.
struct Stroke
{
    QVector<Point> points;
    int64_t radius;

    bool contains(Point p) const
    {
        const int64_t r2 = radius * radius;
        for (int i = 0; i + 1 < points.size(); ++i) {
            if (nearSegment(p, points.at(i), points.at(i + 1), r2))
                return true;
        }
        return points.size() == 1 && nearSegment(p, points.at(0), points.at(0), r2);
    }

    static bool nearSegment(Point p, Point a, Point b, int64_t r2)
    {
        const int64_t dx = b.x - a.x, dy = b.y - a.y;
        const int64_t px = p.x - a.x, py = p.y - a.y;
        const int64_t len2 = dx * dx + dy * dy;
        const int64_t t = px * dx + py * dy;
        if (len2 == 0 || t <= 0)
            return px * px + py * py <= r2;
        if (t >= len2) {
            const int64_t qx = p.x - b.x, qy = p.y - b.y;
            return qx * qx + qy * qy <= r2;
        }
        // Distance to the line, squared and scaled by len2 to stay in integers.
        const int64_t cross = px * dy - py * dx;
        return cross * cross <= r2 * len2;
    }
};

struct RoundRect
{
    int64_t left, top, right, bottom, radius;

    bool contains(Point p) const
    {
        if (p.x < left || p.x > right || p.y < top || p.y > bottom)
            return false;
        const int64_t cx = qBound(left + radius, p.x, right - radius);
        const int64_t cy = qBound(top + radius, p.y, bottom - radius);
        const int64_t dx = p.x - cx, dy = p.y - cy;
        return dx * dx + dy * dy <= radius * radius;
    }
};

// Premultiplied colour with 16-bit fixed-point alpha; starts fully transparent.
struct Canvas
{
    int width;
    int height;
    QVector<int64_t> red, green, blue, alpha;

    Canvas(int w, int h) : width(w), height(h), red(w * h), green(w * h), blue(w * h), alpha(w * h)
    {}

    template <typename Shape, typename Colour> void fill(const Shape &shape, Colour colourAt)
    {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                int covered = 0;
                for (int sy = 0; sy < Samples; ++sy) {
                    for (int sx = 0; sx < Samples; ++sx) {
                        const Point p{x * Sub + sx * 2 + 1, y * Sub + sy * 2 + 1};
                        covered += shape.contains(p) ? 1 : 0;
                    }
                }
                if (covered)
                    blend(x, y, colourAt(x, y), covered * AlphaOne / (Samples * Samples));
            }
        }
    }

    template <typename Shape> void fill(const Shape &shape, Rgb colour)
    {
        fill(shape, [colour](int, int) { return colour; });
    }

    void blend(int x, int y, Rgb c, int64_t a)
    {
        const int i = y * width + x;
        const int64_t keep = AlphaOne - a;
        red[i] = c.r * a + scale(red[i], keep);
        green[i] = c.g * a + scale(green[i], keep);
        blue[i] = c.b * a + scale(blue[i], keep);
        alpha[i] = a + scale(alpha[i], keep);
    }

    static int64_t scale(int64_t v, int64_t f) { return (v * f + AlphaOne / 2) / AlphaOne; }

    // The colour as seen on a black background.
    Rgb overBlack(int x, int y) const
    {
        const int i = y * width + x;
        return {int(scale(red[i], 1)), int(scale(green[i], 1)), int(scale(blue[i], 1))};
    }

    bool opaqueEnough(int x, int y) const { return alpha[y * width + x] >= AlphaOne / 2; }

    QImage toImage() const
    {
        QImage image(width, height, QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int i = y * width + x;
                const int64_t a = alpha[i];
                auto unmul = [a](int64_t v) { return a ? int((v + a / 2) / a) : 0; };
                image.setPixel(x, y,
                               qRgba(unmul(red[i]), unmul(green[i]), unmul(blue[i]),
                                     int((a * 255 + AlphaOne / 2) / AlphaOne)));
            }
        }
        return image;
    }
};

// The Z mark inside a box (sub-units); coordinates are in thousandths of the box.
// The bitmaps and the SVG icon are drawn from this one description.
struct Mark
{
    Stroke z;
    Stroke bar;
};

Mark markIn(int64_t left, int64_t top, int64_t width, int64_t height)
{
    auto at = [&](int64_t fx, int64_t fy) {
        return Point{left + width * fx / 1000, top + height * fy / 1000};
    };
    return {Stroke{{at(160, 180), at(840, 180), at(160, 820), at(840, 820)}, width * 65 / 1000},
            Stroke{{at(290, 485), at(710, 485)}, width * 38 / 1000}};
}

void drawMark(Canvas &canvas, const Mark &mark)
{
    canvas.fill(mark.z, Gold);
    canvas.fill(mark.bar, White);
}

QByteArray bitmapBytes(const Canvas &canvas)
{
    // Rows bottom-up, blue-green-red, each padded to four bytes.
    QByteArray bytes;
    const int padding = (4 - canvas.width * 3 % 4) % 4;
    for (int y = canvas.height - 1; y >= 0; --y) {
        for (int x = 0; x < canvas.width; ++x) {
            const Rgb c = canvas.overBlack(x, y);
            bytes.append(char(c.b)).append(char(c.g)).append(char(c.r));
        }
        bytes.append(padding, '\0');
    }
    return bytes;
}

QByteArray maskBytes(const Canvas &canvas)
{
    // Set bits are transparent; rows bottom-up, padded to four bytes.
    QByteArray bytes;
    const int rowBytes = (canvas.width + 31) / 32 * 4;
    for (int y = canvas.height - 1; y >= 0; --y) {
        QByteArray row(rowBytes, '\0');
        for (int x = 0; x < canvas.width; ++x) {
            if (!canvas.opaqueEnough(x, y))
                row[x / 8] = char(row.at(x / 8) | (0x80 >> (x % 8)));
        }
        bytes.append(row);
    }
    return bytes;
}

void put16(QByteArray &out, int v)
{
    out.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

void put32(QByteArray &out, int64_t v)
{
    put16(out, int(v & 0xffff));
    put16(out, int((v >> 16) & 0xffff));
}

QByteArray infoHeader(int width, int height, int imageSize, int pixelsPerMetre)
{
    QByteArray out;
    put32(out, 40);
    put32(out, width);
    put32(out, height);
    put16(out, 1);  // planes
    put16(out, 24); // bits per pixel
    put32(out, 0);  // no compression
    put32(out, imageSize);
    put32(out, pixelsPerMetre);
    put32(out, pixelsPerMetre);
    put32(out, 0); // colours used
    put32(out, 0); // important colours
    return out;
}

QByteArray bmpFile(const Canvas &canvas)
{
    const QByteArray pixels = bitmapBytes(canvas);
    QByteArray out("BM");
    put32(out, 14 + 40 + pixels.size());
    put32(out, 0);
    put32(out, 14 + 40);
    out.append(infoHeader(canvas.width, canvas.height, pixels.size(), 2835)); // 72 dpi
    out.append(pixels);
    return out;
}

QByteArray icoFile(const QVector<Canvas> &images)
{
    QByteArray directory;
    put16(directory, 0);
    put16(directory, 1); // icon
    put16(directory, images.size());
    QByteArray data;
    const int firstOffset = 6 + 16 * images.size();
    for (const Canvas &canvas : images) {
        const QByteArray pixels = bitmapBytes(canvas);
        const QByteArray mask = maskBytes(canvas);
        // An icon's header counts the colour bitmap and the mask together.
        QByteArray image =
            infoHeader(canvas.width, canvas.height * 2, pixels.size() + mask.size(), 0);
        image.append(pixels).append(mask);
        directory.append(char(canvas.width)).append(char(canvas.height));
        directory.append('\0').append('\0'); // no palette, reserved
        put16(directory, 1);                 // planes
        put16(directory, 24);
        put32(directory, image.size());
        put32(directory, firstOffset + data.size());
        data.append(image);
    }
    return directory + data;
}

Canvas zelLogo()
{
    Canvas canvas(27, 33);
    drawMark(canvas, markIn(0, 0, 27 * Sub, 33 * Sub));
    return canvas;
}

// The maker's name in chamfered capitals, letter grid 10 x 16 pixels, over a gold rule.
Canvas braselLogo()
{
    using Letter = QVector<QVector<Point>>;
    const Letter b{{{0, 0}, {7, 0}, {10, 3}, {10, 5}, {7, 8}, {0, 8}},
                   {{7, 8}, {10, 11}, {10, 13}, {7, 16}, {0, 16}, {0, 0}}};
    const Letter r{{{0, 16}, {0, 0}, {7, 0}, {10, 3}, {10, 5}, {7, 8}, {0, 8}}, {{5, 8}, {10, 16}}};
    const Letter a{{{0, 16}, {0, 3}, {3, 0}, {7, 0}, {10, 3}, {10, 16}}, {{0, 9}, {10, 9}}};
    const Letter s{
        {{10, 0}, {3, 0}, {0, 3}, {0, 5}, {3, 8}, {7, 8}, {10, 11}, {10, 13}, {7, 16}, {0, 16}}};
    const Letter e{{{10, 0}, {0, 0}, {0, 16}, {10, 16}}, {{0, 8}, {7, 8}}};
    const Letter l{{{0, 0}, {0, 16}, {10, 16}}};
    const QVector<Letter> word{b, r, a, s, e, l};

    Canvas canvas(200, 33);
    constexpr int Advance = 22, Left = 40, Top = 6;
    for (int i = 0; i < word.size(); ++i) {
        for (const QVector<Point> &line : word.at(i)) {
            Stroke stroke{{}, 10};
            for (const Point &p : line)
                stroke.points.append({(Left + i * Advance + p.x) * Sub, (Top + p.y) * Sub});
            canvas.fill(stroke, White);
        }
    }
    const int64_t ruleY = 27 * Sub + Sub / 2;
    canvas.fill(Stroke{{{Left * Sub, ruleY}, {(Left + 5 * Advance + 10) * Sub, ruleY}}, 6}, Gold);
    return canvas;
}

// The icon: the mark on a rounded tile carrying the window's diagonal gradient, dark at
// the bottom left and light at the top right.
constexpr int TileDark = 0x1d;
constexpr int TileLight = 0x68;

struct IconLayout
{
    RoundRect tile;
    Mark mark;
};

IconLayout iconLayout(int width, int height)
{
    const int64_t w = width * Sub, h = height * Sub;
    const int64_t radius = qMin(w, h) * 18 / 100;
    const int64_t markHeight = h * 76 / 100;
    const int64_t markWidth = markHeight * 27 / 33;
    return {RoundRect{0, 0, w, h, radius},
            markIn((w - markWidth) / 2, (h - markHeight) / 2, markWidth, markHeight)};
}

Canvas icon(int width, int height)
{
    Canvas canvas(width, height);
    const IconLayout layout = iconLayout(width, height);
    const int span = width + height - 2;
    canvas.fill(layout.tile, [span, height](int x, int y) {
        const int t = x + (height - 1 - y);
        const int v = TileDark + ((TileLight - TileDark) * t + span / 2) / span;
        return Rgb{v, v, v};
    });
    drawMark(canvas, layout.mark);
    return canvas;
}

// The icon sizes desktops look for in the hicolor theme; each gets its own PNG.
const QVector<int> IconSizes{16, 24, 32, 48, 64, 128, 256};

// PNG, 8-bit RGBA, unfiltered rows, one zlib stream.
quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffff;
    for (char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    const QByteArray typed = QByteArray(type) + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(crc32(typed), crc.data());
    return out + typed + crc;
}

QByteArray pngFile(const Canvas &canvas)
{
    const QImage image = canvas.toImage();
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(canvas.width), header.data());
    qToBigEndian<quint32>(quint32(canvas.height), header.data() + 4);
    header[8] = 8; // bits per channel
    header[9] = 6; // RGBA
    QByteArray rows;
    for (int y = 0; y < canvas.height; ++y) {
        rows.append('\0'); // no filter
        for (int x = 0; x < canvas.width; ++x) {
            const QRgb p = image.pixel(x, y);
            rows.append(char(qRed(p))).append(char(qGreen(p))).append(char(qBlue(p)));
            rows.append(char(qAlpha(p)));
        }
    }
    // qCompress puts the uncompressed length in front of the zlib stream.
    const QByteArray zlib = qCompress(rows, 9).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n") + pngChunk("IHDR", header) + pngChunk("IDAT", zlib) +
           pngChunk("IEND", QByteArray());
}

// The same icon as SVG, 256 units square; sub-unit coordinates divide exactly into
// short decimals.
QString svgNumber(int64_t subUnits)
{
    return QString::number(double(subUnits) / Sub, 'g', 12);
}

QString svgStroke(const Stroke &stroke, const char *colour)
{
    QStringList points;
    for (const Point &p : stroke.points)
        points << svgNumber(p.x) + ',' + svgNumber(p.y);
    return QStringLiteral("  <polyline points=\"%1\" fill=\"none\" stroke=\"%2\" "
                          "stroke-width=\"%3\" stroke-linecap=\"round\" "
                          "stroke-linejoin=\"round\"/>\n")
        .arg(points.join(' '), QLatin1String(colour), svgNumber(2 * stroke.radius));
}

QByteArray svgIcon()
{
    constexpr int Size = 256;
    const IconLayout layout = iconLayout(Size, Size);
    auto grey = [](int v) { return QStringLiteral("#%1%1%1").arg(v, 2, 16, QLatin1Char('0')); };
    QString svg;
    QTextStream(&svg) << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Size
                      << "\" height=\"" << Size << "\" viewBox=\"0 0 " << Size << ' ' << Size
                      << "\">\n"
                      << "  <defs>\n"
                      << "    <linearGradient id=\"tile\" x1=\"0\" y1=\"1\" x2=\"1\" y2=\"0\">\n"
                      << "      <stop offset=\"0\" stop-color=\"" << grey(TileDark) << "\"/>\n"
                      << "      <stop offset=\"1\" stop-color=\"" << grey(TileLight) << "\"/>\n"
                      << "    </linearGradient>\n"
                      << "  </defs>\n"
                      << "  <rect width=\"" << Size << "\" height=\"" << Size << "\" rx=\""
                      << svgNumber(layout.tile.radius) << "\" fill=\"url(#tile)\"/>\n"
                      << svgStroke(layout.mark.z, "#f7e09d")
                      << svgStroke(layout.mark.bar, "#ffffff") << "</svg>\n";
    return svg.toUtf8();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        QTextStream(stderr) << "mklogos: cannot write " << path << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: mklogos <resources dir>\n";
        return 2;
    }
    const QDir out(args.at(1));
    if (!out.mkpath(QStringLiteral("img"))) {
        QTextStream(stderr) << "mklogos: cannot create " << out.filePath("img") << '\n';
        return 1;
    }

    if (!out.mkpath(QStringLiteral("icons"))) {
        QTextStream(stderr) << "mklogos: cannot create " << out.filePath("icons") << '\n';
        return 1;
    }

    bool ok = writeFile(out.filePath("img/zel-logo"), bmpFile(zelLogo()));
    ok = writeFile(out.filePath("img/brasel-logo"), bmpFile(braselLogo())) && ok;
    ok = writeFile(out.filePath("zelloader.ico"),
                   icoFile({icon(16, 16), icon(32, 32), icon(48, 48), icon(64, 55)})) &&
         ok;
    for (int size : IconSizes) {
        ok = writeFile(out.filePath(QStringLiteral("icons/zelloader-%1.png").arg(size)),
                       pngFile(icon(size, size))) &&
             ok;
    }
    ok = writeFile(out.filePath("icons/zelloader.svg"), svgIcon()) && ok;
    return ok ? 0 : 1;
}
