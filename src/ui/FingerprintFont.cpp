#include "ui/FingerprintFont.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QString>
#include <QStringList>

namespace {

// True when the font draws every character of a fingerprint, and a narrow and a wide letter, equally wide:
// what makes the pairs line up in columns. Asked of the glyphs, not of QFontInfo::fixedPitch(), which is
// false for some fonts that are monospaced in fact (Noto Sans Mono, fontconfig's "monospace" on many
// desktops).
bool EvenlyWide(const QFont& font) {
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(QStringLiteral("MMMM"));
    for (const QString& sample : {QStringLiteral("iiii"), QStringLiteral("::::"), QStringLiteral("0000"),
                                  QStringLiteral("1111"), QStringLiteral("FFFF")}) {
        if (metrics.horizontalAdvance(sample) != width) {
            return false;
        }
    }
    return true;
}

}  // namespace

QFont FingerprintFont() {
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (EvenlyWide(system)) {
        return system;
    }
    for (const char* family : {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono"}) {
        QFont font = system;
        font.setFamilies({QString::fromLatin1(family)});
        font.setStyleHint(QFont::TypeWriter);
        if (EvenlyWide(font)) {
            return font;
        }
    }
    return system;
}
