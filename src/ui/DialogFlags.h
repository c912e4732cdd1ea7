#pragma once
// The window buttons of Wisp's dialogs and questions: a title and a close button, never minimise or
// maximise, which a question that must be answered has no use for.
#include <Qt>

inline constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
