// Draws the window's two images, the logo and the banner, and writes them as PNG files into the directory
// given on the command line. Their output is kept in resources/images; run this again after a change here.
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

namespace {

const QColor kDeep(0x0b, 0x4f, 0x6c);
const QColor kTeal(0x14, 0x8f, 0x9b);
const QColor kMint(0x4f, 0xd1, 0xb5);

// The mark: a rounded tile with an open ring (the "C") and two linked rings inside it.
void drawMark(QPainter &p, const QRectF &box)
{
    const qreal s = box.width();
    QRadialGradient tile(box.topLeft() + QPointF(0.3 * s, 0.25 * s), 1.1 * s);
    tile.setColorAt(0.0, kMint);
    tile.setColorAt(0.55, kTeal);
    tile.setColorAt(1.0, kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(box, 0.22 * s, 0.22 * s);

    const QRectF ring = box.adjusted(0.18 * s, 0.18 * s, -0.18 * s, -0.18 * s);
    QPen pen(Qt::white, 0.11 * s, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 40 * 16, 280 * 16);

    // Two small interlocking links where the ring opens.
    pen.setWidthF(0.06 * s);
    pen.setColor(QColor(255, 255, 255, 235));
    p.setPen(pen);
    const qreal r = 0.11 * s;
    const QPointF c1 = box.center() + QPointF(0.02 * s, 0.0);
    const QPointF c2 = c1 + QPointF(0.15 * s, 0.0);
    p.drawEllipse(c1, r, r * 0.75);
    p.drawEllipse(c2, r, r * 0.75);
}

QImage makeLogo()
{
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawMark(p, QRectF(4, 4, 120, 120));
    return image;
}

QImage makeBanner()
{
    const int w = 468;
    const int h = 60;
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient background(0, 0, w, h);
    background.setColorAt(0.0, kDeep);
    background.setColorAt(0.6, kTeal);
    background.setColorAt(1.0, kMint.darker(115));
    p.fillRect(image.rect(), background);

    // A few soft diagonal bands for depth.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
        QPainterPath band;
        const qreal x = 250 + i * 55;
        band.moveTo(x, h);
        band.lineTo(x + 40, 0);
        band.lineTo(x + 62, 0);
        band.lineTo(x + 22, h);
        band.closeSubpath();
        p.setBrush(QColor(255, 255, 255, 14 + 6 * i));
        p.drawPath(band);
    }

    drawMark(p, QRectF(10, 8, 44, 44));

    QFont name("DejaVu Sans");
    name.setPixelSize(26);
    name.setBold(true);
    p.setFont(name);
    p.setPen(Qt::white);
    p.drawText(QRectF(66, 6, 260, 32), Qt::AlignLeft | Qt::AlignVCenter, "Corvalink");

    QFont line("DejaVu Sans");
    line.setPixelSize(13);
    p.setFont(line);
    p.setPen(QColor(255, 255, 255, 215));
    p.drawText(QRectF(67, 35, 260, 18), Qt::AlignLeft | Qt::AlignVCenter, "3 Client Update");

    QFont site("DejaVu Sans");
    site.setPixelSize(11);
    p.setFont(site);
    p.setPen(QColor(255, 255, 255, 190));
    p.drawText(QRectF(w - 190, h - 22, 178, 16), Qt::AlignRight | Qt::AlignVCenter, "www.corvalink.example");
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv); // text needs the font database
    if (argc != 2) {
        QTextStream(stderr) << "usage: makeartwork <output directory>\n";
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool ok = makeLogo().save(dir + "/corvalink_logo.png") && makeBanner().save(dir + "/corvalink_banner.png");
    return ok ? 0 : 1;
}
