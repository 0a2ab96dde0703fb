// Renders the application's icon (the same drawing as selvina-voice.svg: four bars of a voice
// level on a dark disc) as PNG files of the sizes given, for the tray and the icon theme, so
// that no SVG plug-in is needed at run time.
// Usage: selvina_make_icon FOLDER SIZE...  (writes FOLDER/SIZE/selvina-voice.png)
#include <QDir>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER SIZE...\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 64.0, size / 64.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1d, 0x35, 0x57));
        p.drawEllipse(QPointF(32, 32), 30, 30);
        p.setBrush(QColor(0xf1, 0xfa, 0xee));
        for (const QRectF& bar : {QRectF(13, 26, 6, 12), QRectF(23, 18, 6, 28), QRectF(35, 12, 6, 40), QRectF(45, 22, 6, 20)})
            p.drawRoundedRect(bar, 3, 3);
        p.end();
        const QString dir = QDir(folder).filePath(QString::number(size));
        QDir().mkpath(dir);
        if (!image.save(QDir(dir).filePath(QStringLiteral("selvina-voice.png")))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
