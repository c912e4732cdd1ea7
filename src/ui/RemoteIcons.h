#pragma once
// The pictures of the Remote page: the desktop's folder, link and file icons plus one for a selection of
// several entries, each at 32 and 16 pixels, and the three toolbar images (up one level, ASCII, image).
#include <QIcon>
#include <array>

class RemoteIcons {
  public:
    // Index 3 is the several-entries image; 0..2 follow the entry kinds.
    static constexpr int kCount = 4;
    static const std::array<QIcon, kCount>& Entries();

    static QIcon UpOneLevel();
    static QIcon AsciiMode();
    static QIcon ImageMode();
};
