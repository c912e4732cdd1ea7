#include "ui/RemoteIcons.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

namespace {

constexpr int kLarge = 32;
constexpr int kSmall = 16;

// The desktop theme's icon when it has one, else the style's own.
QIcon DesktopIcon(const char* themeName, QStyle::StandardPixmap fallback) {
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(themeName));
    if (icon.isNull()) {
        icon = QApplication::style()->standardIcon(fallback);
    }
    return icon;
}

// The icon at both sizes, so every view mode picks a crisp one.
QIcon AtBothSizes(const QIcon& source) {
    QIcon icon;
    icon.addPixmap(source.pixmap(kLarge, kLarge));
    icon.addPixmap(source.pixmap(kSmall, kSmall));
    return icon;
}

// Two file pictures, one behind the other.
QIcon SeveralEntries(const QIcon& file) {
    QIcon icon;
    for (const int size : {kLarge, kSmall}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        const int part = size * 3 / 4;
        painter.drawPixmap(0, 0, file.pixmap(part, part));
        painter.drawPixmap(size - part, size - part, file.pixmap(part, part));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// A blank page with a folded corner, the ground of the two transfer-mode images.
void DrawPage(QPainter& painter) {
    QPainterPath page;
    page.moveTo(3, 1);
    page.lineTo(10, 1);
    page.lineTo(13, 4);
    page.lineTo(13, 14);
    page.lineTo(3, 14);
    page.closeSubpath();
    painter.setPen(QColor(64, 64, 64));
    painter.setBrush(Qt::white);
    painter.drawPath(page);
    painter.drawLine(10, 1, 10, 4);
    painter.drawLine(10, 4, 13, 4);
}

QPixmap NewToolbarImage() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

const std::array<QIcon, RemoteIcons::kCount>& RemoteIcons::Entries() {
    static const std::array<QIcon, kCount> icons = [] {
        const QIcon file = DesktopIcon("text-x-generic", QStyle::SP_FileIcon);
        return std::array<QIcon, kCount>{
            AtBothSizes(DesktopIcon("folder", QStyle::SP_DirIcon)),
            AtBothSizes(DesktopIcon("emblem-symbolic-link", QStyle::SP_FileLinkIcon)),
            AtBothSizes(file),
            SeveralEntries(file),
        };
    }();
    return icons;
}

QIcon RemoteIcons::UpOneLevel() {
    QPixmap pixmap = NewToolbarImage();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
    // A yellow folder ...
    painter.setPen(QColor(128, 96, 0));
    painter.setBrush(QColor(255, 214, 64));
    painter.drawRect(1, 6, 12, 8);
    painter.drawRect(1, 4, 5, 2);
    // ... with an arrow bending up out of it.
    painter.setPen(QPen(Qt::black, 1));
    painter.drawLine(7, 10, 11, 10);
    painter.drawLine(11, 10, 11, 3);
    painter.setBrush(Qt::black);
    const QPoint head[] = {QPoint(8, 4), QPoint(14, 4), QPoint(11, 1)};
    painter.drawPolygon(head, 3);
    painter.end();
    return QIcon(pixmap);
}

QIcon RemoteIcons::AsciiMode() {
    QPixmap pixmap = NewToolbarImage();
    QPainter painter(&pixmap);
    DrawPage(painter);
    QFont font = painter.font();
    font.setPixelSize(10);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QColor(200, 0, 0));
    painter.drawText(QRect(3, 4, 10, 10), Qt::AlignCenter, QStringLiteral("A"));
    painter.end();
    return QIcon(pixmap);
}

QIcon RemoteIcons::ImageMode() {
    QPixmap pixmap = NewToolbarImage();
    QPainter painter(&pixmap);
    DrawPage(painter);
    // Rows of binary digits as tiny ones (bars) and zeros (boxes).
    painter.setPen(QColor(0, 0, 128));
    const char* rows[] = {"101", "010", "110"};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int x = 4 + c * 3;
            const int y = 5 + r * 3;
            if (rows[r][c] == '1') {
                painter.drawLine(x + 1, y, x + 1, y + 2);
            } else {
                painter.drawRect(x, y, 1, 2);
            }
        }
    }
    painter.end();
    return QIcon(pixmap);
}
